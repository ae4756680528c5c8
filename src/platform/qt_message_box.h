// The message boxes of the running program: QMessageBox with the Win32-style
// text, caption and flags of the MessageBox layer.
#pragma once

#include <QString>

#include "platform/message_box.h"

namespace mk27x {

class QtMessageBox final : public MessageBox {
public:
    // Modal on the whole application. The caption is the window title; the icon
    // follows the flags (MB_ICONSTOP critical, MB_ICONEXCLAMATION warning, none
    // otherwise); MB_OKCANCEL gives OK and Cancel, anything else OK alone.
    int Show(const std::string& text, const std::string& caption, unsigned flags) override;
};

// The text as the box shows it: UTF-8 in, each carriage return a line break.
QString MessageBoxText(const std::string& text);

}  // namespace mk27x
