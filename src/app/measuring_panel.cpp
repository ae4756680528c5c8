#include "app/measuring_panel.h"

#include <QAction>
#include <QLabel>
#include <QThread>
#include <QTimer>

#include "app/form_main.h"
#include "app/value_list_editor.h"
#include "chart/chart_view.h"
#include "protocol/codec.h"
#include "recording/recording.h"
#include "recording/sample_file.h"

namespace mk27x {

MeasuringPanel::MeasuringPanel(TFormMain& window, FileDialog& files)
    : w(window), session(window.session), files_(files), recording_dialog_(&files) {}

void MeasuringPanel::ConnectHandlers() {
    QObject::connect(w.Button3, &QPushButton::clicked, &w, [this] { Button3Click(); });
    QObject::connect(w.ButtonMeasure, &QPushButton::clicked, &w, [this] { ButtonMeasureClick(); });
    QObject::connect(w.Button2, &QPushButton::clicked, &w, [this] { Button2Click(); });
    QObject::connect(w.TimerMeasure, &QTimer::timeout, &w, [this] { TimerMeasureTimer(); });
    QObject::connect(w.ButtonStream, &QPushButton::clicked, &w, [this] { ButtonStreamClick(); });
    QObject::connect(w.Button1, &QPushButton::clicked, &w, [this] { Button1Click(); });
    QObject::connect(w.Chart->MenuSave, &QAction::triggered, &w, [this] { SaveClick(); });
    QObject::connect(w.Chart->MenuClear, &QAction::triggered, &w, [this] { ClearClick(); });
    QObject::connect(w.Chart->MenuExportCsv, &QAction::triggered, &w,
                     [this] { MenuExportCsvClick(); });
    QObject::connect(w.Chart->MenuStatistics, &QAction::triggered, &w,
                     [this] { MenuStatisticsClick(); });
}

bool MeasuringPanel::MeasureDevMode() const {
    return session.MeasureDevMode();
}

void MeasuringPanel::ButtonMeasureClick() {
    ToggleSeries(false);
}

void MeasuringPanel::Button2Click() {
    ToggleSeries(true);
}

// The buttons follow the session's TimedSeries and the state it returns to.
void MeasuringPanel::ToggleSeries(bool dev_mode) {
    if (w.ButtonMeasure->Tag == 0) {
        w.Chart->SeriesOsc.Clear();
        MeasurePointCount = 0;
        session.BeginSeries(dev_mode);
        if (w.TimerMeasure->interval() == 0) w.TimerMeasure->setInterval(1);
        w.TimerMeasure->start();
    } else {
        w.TimerMeasure->stop();
        session.EndSeries();
    }
}

void MeasuringPanel::TimerMeasureTimer() {
    // A failed measurement leaves everything as it is; the watchdog reports it.
    // On success the readout has followed through the session's distance event.
    if (!session.SeriesTick()) return;
    w.Chart->SeriesOsc.AddPoint(session.LastDistance(), QString::number(MeasurePointCount),
                                Qt::red);
    ++MeasurePointCount;
}

void MeasuringPanel::ButtonStreamClick() {
    // Neither a start nor a stop while the window grows or shrinks.
    if (w.TimerMore->isActive()) return;
    // The buttons follow the session's Streaming and the state it returns to.
    if (!session.Streaming()) {
        w.Chart->SeriesOsc.Clear();
        session.StartStream();
    } else {
        session.StopStream();
        // A recording longer than the ring shows the ring's 10000 samples, oldest
        // first, labelled with their ring indices.
        w.Chart->SeriesOsc.AddPoints(session.DrainRecording(), Qt::red);
    }
    w.window_layout.SetTimerMore(true);
}

void MeasuringPanel::SaveClick() {
    // A plain save dialog: no filter, no default extension, no overwrite prompt.
    const auto path = files_.Save(FileDialogOptions{});
    if (!path) return;
    if (!session.SaveSamples(*path)) w.Show(SampleFileErrorMessage(*path));
}

void MeasuringPanel::ClearClick() {
    // The ring and the point count stay: a save still writes the samples.
    w.Chart->SeriesOsc.Clear();
}

void MeasuringPanel::Button1Click() {
    // The grid follows through the session's parameters_replaced event.
    if (session.Teach()) w.Show(TeachCompleteMessage());
}

void MeasuringPanel::Button3Click() {
    FileDialogOptions OpenDialog1;
    OpenDialog1.filter = "*.tbl|*.tbl";
    OpenDialog1.default_extension = "tbl";
    OpenDialog1.file_name = std::to_string(session.Identity().SerialNumber) + ".tbl";
    const auto path = files_.Open(OpenDialog1);
    if (!path) return;
    // The window thread stays blocked for the upload; the progress bar repaints
    // itself as it moves.
    w.Show(CalibrationMessage(session.UploadCalibration(*path)));
}

// --- the chart menu's recording items ----------------------------------------

FileDialogOptions MeasuringPanel::ExportCsvDialogOptions() const {
    FileDialogOptions options;
    options.filter = "CSV files|*.csv|All files|*.*";
    options.default_extension = "csv";
    options.confirm_overwrite = true;
    return options;
}

void MeasuringPanel::MenuExportCsvClick() {
    const std::optional<std::string> path = recording_dialog_->Save(ExportCsvDialogOptions());
    if (!path) return;
    if (!session.ExportCsv(*path)) w.Show(SampleFileErrorMessage(*path));
}

void MeasuringPanel::MenuStatisticsClick() {
    w.Show(StatisticsMessage(session.Statistics()));
}

// --- the readout ---------------------------------------------------------------

void MeasuringPanel::OnDistance(float mm) {
    if (QThread::currentThread() == w.thread())
        ShowReadout(mm);
    else
        QueueReadout();
}

// Runs on the reader thread: at most one readout waits in the event queue, and
// it shows the newest distance when its turn comes, unless the readout has been
// reset since it was queued.
void MeasuringPanel::QueueReadout() {
    if (readout_pending_.exchange(true)) return;
    const unsigned generation = readout_generation_.load();
    QMetaObject::invokeMethod(
        &w,
        [this, generation] {
            readout_pending_ = false;
            if (generation != readout_generation_.load()) return;
            ShowReadout(session.LastDistance());
        },
        Qt::QueuedConnection);
}

void MeasuringPanel::ShowReadout(float mm) {
    // A frame that arrives after the link was torn down leaves the reset readout.
    if (!w.LabelRast->isEnabled()) return;
    w.LabelRast->setText(QString::fromStdString(DistanceReadout(mm)));
}

void MeasuringPanel::ResetReadout() {
    ++readout_generation_;
    w.LabelRast->setEnabled(false);
    w.LabelRast->setText(QString::fromStdString(DistanceReadout(0.0f)));
}

}  // namespace mk27x
