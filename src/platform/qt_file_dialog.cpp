#include "platform/qt_file_dialog.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>

namespace mk27x {

QStringList QtNameFilters(const std::string& filter) {
    QStringList filters;
    const QStringList parts = QString::fromStdString(filter).split(u'|');
    if (filter.empty()) return filters;
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        const QString description = parts[i].trimmed();
        // A description without its pattern is its own pattern.
        const QString patterns = i + 1 < parts.size() ? parts[i + 1] : parts[i];
        QStringList list = patterns.split(u';', Qt::SkipEmptyParts);
        for (QString& p : list) p = p.trimmed();
        filters << QStringLiteral("%1 (%2)").arg(description, list.join(u' '));
    }
    return filters;
}

std::optional<std::string> QtFileDialog::Open(const FileDialogOptions& options) {
    return Run(false, options);
}

std::optional<std::string> QtFileDialog::Save(const FileDialogOptions& options) {
    return Run(true, options);
}

std::optional<std::string> QtFileDialog::Run(bool save, const FileDialogOptions& options) {
    QFileDialog dialog(parent_ ? parent_ : QApplication::activeWindow());
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (save && !options.confirm_overwrite) dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (!options.title.empty()) dialog.setWindowTitle(QString::fromStdString(options.title));
    if (const QStringList filters = QtNameFilters(options.filter); !filters.isEmpty())
        dialog.setNameFilters(filters);
    if (!options.default_extension.empty())
        dialog.setDefaultSuffix(QString::fromStdString(options.default_extension));
    if (!options.file_name.empty()) dialog.selectFile(QString::fromStdString(options.file_name));

    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    const QStringList files = dialog.selectedFiles();
    if (files.isEmpty()) return std::nullopt;
    return QFile::encodeName(files.first()).toStdString();
}

}  // namespace mk27x
