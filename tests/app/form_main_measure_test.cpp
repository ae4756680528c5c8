// The main window's measuring, driven through its controls against a virtual
// sensor: timed series of Measure and Measure Dev, stream start and stop with
// the recording drawn at stop, Teach.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QAction>
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include <csignal>

#include "app/value_list_editor.h"
#include "chart/chart_view.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "support/temp_dir.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using Shown = RecordingMessageBox::Shown;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;
using testing::ReadFile;

constexpr int kEtalonRow = 9;

// Enabled state of ButtonConnect, ButtonMeasure, ButtonStream, Button1 (Teach),
// Button2 (Measure Dev), Button3 (Load Clbr File) and the grid, in this order.
std::vector<bool> Controls(const TFormMain& w) {
    return {w.ButtonConnect->isEnabled(),
            w.ButtonMeasure->isEnabled(),
            w.ButtonStream->isEnabled(),
            w.Button1->isEnabled(),
            w.Button2->isEnabled(),
            w.Button3->isEnabled(),
            w.ValueListEditorParam->isEnabled()};
}
const std::vector<bool> kIdleControls(7, true);

QStringList Labels(const ChartSeries& series) {
    QStringList labels;
    for (int i = 0; i < series.Count(); ++i) labels << series.Label(i);
    return labels;
}

QStringList Numbers(int first, int count) {
    QStringList list;
    for (int i = 0; i < count; ++i) list << QString::number(first + i);
    return list;
}

// Suite names carry "window" so that `ctest -R window` selects them.
using measure_window = MeasureWindowTest;

TEST_F(measure_window, TimedSeriesMeasuresEveryTickIntoReadoutRingAndChart) {
    SetRaw(0x2000);  // 25 mm of 50
    w.ButtonMeasure->click();
    EXPECT_EQ(w.ButtonMeasure->text(), "Stop");
    EXPECT_EQ(w.ButtonMeasure->Tag, 1);
    EXPECT_FALSE(w.measuring.MeasureDevMode());
    EXPECT_TRUE(w.TimerMeasure->isActive());
    EXPECT_EQ(w.TimerMeasure->interval(), 50);
    EXPECT_EQ(Controls(w), (std::vector<bool>{false, true, false, false, false, false, false}));

    Wire().ClearLog();
    h.clock.ClearPauses();
    for (int i = 0; i < 3; ++i) w.measuring.TimerMeasureTimer();
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x86, 0x01, 0x86, 0x01, 0x86}));
    EXPECT_EQ(h.clock.Pauses(), (std::vector<unsigned>{5, 5, 5}));
    EXPECT_EQ(w.LabelRast->text(), "25.000 mm");
    EXPECT_EQ(ring.WriteIndex.load(), 3);
    EXPECT_EQ(ring.At(2), 25.0f);
    EXPECT_EQ(Labels(series), Numbers(0, 3));
    EXPECT_EQ(w.measuring.MeasurePointCount, 3u);

    // The timer itself drives the ticks.
    EXPECT_TRUE(QTest::qWaitFor([&] { return series.Count() >= 5; }, 10000));

    // Clear empties the chart, not the count: the next label goes on counting.
    w.Chart->MenuClear->trigger();
    EXPECT_EQ(series.Count(), 0);
    const std::uint32_t count = w.measuring.MeasurePointCount;
    const std::uint16_t index = ring.WriteIndex.load();
    SetRaw(-0x1000);
    w.measuring.TimerMeasureTimer();
    EXPECT_EQ(Labels(series), QStringList{QString::number(count)});
    EXPECT_EQ(w.LabelRast->text(), "-12.500 mm");
    EXPECT_EQ(ring.WriteIndex.load(), index + 1);

    w.ButtonMeasure->click();
    EXPECT_EQ(w.ButtonMeasure->text(), "Measure");
    EXPECT_EQ(w.ButtonMeasure->Tag, 0);
    EXPECT_FALSE(w.TimerMeasure->isActive());
    EXPECT_EQ(Controls(w), kIdleControls);

    // A new series clears the chart and the ring and counts from "0" again.
    w.ButtonMeasure->click();
    EXPECT_EQ(series.Count(), 0);
    EXPECT_EQ(ring.WriteIndex.load(), 0);
    EXPECT_EQ(w.session.LastDistance(), 0.0f);
    w.measuring.TimerMeasureTimer();
    w.measuring.TimerMeasureTimer();
    EXPECT_EQ(Labels(series), Numbers(0, 2));
    w.ButtonMeasure->click();
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(measure_window, TenThousandTicksWrapTheRingWhileTheChartGrows) {
    w.ButtonMeasure->click();
    for (int i = 0; i < 10000; ++i) w.measuring.TimerMeasureTimer();
    EXPECT_EQ(ring.WriteIndex.load(), 0);
    EXPECT_TRUE(ring.Wrapped.load());
    EXPECT_EQ(series.Count(), 10000);
    w.measuring.TimerMeasureTimer();
    EXPECT_EQ(ring.WriteIndex.load(), 1);
    EXPECT_EQ(series.Count(), 10001);
    EXPECT_EQ(series.Label(10000), "10000");
    w.ButtonMeasure->click();
}

