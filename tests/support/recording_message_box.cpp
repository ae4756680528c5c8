#include "support/recording_message_box.h"

namespace mk27x {

int RecordingMessageBox::Show(const std::string& text, const std::string& caption, unsigned flags) {
    shown.push_back({text, caption, flags});
    if (while_shown) while_shown();
    if (answers.empty()) return IDOK;
    int answer = answers.front();
    answers.pop_front();
    return answer;
}

}  // namespace mk27x
