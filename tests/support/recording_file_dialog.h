// Test double of the file dialogs: records every dialog and answers from a
// script; an empty script answers as a cancel.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "platform/file_dialog.h"

namespace mk27x {

class RecordingFileDialog final : public FileDialog {
public:
    enum class Kind { Open, Save };
    struct Asked {
        Kind kind;
        FileDialogOptions options;
        bool operator==(const Asked&) const = default;
    };

    std::optional<std::string> Open(const FileDialogOptions& options) override;
    std::optional<std::string> Save(const FileDialogOptions& options) override;

    std::vector<Asked> asked;
    std::deque<std::optional<std::string>> answers;

private:
    std::optional<std::string> Answer(Kind kind, const FileDialogOptions& options);
};

}  // namespace mk27x
