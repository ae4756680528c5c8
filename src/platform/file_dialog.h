// Open and save file dialogs with the semantics of the classic Win32 common
// dialogs: a filter of "description|pattern" pairs ("*.tbl|*.tbl"), a default
// extension appended to a name typed without one, an initial file name; the
// chosen path out, or nothing when the operator cancels.
//
// Threading: window thread only (the dialogs are modal).
#pragma once

#include <optional>
#include <string>

namespace mk27x {

struct FileDialogOptions {
    // "Tables|*.tbl|All files|*.*"; patterns of one entry are separated by ";".
    // Empty: every file.
    std::string filter;
    // Without the dot ("tbl"); empty: names are taken as typed.
    std::string default_extension;
    std::string file_name;
    // Window title; empty: the toolkit's own ("Open", "Save As").
    std::string title;
    // Save only: ask before replacing an existing file.
    bool confirm_overwrite = false;

    bool operator==(const FileDialogOptions&) const = default;
};

class FileDialog {
public:
    virtual ~FileDialog() = default;
    // An existing file to read.
    virtual std::optional<std::string> Open(const FileDialogOptions& options) = 0;
    // A file to write; it need not exist.
    virtual std::optional<std::string> Save(const FileDialogOptions& options) = 0;
};

}  // namespace mk27x
