// The main window's sensor search and parameter files, driven through the port
// list, the search dialog and the grid's menu.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "app/value_list_editor.h"
#include "platform/file_dialog.h"
#include "session/parameter_file.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "ui/search_dialog.h"
#include "window_harness.h"

namespace mk27x {
namespace {

namespace fs = std::filesystem;
using Shown = RecordingMessageBox::Shown;

const QString kSearch = QString::fromUtf8("Search\u2026");

class WindowSearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        w.show();
        // COM3 holds a sensor at 9600 baud, address 1; USB one at address 100;
        // no other port opens.
        sim::SensorConfig c;
        c.baud = 9600;
        c.identity.serial = 3333;
        ports["COM3"] = std::make_shared<sim::VirtualSensor>(c);
        c.baud = 115200;
        c.address = 100;
        ports["USB"] = std::make_shared<sim::VirtualSensor>(c);
        w.link.search_opener = [this](const std::string& port, std::uint32_t baud, ReadTimeouts,
                                      std::string&) -> std::shared_ptr<ByteTransport> {
            const auto it = ports.find(port);
            if (it == ports.end()) return nullptr;
            return std::make_shared<sim::InProcessTransport>(it->second,
                                                             sim::InProcessOptions{baud});
        };
    }

    // Chooses "Search…" and runs `act` on the dialog once it is up.
    void ChooseSearch(std::function<void(SearchDialog&)> act) {
        QTimer::singleShot(0, &w, [this, act] { act(*w.link.search_dialog); });
        w.ComboBoxCOM->setCurrentIndex(w.ComboBoxCOM->findText(kSearch));
    }

    WindowHarness h;
    TFormMain& w = *h.window;
    std::map<std::string, std::shared_ptr<sim::VirtualSensor>> ports;
};

using main_window_search = WindowSearchTest;

TEST_F(main_window_search, SearchItemStaysLastAndNeverBecomesThePort) {
    EXPECT_EQ(w.ComboBoxCOM->itemText(w.ComboBoxCOM->count() - 1), kSearch);
    w.link.AddAndSelectPort("/dev/ttyMK0");
    EXPECT_EQ(w.ComboBoxCOM->itemText(w.ComboBoxCOM->count() - 1), kSearch);
    EXPECT_EQ(w.ComboBoxCOM->itemText(w.ComboBoxCOM->count() - 2), "/dev/ttyMK0");
    EXPECT_EQ(w.session.PortName(), "/dev/ttyMK0");

    ChooseSearch([](SearchDialog& d) { d.ButtonClose->click(); });
    EXPECT_EQ(w.ComboBoxCOM->currentText(), "/dev/ttyMK0");
    EXPECT_EQ(w.session.PortName(), "/dev/ttyMK0");
    EXPECT_FALSE(w.link.search_dialog->isVisible());
}

TEST_F(main_window_search, ChoosingAFoundSensorSetsTheThreeComboBoxes) {
    std::vector<QString> listed;
    ChooseSearch([&](SearchDialog& d) {
        d.ButtonQuick->click();
        for (int i = 0; i < d.ListFound->count(); ++i)
            listed.push_back(d.ListFound->item(i)->text());
        d.ButtonUse->click();
    });
    // Quick: address 1 everywhere; the USB sensor at 100 stays unfound.
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[0].toStdString(), "cannot open COM1");  // the opener gave no reason
    EXPECT_TRUE(
        listed[2].startsWith("COM3 9600 baud, address 1: model 27, release 2, serial "
                             "number 3333"));
    EXPECT_EQ(w.ComboBoxCOM->currentText(), "COM3");
    EXPECT_EQ(w.ComboBoxWorkBaund->currentText(), "9600");
    EXPECT_EQ(w.ComboBoxWorkCodeDev->currentText(), "1");
    EXPECT_EQ(w.session.PortName(), "COM3");
    EXPECT_EQ(w.session.BaudRate(), 9600u);
    EXPECT_EQ(w.session.Address(), 1);
    EXPECT_EQ(ports["COM3"]->Registers(), ports["COM3"]->FlashImage());
}

TEST_F(main_window_search, FullSearchOnTheChosenPortFindsAnyAddressAndCancels) {
    ChooseSearch([](SearchDialog& d) {
        d.ButtonFull->click();  // on USB, the port chosen
        ASSERT_EQ(d.Result().found.size(), 1u);
        EXPECT_EQ(d.Result().found[0].address, 100);
        d.ListFound->setCurrentRow(0);
        d.ButtonUse->click();
    });
    EXPECT_EQ(w.session.PortName(), "USB");
    EXPECT_EQ(w.ComboBoxWorkCodeDev->currentText(), "100");
    EXPECT_EQ(w.session.Address(), 100);

    bool cancelled = false;
    std::size_t last = 0;
    ChooseSearch([&](SearchDialog& d) {
        d.on_progress = [&d](std::size_t done) {
            if (done == 3) d.ButtonCancel->click();
        };
        d.ButtonFull->click();
        d.on_progress = [&last](std::size_t done) { last = done; };
        cancelled = d.Result().cancelled;
        EXPECT_EQ(d.ProgressBarSearch->value(), 3);
        EXPECT_TRUE(d.ButtonClose->isEnabled());
        d.ButtonClose->click();
    });
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(last, 0u);
    EXPECT_EQ(w.session.PortName(), "USB");
}

class WindowParameterFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        w.show();
        w.grid.parameter_file_dialog = &files;
        dir = fs::temp_directory_path() / ("mk27x-win-" + std::to_string(::getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    WindowHarness h;
    TFormMain& w = *h.window;
    RecordingFileDialog files;
    fs::path dir;
};

using main_window_parameter_files = WindowParameterFileTest;

TEST_F(main_window_parameter_files, MenuEndsWithTheTwoFileItems) {
    const QList<QAction*> actions = w.PopupMenuParam->actions();
    ASSERT_EQ(actions.size(), 13);
    EXPECT_TRUE(actions[10]->isSeparator());
    EXPECT_EQ(actions[11]->text(), QString::fromUtf8("Save parameters to file\u2026"));
    EXPECT_EQ(actions[12]->text(), QString::fromUtf8("Load parameters from file\u2026"));
}

TEST_F(main_window_parameter_files, SaveThenLoadShowsTheFileInTheGrid) {
    h.Connect();
    const std::string path = (dir / "set.json").string();
    w.session.Values()[kSamplingPeriod] = 1234;
    files.answers = {path};
    w.PopupMenuSaveFile->trigger();
    ASSERT_EQ(files.asked.size(), 1u);
    EXPECT_EQ(files.asked[0].kind, RecordingFileDialog::Kind::Save);
    EXPECT_EQ(files.asked[0].options.default_extension, "json");
    EXPECT_TRUE(files.asked[0].options.confirm_overwrite);
    const ParameterFileResult saved = ReadParameterFile(path);
    ASSERT_TRUE(saved.ok) << saved.error;
    EXPECT_EQ(saved.file.values[kSamplingPeriod], 1234);
    ASSERT_TRUE(saved.file.sensor);

    w.session.Values()[kSamplingPeriod] = 7;
    w.grid.FillParameterGrid();
    const auto sent = h.opened.back()->WrittenBytes().size();
    files.answers = {path};
    w.PopupMenuLoadFile->trigger();
    EXPECT_EQ(w.session.Values()[kSamplingPeriod], 1234);
    EXPECT_EQ(w.ValueListEditorParam->CellText(kSamplingPeriod), "1234");
    // Nothing goes to the sensor until Load All.
    EXPECT_EQ(h.opened.back()->WrittenBytes().size(), sent);
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(main_window_parameter_files, BadFileAndDeclinedOtherModelChangeNothing) {
    h.Connect();
    const ParameterSet before = w.session.Values();
    const std::string bad = (dir / "bad.json").string();
    std::ofstream(bad) << "{\"format\": \"mk27x-parameters\", \"version\": 9}";
    files.answers = {bad};
    w.PopupMenuLoadFile->trigger();
    ASSERT_EQ(h.messages.shown.size(), 1u);
    EXPECT_EQ(h.messages.shown[0], (Shown{"Cannot load " + bad + ":\runknown format version 9.",
                                          "MK271-SP", MB_OK | MB_ICONSTOP}));
    EXPECT_EQ(w.session.Values(), before);

    ParameterSet other = DefaultParameterSet();
    other[kSamplingPeriod] = 999;
    const std::string path = (dir / "other.json").string();
    std::string error;
    ASSERT_TRUE(WriteParameterFile(
        path, ParameterFileText(other, SensorIdentity{99, 1, 1, 1, 1}, "t"), error));
    h.messages.answers = {IDCANCEL};
    files.answers = {path};
    w.PopupMenuLoadFile->trigger();
    ASSERT_EQ(h.messages.shown.size(), 2u);
    EXPECT_EQ(h.messages.shown[1].flags, unsigned(MB_OKCANCEL | MB_ICONEXCLAMATION));
    EXPECT_EQ(w.session.Values(), before);

    h.messages.answers = {IDOK};
    files.answers = {path};
    w.PopupMenuLoadFile->trigger();
    EXPECT_EQ(w.session.Values()[kSamplingPeriod], 999);
    EXPECT_EQ(w.ValueListEditorParam->CellText(kSamplingPeriod), "999");

    // A cancelled dialog does nothing.
    w.PopupMenuLoadFile->trigger();
    EXPECT_EQ(h.messages.shown.size(), 3u);
}

}  // namespace
}  // namespace mk27x
