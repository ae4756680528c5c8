// Measuring and the chart: the timed series of "Measure" and "Measure Dev"
// (TimerMeasure), the sensor's stream with the recording drawn at its stop,
// "Teach", "Load Clbr File", the distance readout, and the chart's menu
// (save, clear, CSV export, statistics).
//
// Threading: the session's distance event for stream frames runs on the reader
// thread; QueueReadout only hands the newest readout over to the window thread.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>

#include "platform/file_dialog.h"

class QLabel;
class QPushButton;
class QTimer;

namespace mk27x {

class ChartView;
class SensorSession;
class TFormMain;
class TagButton;

// The measuring controls by their designed names; the window exposes them.
struct MeasureControls {
    TagButton* ButtonMeasure = nullptr;
    TagButton* ButtonStream = nullptr;
    QPushButton* Button1 = nullptr;  // "Teach"
    QPushButton* Button2 = nullptr;  // "Measure Dev", never visible
    QPushButton* Button3 = nullptr;  // "Load Clbr File"
    QLabel* LabelRast = nullptr;
    ChartView* Chart = nullptr;
    QTimer* TimerMeasure = nullptr;  // 50 ms, timed measuring
};

class MeasuringPanel {
public:
    MeasuringPanel(TFormMain& window, FileDialog& files);

    // Wires the buttons, TimerMeasure and the chart's menu.
    void ConnectHandlers();

    // Points added to the chart in the current timed series; the label of the
    // next point.
    std::uint32_t MeasurePointCount = 0;
    // The series runs with the sensor's alternative measurement command.
    bool MeasureDevMode() const;

    void ButtonMeasureClick();  // "Measure" / "Stop"
    void Button2Click();        // "Measure Dev" / "Stop"
    void TimerMeasureTimer();   // one measurement of a timed series
    void ButtonStreamClick();   // "Stream start" / "Stream stop"
    void SaveClick();           // chart menu: "Save data to file"
    void ClearClick();          // chart menu: "Clear"
    void Button1Click();        // "Teach"
    void Button3Click();        // "Load Clbr File"

    // The chart menu's "Export CSV…" (the ring's samples with their times) and
    // "Statistics" (a message with the figures of the ring's samples). Both go
    // through the file-dialog and message-box layers; a failed export shows the
    // sample file's message.
    void MenuExportCsvClick();
    void MenuStatisticsClick();
    // The dialog of "Export CSV…" (by default the window's own).
    void SetRecordingFileDialog(FileDialog& dialog) { recording_dialog_ = &dialog; }
    FileDialogOptions ExportCsvDialogOptions() const;

    // The session's distance event: shown at once on the window thread, queued
    // from the reader thread.
    void OnDistance(float mm);
    // The readout back to its idle text, disabled; a readout queued before is
    // not shown.
    void ResetReadout();

private:
    // Starts a timed series when none runs (with the alternative measurement
    // command for `dev_mode`), else stops the one running.
    void ToggleSeries(bool dev_mode);
    // Shows a distance in the readout (window thread).
    void ShowReadout(float mm);
    // Hands the newest stream distance over to the window thread.
    void QueueReadout();

    TFormMain& w;
    SensorSession& session;
    FileDialog& files_;
    FileDialog* recording_dialog_;
    // A readout update is queued to the window thread and not yet shown.
    std::atomic<bool> readout_pending_{false};
    // Counts readout resets: a readout queued before a reset is not shown after it.
    std::atomic<unsigned> readout_generation_{0};
};

}  // namespace mk27x
