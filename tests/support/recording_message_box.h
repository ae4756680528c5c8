// Test double of the message boxes: records every box and answers from a
// script (IDOK when the script is empty). `while_shown` runs inside Show, where
// a real box would be up (a test can take the keyboard focus there as the box
// does).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/message_box.h"

namespace mk27x {

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