// The buttons show the session's state, whichever call changed it.
TEST_F(measure_window, ButtonsFollowTheSessionsStateWithoutTheHandlers) {
    w.session.BeginSeries(true);
    EXPECT_EQ(w.Button2->text(), "Stop");
    EXPECT_EQ(w.ButtonMeasure->Tag, 1);
    EXPECT_EQ(Controls(w), (std::vector<bool>{false, false, false, false, true, false, false}));
    w.session.EndSeries();
    w.session.StartStream();
    EXPECT_EQ(w.ButtonStream->Tag, 1);
    EXPECT_EQ(Controls(w), (std::vector<bool>{false, false, true, false, false, false, true}));
    w.session.StopStream();
    w.session.Disconnect();
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
}

TEST_F(measure_window, MeasureDevSeriesUsesTheDevCommand) {
    EXPECT_TRUE(w.Button2->isHidden());
    SetRaw(0x4000);
    w.Button2->click();
    EXPECT_EQ(w.Button2->text(), "Stop");
    EXPECT_EQ(w.ButtonMeasure->text(), "Measure");
    EXPECT_EQ(w.ButtonMeasure->Tag, 1);  // the one measuring state
    EXPECT_TRUE(w.measuring.MeasureDevMode());
    EXPECT_EQ(Controls(w), (std::vector<bool>{false, false, false, false, true, false, false}));

    Wire().ClearLog();
    w.measuring.TimerMeasureTimer();
    w.measuring.TimerMeasureTimer();
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x8D, 0x01, 0x8D}));
    EXPECT_EQ(w.LabelRast->text(), "50.000 mm");
    EXPECT_EQ(Labels(series), Numbers(0, 2));

    w.Button2->click();
    EXPECT_EQ(w.Button2->text(), "Measure Dev");
    EXPECT_EQ(w.ButtonMeasure->Tag, 0);
    EXPECT_FALSE(w.TimerMeasure->isActive());
    EXPECT_EQ(Controls(w), kIdleControls);

    // Measure goes back to the ordinary command.
    w.ButtonMeasure->click();
    EXPECT_FALSE(w.measuring.MeasureDevMode());
    Wire().ClearLog();
    w.measuring.TimerMeasureTimer();
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x86}));
    w.ButtonMeasure->click();
}

