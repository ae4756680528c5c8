// The sample file saved from the chart's menu, in the main window against a
// virtual sensor: the plain save dialog, the newest ten thousand samples, a
// target that cannot be written.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <QAction>
#include <filesystem>
#include <fstream>

#include <csignal>

#include "app/value_list_editor.h"
#include "support/temp_dir.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using Shown = RecordingMessageBox::Shown;
namespace fs = std::filesystem;
using testing::ReadFile;

// --- the sample file -----------------------------------------------------------

class SampleFileWindowTest : public MeasureWindowTest {
protected:
    static sim::SensorConfig Config() {
        sim::SensorConfig config;
        config.identity.range_mm = 4096;  // raw values in quarter millimetres
        return config;
    }
    SampleFileWindowTest() : MeasureWindowTest(Config()) {}

    void SetUp() override {
        MeasureWindowTest::SetUp();
        dir = fs::temp_directory_path() /
              ("mk27x-window-samples-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = dir / "samples.txt";
    }
    void TearDown() override { fs::remove_all(dir); }

    // A timed series of the given raw values.
    void Measure(std::initializer_list<std::int32_t> raws) {
        w.ButtonMeasure->click();
        for (std::int32_t raw : raws) {
            SetRaw(raw);
            w.measuring.TimerMeasureTimer();
        }
        w.ButtonMeasure->click();
    }

    void Save(const fs::path& target) {
        h.files.answers.push_back(target.string());
        w.Chart->MenuSave->trigger();
    }

    fs::path dir;
    fs::path path;
};

using sample_file_window = SampleFileWindowTest;

TEST_F(sample_file_window, SavesTheRingThroughThePlainSaveDialog) {
    // Nothing recorded yet: an empty file.
    Save(path);
    ASSERT_EQ(h.files.asked.size(), 1u);
    EXPECT_EQ(h.files.asked[0],
              (RecordingFileDialog::Asked{RecordingFileDialog::Kind::Save, FileDialogOptions{}}));
    EXPECT_TRUE(fs::exists(path));
    EXPECT_EQ(ReadFile(path), "");

    Measure({4, 10, -1});
    Save(path);
    EXPECT_EQ(ReadFile(path), "1.000\r\n2.500\r\n-0.250\r\n");
    EXPECT_EQ(ring.ReadPosition, 3);
    // Again without new samples: the same; a cleared chart does not matter.
    w.Chart->MenuClear->trigger();
    const fs::path second = dir / "again.txt";
    Save(second);
    EXPECT_EQ(ReadFile(second), ReadFile(path));

    // Cancelled: nothing written.
    std::ofstream(path, std::ios::binary) << "old";
    w.Chart->MenuSave->trigger();
    EXPECT_EQ(ReadFile(path), "old");
    EXPECT_EQ(h.files.asked.size(), 4u);
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(sample_file_window, TenThousandAndFiveSamplesKeepTheNewestTenThousand) {
    w.ButtonMeasure->click();
    sim::MeasurementSource source;
    source.kind = sim::MeasurementSource::Kind::kRamp;
    source.value = 0;
    source.amplitude = 20000;
    source.period = 20000;  // raw n for sample n
    h.sensor->SetSource(source);
    const auto first = static_cast<int>(h.sensor->PeekMeasurement());
    for (int i = 0; i < 10005; ++i) w.measuring.TimerMeasureTimer();
    w.ButtonMeasure->click();
    Save(path);
    std::string expected;
    char line[32];
    for (int n = first + 5; n < first + 10005; ++n) {
        std::snprintf(line, sizeof line, "%.3f\r\n", n / 4.0);
        expected += line;
    }
    EXPECT_EQ(ReadFile(path), expected);
}

TEST_F(sample_file_window, UnwritableTargetIsReportedAndTheOldFileKept) {
    Measure({4, 8});
    const std::string missing = (dir / "no such dir" / "samples.txt").string();
    Save(missing);
    EXPECT_EQ(h.messages.shown, (std::vector<Shown>{{"Cannot write file " + missing + ".",
                                                     "MK271-SP", MB_OK | MB_ICONSTOP}}));
    EXPECT_EQ(ring.ReadPosition, 0);

    // A write that fails part way (the process may write no more than 8 bytes
    // into a file) keeps the file it would have replaced.
    std::ofstream(path, std::ios::binary) << "keep me\r\n";
    h.messages.shown.clear();
    h.files.answers.push_back(path.string());
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{8, 8};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        w.measuring.SaveClick();
        const bool reported =
            h.messages.shown == std::vector<Shown>{{"Cannot write file " + path.string() + ".",
                                                    "MK271-SP", MB_OK | MB_ICONSTOP}};
        ::_exit(reported && ring.ReadPosition == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadFile(path), "keep me\r\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace mk27x
