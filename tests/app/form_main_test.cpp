// The main window's connection workflow, driven through its controls against a
// virtual sensor: start-up state, the grid's cells, connect and disconnect
// with the height animation, a wrong address, ports that cannot be opened.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <thread>

#include "app/value_list_editor.h"
#include "chart/chart_view.h"
#include "pty_server.h"
#include "support/not_serial_paths.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "support/virtual_clock.h"
#include "transport/port_backends.h"
#include "window_harness.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using Shown = RecordingMessageBox::Shown;

QStringList Items(const QComboBox* combo) {
    QStringList items;
    for (int i = 0; i < combo->count(); ++i) items << combo->itemText(i);
    return items;
}

QStringList Numbers(int first, int last) {
    QStringList list;
    for (int i = first; i <= last; ++i) list << QString::number(i);
    return list;
}

// Suite names carry "window" so that `ctest -R window` selects them.
using main_window = MainWindowTest;

TEST_F(main_window, StartsDisconnectedWithTheDesignedControls) {
    EXPECT_EQ(w.windowTitle(), "MK27x-SP(Setup program).");
    // Heights are outer heights: the frame is part of the 195 pixels.
    EXPECT_EQ(w.width(), 714);
    EXPECT_EQ(w.frameGeometry().height(), 195);
    EXPECT_EQ(w.PanelBottom->geometry(), QRect(0, w.height() - 58, 714, 58));

    EXPECT_EQ(w.Label1->text(), "COM Port / USB :");
    EXPECT_EQ(w.Label5->text(), "UART Baud rate:");
    EXPECT_EQ(w.Label4->text(), "Net number of device:");
    EXPECT_EQ(Items(w.ComboBoxCOM).mid(0, 5), (QStringList{"COM1", "COM2", "COM3", "COM4", "USB"}));
    EXPECT_EQ(w.ComboBoxCOM->currentText(), "USB");
    EXPECT_EQ(w.session.PortName(), "USB");
    EXPECT_EQ(Items(w.ComboBoxWorkBaund),
              (QStringList{"9600", "115200", "230400", "460800", "921600"}));
    EXPECT_EQ(w.ComboBoxWorkBaund->currentText(), "115200");
    EXPECT_EQ(w.session.BaudRate(), 115200u);
    EXPECT_EQ(Items(w.ComboBoxWorkCodeDev), Numbers(1, 127));
    EXPECT_EQ(w.ComboBoxWorkCodeDev->currentText(), "1");
    EXPECT_EQ(w.session.Address(), 1);

    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
    EXPECT_TRUE(w.ButtonConnect->isEnabled());
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_EQ(w.ButtonConnect->geometry(), QRect(200, 6, 156, 26));
    EXPECT_EQ(w.ButtonMeasure->text(), "Measure");
    EXPECT_EQ(w.ButtonStream->text(), "Stream start");
    EXPECT_EQ(w.Button1->text(), "Teach");
    EXPECT_EQ(w.Button2->text(), "Measure Dev");
    EXPECT_EQ(w.Button3->text(), "Load Clbr File");
    EXPECT_TRUE(w.Button2->isHidden());
    EXPECT_EQ(SensorButtonsEnabled(w), kAllDisabled);
    EXPECT_EQ(w.ButtonDescription->text(), "<<");

    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");
    EXPECT_FALSE(w.LabelRast->isEnabled());
    EXPECT_EQ(w.LabelRast->geometry(), QRect(368, 11, 341, 54));
    EXPECT_EQ(IdentityTexts(w), kNoIdentity);
    EXPECT_TRUE(w.LabelRelease->isHidden());

    // The grid: 20 rows named as the table, the default values in their forms.
    ASSERT_EQ(w.ValueListEditorParam->rowCount(), kParameterCount);
    EXPECT_EQ(w.ValueListEditorParam->horizontalHeaderItem(0)->text(), "Parameter");
    EXPECT_EQ(w.ValueListEditorParam->horizontalHeaderItem(1)->text(), "Value");
    // The names take what the values' 60 pixels leave of the grid's width.
    EXPECT_EQ(w.ValueListEditorParam->columnWidth(0) + 60,
              w.ValueListEditorParam->viewport()->width());
    EXPECT_EQ(w.ValueListEditorParam->columnWidth(1), 60);
    EXPECT_EQ(w.ValueListEditorParam->Key(19), "Dia Correction");
    EXPECT_EQ(GridValues(w),
              (QStringList{"on", "0", "1", "9600",  "1", "500", "0", "1000", "1", "0",
                           "1",  "0", "0", "knife", "0", "0",   "0", "0",    "0", "0"}));
    EXPECT_EQ(w.ProgressBarParam->minimum(), 0);
    EXPECT_EQ(w.ProgressBarParam->maximum(), 100);
    EXPECT_EQ(w.ProgressBarParam->height(), 17);

    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_FALSE(w.TimerAnswer->isActive());
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST_F(main_window, GridCellsEditAsTheirRowOptionsSay) {
    ValueListEditor& grid = *w.ValueListEditorParam;
    auto open_editor = [&](int row) {
        const QModelIndex index = grid.model()->index(row, ValueListEditor::kValueColumn);
        grid.setCurrentIndex(index);
        grid.edit(index);
        return grid.indexWidget(index);
    };
    auto close_editor = [&](int row) {
        const QModelIndex index = grid.model()->index(row, ValueListEditor::kValueColumn);
        QWidget* editor = grid.indexWidget(index);
        grid.itemDelegate()->setModelData(editor, grid.model(), index);
        emit grid.itemDelegate()->closeEditor(editor);
    };

    // Names are fixed.
    EXPECT_FALSE(grid.item(0, ValueListEditor::kKeyColumn)->flags() & Qt::ItemIsEditable);

    // A read-only pick list offers its items and nothing else.
    auto* on_off = qobject_cast<QComboBox*>(open_editor(0));
    ASSERT_NE(on_off, nullptr);
    EXPECT_FALSE(on_off->isEditable());
    EXPECT_EQ(Items(on_off), (QStringList{"off", "on"}));
    EXPECT_EQ(on_off->currentText(), "on");
    on_off->setCurrentIndex(0);
    close_editor(0);
    EXPECT_EQ(grid.Value(0), "off");

    auto* measure_type = qobject_cast<QComboBox*>(open_editor(13));
    ASSERT_NE(measure_type, nullptr);
    EXPECT_EQ(Items(measure_type),
              (QStringList{"knife", "substrate", "average", "Border_A", "Border_B"}));
    close_editor(13);

    // Typed rows are limited to their maximum length.
    auto* period = qobject_cast<QLineEdit*>(open_editor(5));
    ASSERT_NE(period, nullptr);
    EXPECT_EQ(period->maxLength(), 5);
    period->setText("1234567");
    close_editor(5);
    EXPECT_EQ(grid.Value(5), "12345");

    // Ellipsis rows carry the "..." button, which reports its row.
    QSignalSpy pressed(&grid, &ValueListEditor::EditButtonClick);
    QWidget* out_logic = open_editor(18);
    ASSERT_NE(out_logic, nullptr);
    auto* button = out_logic->findChild<QToolButton*>();
    ASSERT_NE(button, nullptr);
    EXPECT_EQ(button->text(), "...");
    EXPECT_EQ(out_logic->findChild<QLineEdit*>()->maxLength(), 7);
    button->click();
    ASSERT_EQ(pressed.count(), 1);
    EXPECT_EQ(pressed.at(0).at(0).toInt(), 18);
    close_editor(18);

    // Leaving the rows took their texts into the working set.
    w.grid.FillParameterGrid();
    EXPECT_EQ(grid.rowCount(), kParameterCount);
    EXPECT_EQ(grid.Value(0), "off");
    EXPECT_EQ(grid.Value(5), "12345");
    EXPECT_EQ(w.session.Values()[5], 12345);
}

TEST_F(main_window, ConnectShowsTheSensorAndDisconnectResetsTheWindow) {
    // A few parameters away from their defaults, in every display form.
    sim::VirtualSensor& sensor = *h.sensor;
    sensor.SetRegister(0x08, 0x14);  // Sampling period 276
    sensor.SetRegister(0x09, 0x01);
    sensor.SetRegister(0x0D, 0x20);  // range begin 8192: 500 thousandths
    sensor.SetRegister(0x18, 0x20);  // Etalon 8192: 25000 um with R = 50
    sensor.SetRegister(0x15, 0xFF);  // Dia Correction -1
    sensor.SetRegister(0x16, 0xFF);
    sensor.SetRegister(0x1E, 0x22);  // 3 borders, "average"
    w.Chart->SeriesOsc.AddPoint(1.0, "0", Qt::red);

    w.ButtonConnect->click();
    EXPECT_TRUE(h.messages.shown.empty());
    EXPECT_EQ(w.Chart->SeriesOsc.Count(), 0);
    EXPECT_EQ(IdentityTexts(w), (QStringList{"27", "2", "1234", "100 mm", "50 mm"}));
    EXPECT_EQ(w.ButtonConnect->text(), "Disconnect");
    EXPECT_EQ(w.ButtonConnect->Tag, 1);
    EXPECT_EQ(SensorButtonsEnabled(w), kAllEnabled);
    EXPECT_TRUE(w.LabelRast->isEnabled());
    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");
    EXPECT_TRUE(w.TimerAnswer->isActive());
    EXPECT_EQ(w.session.Protocol().LinkAlive(), 1);
    EXPECT_EQ(w.ProgressBarParam->maximum(), 19);
    EXPECT_EQ(w.ProgressBarParam->value(), 19);
    EXPECT_EQ(GridValues(w),
              (QStringList{"on", "0", "1", "115200",  "1", "276", "500", "1000", "1", "25000",
                           "1",  "0", "3", "average", "1", "1",   "0",   "0",    "0", "-1"}));

    // The window grows to full height while the reader leaves the link flag alone.
    EXPECT_TRUE(w.TimerMore->isActive());
    EXPECT_TRUE(w.session.DisplayBusy());
    EXPECT_TRUE(w.session.Reader().LinkAliveHeld());
    EXPECT_EQ(h.FinishAnimation(), (std::vector<int>{275, 355, 435, 515, 595, 675, 675}));
    EXPECT_FALSE(w.session.DisplayBusy());
    EXPECT_EQ(w.frameGeometry().height(), 675);
    EXPECT_GT(w.ValueListEditorParam->height(), 300);

    // Disconnect sends nothing, resets the window and shrinks it.
    const auto served = sensor.RequestsServed();
    w.Chart->SeriesOsc.AddPoint(1.0, "0", Qt::red);
    w.ButtonConnect->click();
    EXPECT_EQ(sensor.RequestsServed(), served);
    EXPECT_EQ(w.Chart->SeriesOsc.Count(), 0);
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_EQ(IdentityTexts(w), kNoIdentity);
    EXPECT_EQ(SensorButtonsEnabled(w), kAllDisabled);
    EXPECT_FALSE(w.LabelRast->isEnabled());
    EXPECT_EQ(w.LabelRast->text(), "0.000 mm");
    EXPECT_FALSE(w.TimerAnswer->isActive());
    EXPECT_EQ(GridValues(w)[5], "276");  // the values stay in the grid

    // A connect while the window still shrinks opens the port and goes no further.
    w.ButtonConnect->click();
    EXPECT_TRUE(w.session.IsOpen());
    EXPECT_EQ(sensor.RequestsServed(), served);
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_EQ(h.FinishAnimation(), (std::vector<int>{595, 515, 435, 355, 275, 195, 195}));

    // Connecting again reads the sensor anew.
    sensor.SetRegister(0x08, 0x15);
    h.Connect();
    EXPECT_EQ(w.ButtonConnect->text(), "Disconnect");
    EXPECT_EQ(IdentityTexts(w), (QStringList{"27", "2", "1234", "100 mm", "50 mm"}));
    EXPECT_EQ(GridValues(w)[5], "277");
    EXPECT_EQ(w.frameGeometry().height(), 675);
    EXPECT_TRUE(h.messages.shown.empty());
}

TEST(main_window_address, WrongAddressIsReportedAndTheRightOneConnects) {
    sim::SensorConfig config;
    config.address = 5;
    WindowHarness h(config);
    TFormMain& w = *h.window;
    w.show();

    w.ButtonConnect->click();
    EXPECT_EQ(h.messages.shown, (std::vector<Shown>{{"No answer. Please change parameters.",
                                                     "MK271-SP", MB_OK | MB_ICONSTOP}}));
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_EQ(w.ButtonConnect->text(), "Connect");
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_FALSE(w.TimerAnswer->isActive());
    EXPECT_EQ(IdentityTexts(w), kNoIdentity);

    w.ComboBoxWorkCodeDev->setCurrentIndex(4);
    EXPECT_EQ(w.session.Address(), 5);
    h.Connect();
    EXPECT_EQ(h.messages.shown.size(), 1u);
    EXPECT_EQ(w.ButtonConnect->text(), "Disconnect");
    EXPECT_EQ(GridValues(w)[2], "5");
}

TEST_F(main_window, ParameterWritesMoveTheComboBoxesWithoutTheirHandlers) {
    h.Connect();
    QSignalSpy address_changes(w.ComboBoxWorkCodeDev, &QComboBox::currentIndexChanged);
    QSignalSpy baud_changes(w.ComboBoxWorkBaund, &QComboBox::currentIndexChanged);
    w.session.Protocol().ParameterValues[kNetworkAddress] = 9;
    w.session.Protocol().WriteParameter(kNetworkAddress);
    EXPECT_EQ(w.ComboBoxWorkCodeDev->currentText(), "9");
    EXPECT_EQ(w.session.Address(), 9);
    EXPECT_EQ(h.sensor->Address(), 9);

    w.session.Protocol().ParameterValues[kUartBaudrate] = 4;
    w.session.Protocol().WriteParameter(kUartBaudrate);
    EXPECT_EQ(w.ComboBoxWorkBaund->currentText(), "9600");
    EXPECT_EQ(w.session.BaudRate(), 9600u);
    EXPECT_EQ(address_changes.count(), 0);
    EXPECT_EQ(baud_changes.count(), 0);
    // Program and sensor still understand each other.
    EXPECT_TRUE(w.session.Protocol().ReadAllParameters());
    EXPECT_EQ(w.session.Protocol().ReadBackValues[kNetworkAddress], 9);
    w.link.TimerAnswerTimer();
    EXPECT_TRUE(h.messages.shown.empty());
}

// A path that is no terminal gets the window's own text for a port that
// cannot be opened, and is left as it was.
TEST(main_window_port, PathsThatAreNoSerialPortAreRefusedUntouched) {
    const testing::NotSerialPaths paths("window");
    RecordingMessageBox messages;
    VirtualClock clock;
    RecordingFileDialog files;
    TFormMain w(messages, files, clock, RealPortBackends());
    for (const std::string& path : paths.All()) {
        SCOPED_TRACE(path);
        messages.shown.clear();
        w.link.AddAndSelectPort(QString::fromStdString(path));
        w.ButtonConnect->click();
        ASSERT_EQ(messages.shown.size(), 1u);
        EXPECT_EQ(messages.shown[0].text, SerialOpenFailureText(path));
        EXPECT_FALSE(w.session.IsOpen());
        EXPECT_EQ(w.ButtonConnect->Tag, 0);
        EXPECT_TRUE(paths.Unchanged());
    }
}

TEST(main_window_port, MissingDevicesAreReportedAndNothingOpens) {
    RecordingMessageBox messages;
    VirtualClock clock;
    RecordingFileDialog files;
    TFormMain w(messages, files, clock, RealPortBackends());

    w.link.AddAndSelectPort("/dev/mk27x-no-such-port");
    EXPECT_EQ(w.ComboBoxCOM->currentText(), "/dev/mk27x-no-such-port");
    EXPECT_EQ(w.session.PortName(), "/dev/mk27x-no-such-port");
    w.ButtonConnect->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0],
              (Shown{"Порт /dev/mk27x-no-such-port отсутсвует.\rИли занят другим приложением.",
                     "Zozuvi-dada", MB_OK | MB_ICONSTOP}));
    EXPECT_FALSE(w.session.IsOpen());
    EXPECT_EQ(w.ButtonConnect->Tag, 0);
    EXPECT_FALSE(w.TimerAnswer->isActive());

    // Back to "USB", with no USB device attached.
    w.ComboBoxCOM->setCurrentIndex(w.ComboBoxCOM->findText("USB"));
    EXPECT_EQ(w.session.PortName(), "USB");
    w.ButtonConnect->click();
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[1], (Shown{"Error opening USB.\rPort already in use or not available.",
                                        "MK270_TestStend", MB_OK | MB_ICONEXCLAMATION}));
    EXPECT_FALSE(w.session.IsOpen());
}

TEST_F(main_window, GrowingWindowStaysOnTheScreen) {
    const QRect available = w.screen()->availableGeometry();
    w.move(available.left() + 10, available.bottom() - 250);
    h.Connect();
    const QRect outer = w.frameGeometry();
    EXPECT_EQ(outer.height(), 675);
    if (available.height() >= 675)
        EXPECT_EQ(outer.bottom(), available.bottom());
    else
        EXPECT_EQ(outer.top(), available.top());
    EXPECT_EQ(outer.left(), available.left() + 10);
}

// The --simulator set-up: the real serial backend on a pseudo-terminal, real time.
}  // namespace
}  // namespace mk27x
