// "Load Clbr File" through the window: the dialog preset, the upload with its
// progress bar, the messages.
#include <gtest/gtest.h>

#include <QProgressBar>

#include "calibration/tbl_files.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using Shown = RecordingMessageBox::Shown;

class CalibrationWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        w.show();
        h.Connect();
        path = dir.Write("1234.tbl", testing::TblText(testing::SampleFields(15900)));
    }

    WindowHarness h;
    TFormMain& w = *h.window;
    testing::TempDir dir;
    std::string path;
};

TEST_F(CalibrationWindowTest, UploadsTheChosenTableWithProgress) {
    h.files.answers = {path};
    w.Button3->click();
    ASSERT_EQ(h.files.asked.size(), 1u);
    const FileDialogOptions& asked = h.files.asked[0].options;
    EXPECT_EQ(h.files.asked[0].kind, RecordingFileDialog::Kind::Open);
    EXPECT_EQ(asked.filter, "*.tbl|*.tbl");
    EXPECT_EQ(asked.default_extension, "tbl");
    EXPECT_EQ(asked.file_name, "1234.tbl");
    EXPECT_EQ(h.messages.shown,
              (std::vector<Shown>{{"Файл калибровки записан в датчик!!!", "Сообщение...", MB_OK}}));
    EXPECT_EQ(h.sensor->CalibrationBlocks().size(), 30u);
    EXPECT_EQ(w.ProgressBarParam->maximum(), 100);
    EXPECT_EQ(w.ProgressBarParam->value(), 96);
}

TEST_F(CalibrationWindowTest, CancelSendsNothing) {
    h.opened.back()->ClearLog();
    w.Button3->click();
    EXPECT_TRUE(h.opened.back()->WrittenBytes().empty());
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(CalibrationWindowTest, SensorSilentAtBlockFiveStopsWithTheWarning) {
    sim::Faults faults;
    faults.silent_after_requests = 5;
    h.sensor->SetFaults(faults);
    h.files.answers = {path};
    w.Button3->click();
    EXPECT_EQ(h.messages.shown, (std::vector<Shown>{{"Ошибка записи файла калибровки!!!",
                                                     "Внимание !", MB_OK | MB_ICONEXCLAMATION}}));
    EXPECT_EQ(h.sensor->CalibrationBlocks().size(), 5u);
    EXPECT_EQ(w.ProgressBarParam->value(), 13);
    // The upload leaves the link alone: the watchdog sees nothing wrong.
    w.link.TimerAnswerTimer();
    EXPECT_EQ(h.messages.shown.size(), 1u);
}

TEST_F(CalibrationWindowTest, BadFileIsReportedBeforeAnythingIsSent) {
    h.files.answers = {dir.Write("bad.tbl", testing::TblText({"17", ""}))};
    h.opened.back()->ClearLog();
    w.Button3->click();
    EXPECT_EQ(h.messages.shown.size(), 1u);
    EXPECT_EQ(h.messages.shown[0].text, "'' is not a valid integer value");
    EXPECT_TRUE(h.opened.back()->WrittenBytes().empty());
}

}  // namespace
}  // namespace mk27x
