// FormMain's measuring: the timed series of "Measure" and "Measure Dev", the
// sensor's stream with the recording drawn at its stop, the chart's menu with
// the sample file, and "Teach".
#include <QAction>
#include <QTimer>

#include "app/form_main.h"
#include "app/value_list_editor.h"
#include "chart/chart_view.h"

namespace mk27x {

void TFormMain::ConnectMeasureHandlers() {
    connect(ButtonMeasure, &QPushButton::clicked, this, [this] { ButtonMeasureClick(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(TimerMeasure, &QTimer::timeout, this, [this] { TimerMeasureTimer(); });
    connect(ButtonStream, &QPushButton::clicked, this, [this] { ButtonStreamClick(); });
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Chart->MenuSave, &QAction::triggered, this, [this] { SaveClick(); });
    connect(Chart->MenuClear, &QAction::triggered, this, [this] { ClearClick(); });
}

void TFormMain::ButtonMeasureClick() {
    ToggleSeries(ButtonMeasure, "Measure", false,
                 {ButtonConnect, ButtonStream, Button1, Button2, Button3, ValueListEditorParam});
}

void TFormMain::Button2Click() {
    ToggleSeries(
        Button2, "Measure Dev", true,
        {ButtonConnect, ButtonStream, Button1, Button3, ButtonMeasure, ValueListEditorParam});
}

// Both buttons share one measuring state, ButtonMeasure's Tag; each disables the
// other while its series runs, so a series is stopped by the button that
// started it.
void TFormMain::ToggleSeries(QPushButton* pressed, const char* caption, bool dev_mode,
                             std::initializer_list<QWidget*> others) {
    if (ButtonMeasure->Tag == 0) {
        Chart->SeriesOsc.Clear();
        MeasurePointCount = 0;
        session.BeginSeries(dev_mode);
        if (TimerMeasure->interval() == 0) TimerMeasure->setInterval(1);
        TimerMeasure->start();
        pressed->setText("Stop");
        for (QWidget* control : others) control->setEnabled(false);
    } else {
        TimerMeasure->stop();
        session.EndSeries();
        pressed->setText(caption);
        for (QWidget* control : others) control->setEnabled(true);
    }
    ButtonMeasure->Tag = (ButtonMeasure->Tag + 1) % 2;
}

void TFormMain::TimerMeasureTimer() {
    // A failed measurement leaves everything as it is; the watchdog reports it.
    // On success the readout has followed through the session's distance event.
    if (!session.SeriesTick()) return;
    Chart->SeriesOsc.AddPoint(session.LastDistance(), QString::number(MeasurePointCount), Qt::red);
    ++MeasurePointCount;
}

void TFormMain::ButtonStreamClick() {
    // Neither a start nor a stop while the window grows or shrinks.
    if (TimerMore->isActive()) return;
    const std::initializer_list<QWidget*> others{ButtonConnect, ButtonMeasure, Button1, Button2,
                                                 Button3};
    if (!session.Streaming()) {
        Chart->SeriesOsc.Clear();
        session.StartStream();
        ButtonStream->setText("Stream stop");
        ButtonStream->Tag = 1;
        for (QWidget* control : others) control->setEnabled(false);
    } else {
        session.StopStream();
        ButtonStream->setText("Stream start");
        ButtonStream->Tag = 0;
        for (QWidget* control : others) control->setEnabled(true);
        // A recording longer than the ring shows the ring's 10000 samples, oldest
        // first, labelled with their ring indices.
        Chart->SeriesOsc.AddPoints(session.DrainRecording(), Qt::red);
    }
    SetTimerMore(true);
}

void TFormMain::SaveClick() {
    // A plain save dialog: no filter, no default extension, no overwrite prompt.
    const auto path = files_.Save(FileDialogOptions{});
    if (!path) return;
    session.SaveSamples(*path);
}

void TFormMain::ClearClick() {
    // The ring and the point count stay: a save still writes the samples.
    Chart->SeriesOsc.Clear();
}

void TFormMain::Button1Click() {
    // The grid follows through the session's parameters_replaced event.
    session.Teach();
}

}  // namespace mk27x