TEST_F(measure_window, ShortMeasureReplyChangesNothingAndTheWatchdogEndsTheSeries) {
    SetRaw(0x2000);
    w.ButtonMeasure->click();
    w.measuring.TimerMeasureTimer();
    ASSERT_EQ(w.LabelRast->text(), "25.000 mm");

    sim::Faults faults;
    faults.short_reply_command = 0x86;
    faults.short_reply_length = 3;
    h.sensor->SetFaults(faults);
    SetRaw(0x1000);
    w.measuring.TimerMeasureTimer();
    EXPECT_EQ(w.LabelRast->text(), "25.000 mm");
    EXPECT_EQ(ring.WriteIndex.load(), 1);
    EXPECT_EQ(series.Count(), 1);
    EXPECT_EQ(w.measuring.MeasurePointCount, 1u);
    EXPECT_TRUE(h.messages.shown.empty());

    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_FALSE(w.TimerMeasure->isActive());
    EXPECT_EQ(w.ButtonMeasure->text(), "Measure");
    EXPECT_EQ(w.ButtonMeasure->Tag, 0);
    EXPECT_TRUE(w.ButtonConnect->isEnabled());
    EXPECT_TRUE(w.ValueListEditorParam->isEnabled());
    EXPECT_FALSE(w.ButtonMeasure->isEnabled());
    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");
    EXPECT_FALSE(w.session.IsOpen());
}

// --- streaming ---------------------------------------------------------------

// A sensor whose stream falls silent after a given number of frames, read
// with a short real wait so that the reader does not spin.
class StreamWindowTest : public MeasureWindowTest {
protected:
    static sim::SensorConfig Config(std::uint64_t frames) {
        sim::SensorConfig config;
        config.faults.stream_stop_after_frames = frames;
        return config;
    }
    explicit StreamWindowTest(std::uint64_t frames = 12000)
        : MeasureWindowTest(Config(frames), 10ms) {}

    // Stream start, the window shrunk, and all `frames` frames in the ring.
    void Record(std::uint64_t frames) {
        sim::Faults faults;
        faults.stream_stop_after_frames = frames;
        h.sensor->SetFaults(faults);
        // The reader may still be in the read it began before the last stop;
        // bytes of the new stream it took then would be dropped when it finds
        // the stream off. Let that read end first.
        std::size_t reads = Wire().ShortReads();
        do QTest::qWait(30);
        while (std::exchange(reads, Wire().ShortReads()) != reads);
        const std::uint64_t before = w.session.Reader().FramesDecoded();
        w.ButtonStream->click();
        ASSERT_TRUE(w.session.Streaming());
        EXPECT_EQ(h.FinishAnimation().back(), 195);
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return w.session.Reader().FramesDecoded() - before == frames; }, 20000))
            << w.session.Reader().FramesDecoded() - before;
    }
};

using stream_window = StreamWindowTest;

TEST_F(stream_window, StartAndStopWithClicksDuringTheAnimationIgnored) {
    series.AddPoint(1.0, "x", Qt::red);
    ring.Append(3.0f);
    Wire().ClearLog();
    w.ButtonStream->click();
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x87}));
    EXPECT_TRUE(w.session.Streaming());
    EXPECT_EQ(series.Count(), 0);
    EXPECT_EQ(w.ButtonStream->text(), "Stream stop");
    EXPECT_EQ(Controls(w), (std::vector<bool>{false, false, true, false, false, false, true}));
    EXPECT_TRUE(w.TimerMore->isActive());

    // The window is still shrinking: a click does nothing at all.
    Wire().ClearLog();
    w.ButtonStream->click();
    EXPECT_TRUE(Wire().WrittenBytes().empty());
    EXPECT_TRUE(w.session.Streaming());
    EXPECT_EQ(w.ButtonStream->text(), "Stream stop");
    EXPECT_EQ(h.FinishAnimation(), (std::vector<int>{595, 515, 435, 355, 275, 195, 195}));

    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return ring.WriteIndex.load() == 2000 && ring.Wrapped.load(); }, 20000));
    Wire().ClearLog();
    h.clock.ClearPauses();
    w.ButtonStream->click();
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x88}));
    EXPECT_EQ(h.clock.Pauses(), (std::vector<unsigned>{5, 100}));
    EXPECT_FALSE(w.session.Streaming());
    EXPECT_EQ(w.ButtonStream->text(), "Stream start");
    EXPECT_EQ(Controls(w), kIdleControls);
    // 12000 frames: the ring's 10000, oldest first, labelled with ring indices.
    QStringList expected = Numbers(2000, 8000) + Numbers(0, 2000);
    EXPECT_EQ(Labels(series), expected);
    EXPECT_EQ(ring.ReadPosition, 2000);

    // A click while the window grows again does nothing either.
    Wire().ClearLog();
    w.ButtonStream->click();
    EXPECT_TRUE(Wire().WrittenBytes().empty());
    EXPECT_FALSE(w.session.Streaming());
    EXPECT_EQ(h.FinishAnimation().back(), 675);
    EXPECT_EQ(series.Count(), 10000);
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(stream_window, ConsecutiveRecordingsShowOnlyTheLastOne) {
    Record(300);
    w.ButtonStream->click();
    EXPECT_EQ(Labels(series), Numbers(0, 300));
    h.FinishAnimation();

    // Exactly twice the ring: all 10000 of the newest, from index 0.
    Record(20000);
    EXPECT_EQ(series.Count(), 0);  // the start cleared the first recording
    w.ButtonStream->click();
    EXPECT_EQ(Labels(series), Numbers(0, 10000));
    h.FinishAnimation();

    // A recording with no frame at all leaves the chart empty.
    Record(0);
    w.ButtonStream->click();
    EXPECT_EQ(series.Count(), 0);
}

