// The main window against a misbehaving sensor or link: each case ends in the
// program's message and state, and nothing blocks the window thread for longer
// than the port's time-outs.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QTest>
#include <QTimer>
#include <chrono>

#include "pty_server.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "transport/port_backends.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using Shown = RecordingMessageBox::Shown;
using SteadyClock = std::chrono::steady_clock;

const Shown kNotIdentified{"No answer. Please change parameters.", "MK271-SP", MB_OK | MB_ICONSTOP};

TEST(window_faults, ShortIdentifyReplyIsNoIdentification) {
    sim::SensorConfig config;
    config.faults.short_reply_command = 0x81;
    config.faults.short_reply_length = 15;
    WindowHarness h(config);
    h.window->show();
    h.window->ButtonConnect->click();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNotIdentified});
    EXPECT_FALSE(h.window->session.IsOpen());
    EXPECT_EQ(h.window->ButtonConnect->Tag, 0);
    EXPECT_EQ(h.window->LabelModel->text(), "none");
}

TEST(window_faults, SensorAtAnotherRateIsFoundAfterChoosingIt) {
    sim::SensorConfig config;
    config.baud = 9600;
    WindowHarness h(config);
    TFormMain& w = *h.window;
    w.show();
    w.ButtonConnect->click();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNotIdentified});
    EXPECT_FALSE(w.session.IsOpen());

    w.ComboBoxWorkBaund->setCurrentIndex(0);  // 9600
    h.Connect();
    EXPECT_EQ(w.ButtonConnect->Tag, 1);
    EXPECT_EQ(h.messages.shown.size(), 1u);
}

TEST(window_faults, SensorSilentMidSeriesEndsTheSeriesWithNoAnswer) {
    WindowHarness h;
    TFormMain& w = *h.window;
    w.show();
    h.Connect();
    w.ButtonMeasure->click();
    w.measuring.TimerMeasureTimer();
    w.measuring.TimerMeasureTimer();
    EXPECT_EQ(w.session.Ring().WriteIndex.load(), 2);

    sim::Faults faults;
    faults.silent_after_requests = 0;
    h.sensor->SetFaults(faults);
    w.measuring.TimerMeasureTimer();
    EXPECT_EQ(w.session.Ring().WriteIndex.load(), 2);
    // "No answer." comes up over a window already back at its unconnected state.
    QString caption_under_box;
    h.messages.while_shown = [&] { caption_under_box = w.ButtonMeasure->text(); };
    w.link.TimerAnswerTimer();
    EXPECT_EQ(caption_under_box, "Measure");
    EXPECT_EQ(w.session.State(), LinkState::Closed);
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_FALSE(w.TimerMeasure->isActive());
    EXPECT_EQ(w.ButtonMeasure->text(), "Measure");
    EXPECT_FALSE(w.session.IsOpen());
}

TEST(window_faults, GarbageInTheStreamNeverReachesTheReadoutOrTheRing) {
    sim::SensorConfig config;
    config.faults.stream_garbage_every = 3;
    config.faults.stream_stop_after_frames = 3000;
    WindowHarness h(config, 10ms);
    TFormMain& w = *h.window;
    w.show();
    h.Connect();
    w.ButtonStream->click();
    h.FinishAnimation();
    // The readout follows through the window thread's queue.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            return w.session.Reader().FramesDecoded() >= 1900 && w.LabelRast->text() == "25.000 mm";
        },
        10000));
    // One frame in three carries a foreign byte and is dropped whole.
    EXPECT_LE(w.session.Reader().FramesDecoded(), 2001u);
    w.ButtonStream->click();
    const SampleRing& ring = w.session.Ring();
    for (std::uint16_t i = 0; i < ring.WriteIndex.load(); ++i) ASSERT_EQ(ring.At(i), 25.0f) << i;
    EXPECT_TRUE(h.messages.shown.empty());
}

// The adapter pulled out mid-stream: the real serial backend on a pseudo-
// terminal whose other side goes away.
TEST(window_faults, PseudoTerminalClosedMidStreamEndsInNoAnswer) {
    auto sensor = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer server(sensor);
    ASSERT_TRUE(server.Start()) << server.Error();
    RecordingMessageBox messages;
    RecordingFileDialog files;
    TFormMain w(messages, files, SystemClock::Instance(), RealPortBackends());
    w.link.AddAndSelectPort(QString::fromStdString(server.SlavePath()));
    w.show();
    w.ButtonConnect->click();
    ASSERT_EQ(w.ButtonConnect->Tag, 1);
    while (w.TimerMore->isActive()) w.window_layout.TimerMoreTimer();
    w.ButtonStream->click();
    while (w.TimerMore->isActive()) w.window_layout.TimerMoreTimer();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.session.Reader().FramesDecoded() > 100; }, 10000));

    server.Stop();
    // Within the read time-out the reader finds the line dead.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.session.LinkAlive(); }, 5000));
    const auto t0 = SteadyClock::now();
    w.link.TimerAnswerTimer();
    const auto blocked = SteadyClock::now() - t0;
    EXPECT_EQ(messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_FALSE(w.session.Streaming());
    EXPECT_EQ(w.ButtonStream->text(), "Stream start");
    // Closing wakes the read in flight instead of waiting it out.
    EXPECT_LT(blocked, 1050ms);
    EXPECT_TRUE(w.close());
}

// A sensor left streaming by a program that was killed, whatever its frames
// look like: the operator's first Connect connects, with no box.
TEST(window_faults, SensorLeftStreamingConnectsOnTheFirstClick) {
    sim::Faults bit7_set, mixed_tags;
    bit7_set.stream_byte_bits = 0x80;
    mixed_tags.stream_garbage_every = 1;
    for (const sim::Faults& faults : {sim::Faults{}, bit7_set, mixed_tags}) {
        auto sensor = std::make_shared<sim::VirtualSensor>();
        sensor->SetFaults(faults);
        sim::PtySensorServer server(sensor);
        ASSERT_TRUE(server.Start()) << server.Error();
        sensor->Feed(std::vector<std::uint8_t>{0x01, 0x87});
        ASSERT_TRUE(QTest::qWaitFor([&] { return server.FramesSent() > 100; }, 10000));
        RecordingMessageBox messages;
        RecordingFileDialog files;
        TFormMain w(messages, files, SystemClock::Instance(), RealPortBackends());
        w.link.AddAndSelectPort(QString::fromStdString(server.SlavePath()));
        w.show();
        w.ButtonConnect->click();
        EXPECT_EQ(w.ButtonConnect->Tag, 1);
        EXPECT_TRUE(messages.shown.empty());
        EXPECT_FALSE(sensor->Streaming());
        while (w.TimerMore->isActive()) w.window_layout.TimerMoreTimer();
        EXPECT_TRUE(w.close());
    }
}

}  // namespace
}  // namespace mk27x
