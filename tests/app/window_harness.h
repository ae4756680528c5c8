// The main window against a virtual sensor in the same process: injected port
// backends that hand out in-process transports, a virtual clock, a recording
// message box and a recording file dialog; what the window shows, read back.
#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <vector>

#include "app/form_main.h"
#include "app/value_list_editor.h"
#include "chart/chart_view.h"
#include "platform/clock.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"
#include "virtual_sensor.h"

namespace mk27x {

struct WindowHarness {
    explicit WindowHarness(sim::SensorConfig config = {},
                           std::chrono::milliseconds short_read_wait = {})
        : sim(config, short_read_wait) {
        window = std::make_unique<TFormMain>(messages, files, clock, sim.Backends());
    }

    // Presses Connect and lets the height animation run to its end.
    void Connect() {
        window->ButtonConnect->click();
        FinishAnimation();
    }

    // Runs TimerMore's ticks until the animation stops; returns the outer heights.
    std::vector<int> FinishAnimation() {
        std::vector<int> heights;
        for (int guard = 0; window->TimerMore->isActive() && guard < 100; ++guard) {
            window->window_layout.TimerMoreTimer();
            heights.push_back(window->frameGeometry().height());
        }
        return heights;
    }

    testing::SimBackends sim;
    std::shared_ptr<sim::VirtualSensor>& sensor = sim.sensor;
    std::vector<std::shared_ptr<sim::InProcessTransport>>& opened = sim.opened;
    VirtualClock clock;
    RecordingMessageBox messages;
    RecordingFileDialog files;
    std::unique_ptr<TFormMain> window;
};

// --- what the window shows --------------------------------------------------

inline QStringList GridValues(const TFormMain& w) {
    QStringList values;
    for (int r = 0; r < w.ValueListEditorParam->rowCount(); ++r)
        values << w.ValueListEditorParam->Value(r);
    return values;
}

inline QStringList IdentityTexts(const TFormMain& w) {
    return {w.LabelModel->text(), w.LabelRelease->text(), w.LabelSerNum->text(),
            w.LabelBase->text(), w.LabelRange->text()};
}

inline const QStringList kNoIdentity{"none", "none", "none", "none mm", "none mm"};

// The sensor buttons, in the order Measure, Stream, Teach, Measure Dev, Load Clbr File.
inline std::vector<bool> SensorButtonsEnabled(const TFormMain& w) {
    return {w.ButtonMeasure->isEnabled(), w.ButtonStream->isEnabled(), w.Button1->isEnabled(),
            w.Button2->isEnabled(), w.Button3->isEnabled()};
}
inline const std::vector<bool> kAllEnabled(5, true);
inline const std::vector<bool> kAllDisabled(5, false);

inline const RecordingMessageBox::Shown kNoAnswer{"No answer.", "MK271-SP", MB_OK | MB_ICONSTOP};

// The window shown, not connected.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override { h.window->show(); }
    WindowHarness h;
    TFormMain& w = *h.window;
};

// The window shown and connected, its sensor's value and wire at hand.
class MeasureWindowTest : public ::testing::Test {
protected:
    explicit MeasureWindowTest(sim::SensorConfig config = {}, std::chrono::milliseconds wait = {})
        : h(config, wait) {}

    void SetUp() override {
        h.window->show();
        h.Connect();
        ASSERT_EQ(w.ButtonConnect->Tag, 1);
    }

    sim::InProcessTransport& Wire() { return *h.opened.back(); }

    void SetRaw(std::int32_t raw) {
        sim::MeasurementSource source;
        source.value = raw;
        h.sensor->SetSource(source);
    }

    WindowHarness h;
    TFormMain& w = *h.window;
    ChartSeries& series = w.Chart->SeriesOsc;
    SampleRing& ring = w.session.Ring();
};

}  // namespace mk27x
