#include "platform/file_dialog.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>

#include "platform/qt_file_dialog.h"
#include "support/recording_file_dialog.h"
#include "support/temp_dir.h"

namespace mk27x {
namespace {

FileDialogOptions Filter(const std::string& filter) {
    FileDialogOptions o;
    o.filter = filter;
    return o;
}

// Waits for a modal window of type W, then lets `act` operate it.
template <typename W>
void WhenModalShows(std::function<void(W*)> act) {
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        auto* dialog = qobject_cast<W*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        act(dialog);
    });
    timer->start();
}

void WhenDialogShows(std::function<void(QFileDialog*)> act) {
    WhenModalShows<QFileDialog>(std::move(act));
}

void TypeAndReturn(QFileDialog* dialog, const QString& text) {
    auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(edit, nullptr);
    edit->setText(text);
    QTest::keyClick(edit, Qt::Key_Return);
}

class QtFileDialogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(temp.Made()); }

    testing::TempDir temp{"mk27x-dialog"};
    std::string dir = temp.Dir().string();
    QtFileDialog dialogs;
};

TEST_F(QtFileDialogTest, SaveTakesATypedPathAndReturn) {
    const std::string path = dir + "/samples.txt";
    WhenDialogShows([&](QFileDialog* d) {
        EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_TRUE(d->testOption(QFileDialog::DontUseNativeDialog));
        TypeAndReturn(d, QString::fromStdString(path));
    });
    EXPECT_EQ(dialogs.Save({}), path);

    // An existing file is replaced without a question.
    std::ofstream(path) << "old";
    WhenDialogShows([&](QFileDialog* d) { TypeAndReturn(d, QString::fromStdString(path)); });
    EXPECT_EQ(dialogs.Save({}), path);
}

// Told to, the dialog asks before an existing file is replaced: "No" keeps the
// dialog open, Escape then cancels.
TEST_F(QtFileDialogTest, SaveAsksBeforeReplacingWhenTold) {
    const std::string path = dir + "/samples.csv";
    std::ofstream(path) << "old";
    FileDialogOptions options;
    options.confirm_overwrite = true;
    QString question;
    WhenDialogShows([&](QFileDialog* d) {
        EXPECT_FALSE(d->testOption(QFileDialog::DontConfirmOverwrite));
        WhenModalShows<QMessageBox>([&](QMessageBox* box) {
            question = box->text();
            WhenDialogShows([](QFileDialog* again) { QTest::keyClick(again, Qt::Key_Escape); });
            box->button(QMessageBox::No)->click();
        });
        TypeAndReturn(d, QString::fromStdString(path));
    });
    EXPECT_EQ(dialogs.Save(options), std::nullopt);
    EXPECT_TRUE(question.contains("samples.csv")) << question.toStdString();
}

TEST_F(QtFileDialogTest, DefaultExtensionCompletesABareName) {
    WhenDialogShows(
        [&](QFileDialog* d) { TypeAndReturn(d, QString::fromStdString(dir + "/data")); });
    FileDialogOptions options;
    options.default_extension = "txt";
    EXPECT_EQ(dialogs.Save(options), dir + "/data.txt");
}

TEST_F(QtFileDialogTest, OpenTakesAnExistingFileAndEscapeCancels) {
    const std::string path = dir + "/table.tbl";
    std::ofstream(path) << "header\n";
    WhenDialogShows([&](QFileDialog* d) {
        EXPECT_EQ(d->acceptMode(), QFileDialog::AcceptOpen);
        EXPECT_EQ(d->nameFilters(), QStringList{"*.tbl (*.tbl)"});
        TypeAndReturn(d, QString::fromStdString(path));
    });
    EXPECT_EQ(dialogs.Open(Filter("*.tbl|*.tbl")), path);

    WhenDialogShows([](QFileDialog* d) { QTest::keyClick(d, Qt::Key_Escape); });
    EXPECT_EQ(dialogs.Open(Filter("*.tbl|*.tbl")), std::nullopt);
}

TEST(FileDialogFilter, ClassicPairsBecomeQtNameFilters) {
    EXPECT_TRUE(QtNameFilters("").isEmpty());
    EXPECT_EQ(QtNameFilters("*.tbl|*.tbl"), QStringList{"*.tbl (*.tbl)"});
    EXPECT_EQ(QtNameFilters("Tables|*.tbl;*.TBL|All files|*.*"),
              (QStringList{"Tables (*.tbl *.TBL)", "All files (*.*)"}));
    EXPECT_EQ(QtNameFilters("*.txt"), QStringList{"*.txt (*.txt)"});
}

TEST(RecordingFileDialog, AnswersFromTheScriptThenCancels) {
    RecordingFileDialog d;
    d.answers = {"/a.txt", std::nullopt};
    FileDialogOptions named;
    named.file_name = "x";
    EXPECT_EQ(d.Save(named), "/a.txt");
    EXPECT_EQ(d.Open(Filter("*.tbl|*.tbl")), std::nullopt);
    EXPECT_EQ(d.Save({}), std::nullopt);
    ASSERT_EQ(d.asked.size(), 3u);
    EXPECT_EQ(d.asked[0].kind, RecordingFileDialog::Kind::Save);
    EXPECT_EQ(d.asked[0].options.file_name, "x");
    EXPECT_EQ(d.asked[1].kind, RecordingFileDialog::Kind::Open);
    EXPECT_EQ(d.asked[1].options.filter, "*.tbl|*.tbl");
}

}  // namespace
}  // namespace mk27x
