// The main window when the link is lost and while it streams, driven through
// its controls against a virtual sensor: the lost-answer watchdog (a failed
// read, a slower rate, a click during the animation), the stream's readout,
// a silent stream, and closing with the reader running.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <thread>

#include "pty_server.h"
#include "support/virtual_clock.h"
#include "transport/port_backends.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using Shown = RecordingMessageBox::Shown;

// Suite names carry "window" so that `ctest -R window` selects them.
using main_window_link_loss = MainWindowTest;
using main_window_stream = MainWindowTest;

TEST_F(main_window_link_loss, FailedReadIsLeftToTheWatchdog) {
    sim::Faults faults;
    faults.silent_after_requests = 1;  // the identification, then nothing
    h.sensor->SetFaults(faults);

    w.ButtonConnect->click();
    EXPECT_TRUE(h.messages.shown.empty());
    EXPECT_EQ(IdentityTexts(w), (QStringList{"27", "2", "1234", "100 mm", "50 mm"}));
    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_EQ(SensorButtonsEnabled(w), kAllDisabled);
    EXPECT_TRUE(w.session.IsOpen());
    EXPECT_TRUE(w.TimerAnswer->isActive());
    EXPECT_FALSE(w.TimerMore->isActive());
    EXPECT_EQ(w.ProgressBarParam->value(), 0);

    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_EQ(IdentityTexts(w), kNoIdentity);
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_FALSE(w.TimerAnswer->isActive());
    EXPECT_FALSE(w.TimerMore->isActive());
    EXPECT_EQ(w.frameGeometry().height(), 195);
    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
    EXPECT_TRUE(w.ButtonConnect->isEnabled());
}

TEST_F(main_window_link_loss, SlowerRateWhileConnectedEndsInNoAnswer) {
    h.Connect();
    ASSERT_EQ(w.ButtonConnect->Tag, 1);

    // The port changes at once; the sensor is not told.
    w.ComboBoxWorkBaund->setCurrentIndex(0);
    EXPECT_EQ(w.session.BaudRate(), 9600u);
    EXPECT_EQ(h.opened.back()->BaudRate(), 9600u);
    EXPECT_EQ(h.sensor->Baud(), 115200u);
    w.link.TimerAnswerTimer();  // nothing has failed yet
    EXPECT_TRUE(h.messages.shown.empty());

    EXPECT_FALSE(w.session.MeasureOnce());
    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_EQ(w.ButtonStream->text(), "Stream start");
    EXPECT_EQ(w.ButtonMeasure->text(), "Measure");
    EXPECT_EQ(SensorButtonsEnabled(w), kAllDisabled);
    EXPECT_EQ(IdentityTexts(w), kNoIdentity);
    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");
    EXPECT_FALSE(w.LabelRast->isEnabled());
    EXPECT_FALSE(w.TimerAnswer->isActive());
    // The watchdog ran the disconnect, which shrinks the window.
    EXPECT_EQ(h.FinishAnimation().back(), 195);
}

TEST_F(main_window_stream, ReadoutFollowsTheStreamAndClosingStopsTheReader) {
    sim::MeasurementSource source;
    source.value = 8192;  // half of the 50 mm range
    h.sensor->SetSource(source);
    h.Connect();

    w.session.StartStream();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.LabelRast->text() == "25.000 mm"; }, 10000));
    EXPECT_GT(w.session.Reader().FramesDecoded(), 0u);
    // The readout follows the values, not just the first one.
    source.kind = sim::MeasurementSource::Kind::kRamp;
    source.value = 0;
    source.amplitude = 16384;
    source.period = 10000;
    h.sensor->SetSource(source);
    QStringList seen;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            if (!seen.contains(w.LabelRast->text())) seen << w.LabelRast->text();
            return seen.size() >= 4;
        },
        10000));
    EXPECT_TRUE(w.session.Ring().WriteIndex > 0 || w.session.Ring().Wrapped);
    w.link.TimerAnswerTimer();
    EXPECT_TRUE(h.messages.shown.empty());

    // Closing with the stream on: the reader ends before the port closes.
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(w.session.Reader().Done());
    EXPECT_FALSE(w.session.Streaming());
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_TRUE(h.opened.back()->BreakSet());
    EXPECT_FALSE(h.sensor->Streaming());
    const auto frames = w.session.Reader().FramesDecoded();
    QTest::qWait(100);
    EXPECT_EQ(w.session.Reader().FramesDecoded(), frames);
}

