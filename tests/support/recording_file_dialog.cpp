#include "support/recording_file_dialog.h"

namespace mk27x {

std::optional<std::string> RecordingFileDialog::Open(const FileDialogOptions& options) {
    return Answer(Kind::Open, options);
}

std::optional<std::string> RecordingFileDialog::Save(const FileDialogOptions& options) {
    return Answer(Kind::Save, options);
}

std::optional<std::string> RecordingFileDialog::Answer(Kind kind,
                                                       const FileDialogOptions& options) {
    asked.push_back({kind, options});
    if (answers.empty()) return std::nullopt;
    std::optional<std::string> answer = answers.front();
    answers.pop_front();
    return answer;
}

}  // namespace mk27x
