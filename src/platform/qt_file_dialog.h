// The file dialogs of the running program: QFileDialog with the options of the
// FileDialog layer. The dialogs are Qt's own widgets, not the desktop's, so they
// behave alike everywhere and take a typed path and Return.
//
// Threading: window thread only.
#pragma once

#include <QString>
#include <QStringList>

#include "platform/file_dialog.h"

class QWidget;

namespace mk27x {

class QtFileDialog final : public FileDialog {
public:
    // parent: the window the dialogs are modal on (none: the active window).
    explicit QtFileDialog(QWidget* parent = nullptr) : parent_(parent) {}

    std::optional<std::string> Open(const FileDialogOptions& options) override;
    std::optional<std::string> Save(const FileDialogOptions& options) override;

private:
    std::optional<std::string> Run(bool save, const FileDialogOptions& options);

    QWidget* parent_;
};

// The name filters of a "description|pattern|..." filter in QFileDialog's
// form, "description (pattern pattern)"; empty for an empty filter.
QStringList QtNameFilters(const std::string& filter);

}  // namespace mk27x