TEST(main_window_stream_silent, SilentStreamEndsInNoAnswerWithoutShrinking) {
    sim::SensorConfig config;
    config.faults.stream_stop_after_frames = 50;
    WindowHarness h(config, 20ms);
    TFormMain& w = *h.window;
    w.show();
    h.Connect();

    w.session.StartStream();
    h.opened.back()->ClearLog();
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.session.Protocol().LinkAlive() == 0; }, 10000));
    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_FALSE(w.session.Streaming());
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_EQ(w.ButtonStream->text(), "Stream start");
    EXPECT_EQ(IdentityTexts(w), kNoIdentity);
    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");
    // While streaming, the watchdog does not run the disconnect animation.
    EXPECT_FALSE(w.TimerMore->isActive());
    EXPECT_EQ(w.frameGeometry().height(), 675);
    // No stream-stop request (nor anything else) went out.
    EXPECT_TRUE(h.opened.back()->WrittenBytes().empty());
}

TEST_F(main_window_link_loss, WatchdogSurvivesADisconnectClickDuringTheAnimation) {
    w.ButtonConnect->click();
    ASSERT_TRUE(w.TimerMore->isActive());
    w.Chart->SeriesOsc.AddPoint(1.0, "0", Qt::red);
    w.ButtonConnect->click();  // ignored altogether
    EXPECT_TRUE(w.TimerAnswer->isActive());
    EXPECT_EQ(w.Chart->SeriesOsc.Count(), 1);
    EXPECT_EQ(w.ButtonConnect->Tag, 1);
    h.FinishAnimation();

    // The sensor is lost afterwards: the watchdog still reports it.
    sim::Faults faults;
    faults.silent_after_requests = 0;
    h.sensor->SetFaults(faults);
    EXPECT_FALSE(w.session.MeasureOnce());
    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
}

TEST_F(main_window_stream, ReadoutQueuedBeforeAResetNeverOverwritesIt) {
    h.Connect();
    // A frame decoded on the reader thread queues a readout ...
    std::thread([&] { w.session.events.distance(12.5f); }).join();
    w.session.Protocol().LastDistance = 12.5f;
    // ... and the operator disconnects before it is shown.
    w.ButtonConnect->click();
    QCoreApplication::processEvents();
    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");

    // The same across a watchdog reset and a reconnect (the readout enabled again).
    h.FinishAnimation();
    h.Connect();
    std::thread([&] { w.session.events.distance(12.5f); }).join();
    w.session.Protocol().SetLinkAlive(false);
    w.link.TimerAnswerTimer();
    h.FinishAnimation();
    h.messages.shown.clear();
    h.Connect();
    ASSERT_TRUE(w.LabelRast->isEnabled());
    QCoreApplication::processEvents();
    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");
}

TEST(main_window_pty, ConnectsAndStreamsOverThePseudoTerminal) {
    sim::PtySensorServer server(std::make_shared<sim::VirtualSensor>());
    ASSERT_TRUE(server.Start()) << server.Error();
    RecordingMessageBox messages;
    RecordingFileDialog files;
    TFormMain w(messages, files, SystemClock::Instance(), RealPortBackends());
    w.link.AddAndSelectPort(QString::fromStdString(server.SlavePath()));
    w.show();

    w.ButtonConnect->click();
    EXPECT_TRUE(messages.shown.empty());
    ASSERT_EQ(w.ButtonConnect->Tag, 1);
    EXPECT_EQ(IdentityTexts(w), (QStringList{"27", "2", "1234", "100 mm", "50 mm"}));
    EXPECT_EQ(GridValues(w)[3], "115200");
    while (w.TimerMore->isActive()) w.window_layout.TimerMoreTimer();

    w.session.StartStream();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.LabelRast->text() == "25.000 mm"; }, 10000));
    w.session.StopStream();

    w.ButtonConnect->click();
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(w.session.Reader().Done());
    EXPECT_TRUE(messages.shown.empty());
}

}  // namespace
}  // namespace mk27x
