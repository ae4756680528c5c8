// Modal message boxes with the semantics of the classic Win32 call the program's
// texts were written for: text, caption and flags in, the pressed button out.
// A carriage return (character 13) in the text starts a new line.
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

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

// Test double: records every box and answers from a script (IDOK when the
// script is empty). `while_shown` runs inside Show, where a real box would be
// up (a test can take the keyboard focus there as the box does).
class RecordingMessageBox final : public MessageBox {
public:
    struct Shown {
        std::string text;
        std::string caption;
        unsigned flags;
        bool operator==(const Shown&) const = default;
    };

    int Show(const std::string& text, const std::string& caption, unsigned flags) override;

    std::vector<Shown> shown;
    std::deque<int> answers;
    std::function<void()> while_shown;
};

}  // namespace mk27x
