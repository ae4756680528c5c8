// The main window's recording commands: the chart menu's "Export CSV…" and
// "Statistics" on the samples of the ring.
#include <QAction>

#include "app/form_main.h"
#include "chart/chart_view.h"
#include "platform/qt_file_dialog.h"

namespace mk27x {

void TFormMain::InstallRecording() {
    recording_dialog_ = &files_;
    connect(Chart->MenuExportCsv, &QAction::triggered, this, [this] { MenuExportCsvClick(); });
    connect(Chart->MenuStatistics, &QAction::triggered, this, [this] { MenuStatisticsClick(); });
}

FileDialogOptions TFormMain::ExportCsvDialogOptions() const {
    FileDialogOptions options;
    options.filter = "CSV files|*.csv|All files|*.*";
    options.default_extension = "csv";
    options.confirm_overwrite = true;
    return options;
}

void TFormMain::MenuExportCsvClick() {
    const std::optional<std::string> path = recording_dialog_->Save(ExportCsvDialogOptions());
    if (!path) return;
    session.ExportCsv(*path);
}

void TFormMain::MenuStatisticsClick() {
    session.ShowStatistics();
}

}  // namespace mk27x
