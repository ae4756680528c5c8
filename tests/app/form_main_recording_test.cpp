// The window's recording commands: the chart menu's "Export CSV…" and
// "Statistics" on the samples of the ring, through the file-dialog and
// message-box doubles.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "chart/chart_view.h"
#include "recording/recording.h"
#include "support/recording_file_dialog.h"
#include "support/temp_dir.h"
#include "window_harness.h"

namespace mk27x {
namespace {

constexpr std::int64_t kMay1Noon = 1714564800LL * 1'000'000'000;

SampleTime At(std::int64_t ms) {
    return {ms * 1'000'000, kMay1Noon + ms * 1'000'000};
}

class RecordingWindow : public ::testing::Test {
protected:
    void SetUp() override {
        harness.window->measuring.SetRecordingFileDialog(dialog);
        ASSERT_TRUE(temp.Made());
    }

    SampleRing& Ring() { return harness.window->session.Ring(); }

    WindowHarness harness;
    RecordingFileDialog dialog;
    testing::TempDir temp{"mk27x-window-csv"};
    std::filesystem::path dir = temp.Dir();
};

TEST_F(RecordingWindow, MenuHasTheRecordingItemsAfterADividerBelowThePartsTwo) {
    QStringList items;
    for (QAction* a : harness.window->Chart->PopupMenuSave->actions())
        items << (a->isSeparator() ? QString("-") : a->text());
    EXPECT_EQ(items, QStringList({"Save data to file", "-", "Clear", "-",
                                  QString::fromUtf8("Export CSV\u2026"), "Statistics"}));
}

TEST_F(RecordingWindow, StatisticsShowsTheFiguresOfTheSessionsRecording) {
    harness.window->Chart->MenuStatistics->trigger();
    ASSERT_EQ(harness.messages.shown.size(), 1u);
    EXPECT_EQ(harness.messages.shown[0].text, "No samples.");

    Recording& recording = harness.window->session.Recording();
    recording.Begin({true, 0.020});
    for (auto [mm, ms] : {std::pair{1.0f, 0}, {2.0f, 20}, {3.0f, 40}, {4.0f, 400}})
        recording.Add(RecordedSample{mm, At(ms)});  // a pause of 360 ms
    recording.End();
    harness.window->Chart->MenuStatistics->trigger();
    ASSERT_EQ(harness.messages.shown.size(), 2u);
    EXPECT_EQ(harness.messages.shown[1].text,
              "Samples: 4\rMean: 2.500 mm\r\xCF\x83: 1.291 mm\rMin: 1.000 mm\rMax: 4.000 mm"
              "\rPeak-to-peak: 3.000 mm\rRate: 7.5 Hz\rGaps: 1");
    EXPECT_EQ(harness.messages.shown[1].caption, "MK271-SP");
    EXPECT_EQ(harness.messages.shown[1].flags, MB_OK);
}

TEST_F(RecordingWindow, ExportCsvWritesTheRingOrShowsTheSampleFileMessage) {
    Ring().Append(25.0f, At(0));
    Ring().Append(-0.5f, At(50));
    // Cancelled: nothing written, nothing shown.
    harness.window->Chart->MenuExportCsv->trigger();
    ASSERT_EQ(dialog.asked.size(), 1u);
    EXPECT_EQ(dialog.asked[0].kind, RecordingFileDialog::Kind::Save);
    EXPECT_EQ(dialog.asked[0].options.default_extension, "csv");
    EXPECT_TRUE(dialog.asked[0].options.confirm_overwrite);  // an existing file: asked first
    EXPECT_TRUE(harness.messages.shown.empty());

    const std::string path = (dir / "r.csv").string();
    dialog.answers.push_back(path);
    harness.window->Chart->MenuExportCsv->trigger();
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "index,time,seconds,mm\r\n"
              "0,2024-05-01T12:00:00.000000Z,0.000000,25.000\r\n"
              "1,2024-05-01T12:00:00.050000Z,0.050000,-0.500\r\n");
    EXPECT_TRUE(harness.messages.shown.empty());
    // The export leaves the ring's hand-over to the chart alone.
    EXPECT_EQ(Ring().ReadPosition, 0);

    const std::string bad = (dir / "missing" / "r.csv").string();
    dialog.answers.push_back(bad);
    harness.window->Chart->MenuExportCsv->trigger();
    ASSERT_EQ(harness.messages.shown.size(), 1u);
    EXPECT_EQ(harness.messages.shown[0].text, "Cannot write file " + bad + ".");
    EXPECT_EQ(harness.messages.shown[0].caption, "MK271-SP");
    EXPECT_EQ(harness.messages.shown[0].flags, MB_OK | MB_ICONSTOP);
}

TEST_F(RecordingWindow, PortListTakesANetworkAddress) {
    TFormMain& w = *harness.window;
    const int before = w.ComboBoxCOM->count();
    w.link.AddAndSelectPort("rfc2217://127.0.0.1:1");
    EXPECT_EQ(w.ComboBoxCOM->count(), before + 1);
    EXPECT_EQ(w.ComboBoxCOM->currentText(), "rfc2217://127.0.0.1:1");
    EXPECT_EQ(w.session.PortName(), "rfc2217://127.0.0.1:1");
    // These backends open no network port: the serial failure message names
    // the address and the reason.
    w.ButtonConnect->click();
    ASSERT_EQ(harness.messages.shown.size(), 1u);
    EXPECT_EQ(harness.messages.shown[0].text.rfind(
                  "Порт rfc2217://127.0.0.1:1 отсутсвует.\rИли занят другим приложением.\r", 0),
              0u);
    EXPECT_EQ(harness.messages.shown[0].caption, "Zozuvi-dada");
    EXPECT_FALSE(w.session.IsOpen());
}

}  // namespace
}  // namespace mk27x