TEST_F(stream_window, SilentStreamEndsInNoAnswerWithoutStopRequestOrDrain) {
    Record(50);
    Wire().ClearLog();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !w.session.LinkAlive(); }, 10000));
    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_TRUE(Wire().WrittenBytes().empty());
    EXPECT_FALSE(w.session.Streaming());
    EXPECT_EQ(series.Count(), 0);
    EXPECT_EQ(w.ButtonStream->text(), "Stream start");
    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
    EXPECT_TRUE(w.ButtonConnect->isEnabled());
    EXPECT_FALSE(w.ButtonStream->isEnabled());
    EXPECT_FALSE(w.TimerMore->isActive());
    EXPECT_EQ(w.frameGeometry().height(), 195);

    // Connecting again works and grows the window.
    h.messages.shown.clear();
    h.Connect();
    EXPECT_EQ(w.ButtonConnect->Tag, 1);
    EXPECT_EQ(w.frameGeometry().height(), 675);
    EXPECT_TRUE(h.messages.shown.empty());
}

// --- teach ---------------------------------------------------------------------

TEST_F(measure_window, TeachShowsTheTaughtValuesEvenWithoutAReply) {
    sim::Faults faults;
    faults.short_reply_command = 0x8C;
    faults.short_reply_length = 0;
    h.sensor->SetFaults(faults);
    SetRaw(0x1000);  // 12.5 mm of 50
    ASSERT_NE(w.ValueListEditorParam->Value(kEtalonRow), "12500");
    Wire().ClearLog();
    w.Button1->click();
    const Bytes sent = Wire().WrittenBytes();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(Bytes(sent.begin(), sent.begin() + 2), (Bytes{0x01, 0x8C}));
    EXPECT_EQ(h.messages.shown, (std::vector<Shown>{{"Teaching complete.", "MK271-SP.", MB_OK}}));
    EXPECT_EQ(w.ValueListEditorParam->Value(kEtalonRow), "12500");
    EXPECT_EQ(w.ProgressBarParam->value(), 19);
}

TEST_F(measure_window, TeachWithASensorThatStopsAnsweringLeavesTheGrid) {
    QStringList before;
    for (int r = 0; r < kParameterCount; ++r) before << w.ValueListEditorParam->Value(r);
    SetRaw(0x1000);
    sim::Faults faults;
    faults.silent_after_requests = 3;  // teach and two register reads
    h.sensor->SetFaults(faults);
    w.Button1->click();
    EXPECT_TRUE(h.messages.shown.empty());
    QStringList after;
    for (int r = 0; r < kParameterCount; ++r) after << w.ValueListEditorParam->Value(r);
    EXPECT_EQ(after, before);

    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown, std::vector<Shown>{kNoAnswer});
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
}

}  // namespace
}  // namespace mk27x
