// Modal message boxes with the semantics of the classic Win32 call the program's
// texts were written for: text, caption and flags in, the pressed button out.
// A carriage return (character 13) in the text starts a new line.
#pragma once

#include <string>

namespace mk27x {

enum MessageBoxFlags : unsigned {
    MB_OK = 0x00,
    MB_OKCANCEL = 0x01,
    MB_ICONSTOP = 0x10,
    MB_ICONEXCLAMATION = 0x30,
};

enum MessageBoxResult : int {
    IDOK = 1,
    IDCANCEL = 2,
};

class MessageBox {
public:
    virtual ~MessageBox() = default;
    // Shows the box modally and returns IDOK or IDCANCEL.
    virtual int Show(const std::string& text, const std::string& caption, unsigned flags) = 0;
};

// A box's text on one line: its line breaks (carriage returns and newlines)
// become spaces.
std::string OneLine(std::string text);

}  // namespace mk27x
