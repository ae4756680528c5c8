// The monitor window without a connection: the sensors' table (typed specs,
// refusals, the search), the channels with the parser's refusal shown while
// typing, and the chart's legend.
#include "monitor/monitor_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <map>

#include <qcustomplot.h>

#include "in_process_transport.h"
#include "monitor/monitor_chart.h"
#include "publish/publish_options.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "support/virtual_clock.h"
#include "transport/port_backends.h"
#include "ui/search_dialog.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using Shown = RecordingMessageBox::Shown;

class MonitorWindowTest : public ::testing::Test {
protected:
    MonitorWindowTest()
        : w(messages, files, clock, RealPortBackends(),
            [this](const std::string& port, std::uint32_t baud, ReadTimeouts,
                   std::string&) -> std::shared_ptr<ByteTransport> {
                const auto it = ports.find(port);
                if (it == ports.end()) return nullptr;
                return std::make_shared<sim::InProcessTransport>(it->second,
                                                                 sim::InProcessOptions{baud});
            }) {
        w.show();
    }

    // Types `text` into the sensor field and presses Return.
    void TypeSensor(const QString& text) {
        w.EditSensor->clear();
        QTest::keyClicks(w.EditSensor, text);
        QTest::keyClick(w.EditSensor, Qt::Key_Return);
    }
    QString Cell(int row, int column) const { return w.TableSensors->item(row, column)->text(); }

    RecordingMessageBox messages;
    RecordingFileDialog files;
    VirtualClock clock;
    std::map<std::string, std::shared_ptr<sim::VirtualSensor>> ports;
    MonitorWindow w;
};

TEST_F(MonitorWindowTest, SensorsAreTypedAsSpecsOrPortsAndRefusedWithTheReason) {
    EXPECT_FALSE(w.ButtonConnect->isEnabled());
    TypeSensor("left=/dev/ttyUSB0@921600#3");
    TypeSensor("/dev/ttyUSB1");  // a port alone: the first free letter
    TypeSensor("tcp://line3-gateway:4001#4");
    ASSERT_EQ(w.TableSensors->rowCount(), 3);
    EXPECT_EQ(Cell(0, kColumnName), "left");
    EXPECT_EQ(Cell(0, kColumnPort), "/dev/ttyUSB0");
    EXPECT_EQ(Cell(0, kColumnRate), "921600");
    EXPECT_EQ(Cell(0, kColumnAddress), "3");
    EXPECT_EQ(Cell(0, kColumnState), "Not connected");
    EXPECT_EQ(Cell(1, kColumnName), "A");
    EXPECT_EQ(Cell(1, kColumnRate), "115200");
    EXPECT_EQ(Cell(2, kColumnName), "B");
    EXPECT_EQ(Cell(2, kColumnPort), "tcp://line3-gateway:4001");
    EXPECT_EQ(Cell(2, kColumnAddress), "4");
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(w.EditSensor->text().isEmpty());
    EXPECT_TRUE(w.ButtonConnect->isEnabled());

    // A name given twice, a shared line at two rates, a function's name, a rate
    // the sensor does not have: refused, the text left for mending.
    TypeSensor("A=/dev/ttyUSB2");
    TypeSensor("C=/dev/ttyUSB0@115200#5");
    TypeSensor("sqrt=/dev/ttyUSB3");
    TypeSensor("D=/dev/ttyUSB3@1234");
    ASSERT_EQ(messages.shown.size(), 4u);
    EXPECT_EQ(messages.shown[0].text, "two sensors are named A");
    EXPECT_NE(messages.shown[1].text.find("share /dev/ttyUSB0 but not its rate"),
              std::string::npos);
    EXPECT_EQ(messages.shown[2].text, "a sensor may not be called sqrt");
    EXPECT_EQ(messages.shown[3].caption, kMonitorTitle);
    EXPECT_EQ(w.EditSensor->text(), "D=/dev/ttyUSB3@1234");
    EXPECT_EQ(w.TableSensors->rowCount(), 3);

    // Remove the chosen row (Delete on the table does the same).
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    w.TableSensors->selectRow(0);
    w.TableSensors->setFocus();
    QTest::keyClick(w.TableSensors, Qt::Key_Delete);
    ASSERT_EQ(w.Sensors().size(), 2u);
    EXPECT_EQ(w.Sensors()[0].name, "A");
}

TEST_F(MonitorWindowTest, AChannelsRefusalShowsWhileTypingWithItsPosition) {
    TypeSensor("A=/dev/ttyUSB0");
    TypeSensor("B=/dev/ttyUSB1");
    w.EditChannel->setFocus();
    QTest::keyClicks(w.EditChannel, "step = A -");
    // Shown at once, before anything is pressed: the parser's message, the
    // expression and a mark under the position.
    const QString refusal = w.LabelChannelError->text();
    EXPECT_TRUE(refusal.startsWith("channel step = A -: ")) << refusal.toStdString();
    EXPECT_TRUE(refusal.endsWith("\n  A -\n     ^") || refusal.endsWith("\n  A -\n   ^"))
        << refusal.toStdString();
    EXPECT_FALSE(w.ButtonAddChannel->isEnabled());
    QTest::keyClick(w.EditChannel, Qt::Key_Return);
    EXPECT_EQ(w.ListChannels->count(), 0);

    // An unknown sensor, then the sensor it meant.
    QTest::keyClicks(w.EditChannel, " C");
    EXPECT_NE(w.LabelChannelError->text().indexOf("C"), -1);
    QTest::keyClick(w.EditChannel, Qt::Key_Backspace);
    QTest::keyClicks(w.EditChannel, "B");
    EXPECT_EQ(w.LabelChannelError->text(), "");
    EXPECT_TRUE(w.ButtonAddChannel->isEnabled());
    QTest::keyClick(w.EditChannel, Qt::Key_Return);
    ASSERT_EQ(w.ListChannels->count(), 1);
    EXPECT_EQ(w.ListChannels->item(0)->text(), "step = A - B");
    EXPECT_TRUE(w.EditChannel->text().isEmpty());

    // The name is taken now; a sensor the channel uses removed: the listed
    // channel shows its refusal, and Connect refuses it.
    QTest::keyClicks(w.EditChannel, "step = 2 * A");
    EXPECT_EQ(w.LabelChannelError->text(), "the name step is given twice");
    w.TableSensors->selectRow(1);
    w.ButtonRemove->click();
    EXPECT_NE(w.ListChannels->item(0)->toolTip().indexOf("channel step = A - B: "), -1);
    w.ButtonConnect->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text.rfind("channel step = A - B: ", 0), 0u);
    EXPECT_FALSE(w.Connected());
    w.ListChannels->setCurrentRow(0);
    w.ButtonRemoveChannel->click();
    EXPECT_TRUE(w.Channels().empty());
}

TEST_F(MonitorWindowTest, ASensorFoundBySearchJoinsTheTableWithItsRateAndAddress) {
    sim::SensorConfig c;
    c.baud = 9600;
    c.address = 1;
    ports["COM3"] = std::make_shared<sim::VirtualSensor>(c);
    w.search_ports = {"COM1", "COM3"};
    QTimer::singleShot(0, &w, [this] {
        auto* dialog = w.findChild<SearchDialog*>();
        ASSERT_NE(dialog, nullptr);
        dialog->RunSearch(false);
        // The sensor on COM3; COM1 is listed as a port that did not open.
        ASSERT_EQ(dialog->Result().found.size(), 1u);
        const auto items = dialog->ListFound->findItems("COM3", Qt::MatchStartsWith);
        ASSERT_EQ(items.size(), 1);
        dialog->ListFound->setCurrentItem(items[0]);
        dialog->ButtonUse->click();
    });
    w.ButtonSearch->click();
    ASSERT_EQ(w.Sensors().size(), 1u);
    EXPECT_EQ(w.Sensors()[0], (SensorSpec{"A", "COM3", 9600, 1}));
}

TEST_F(MonitorWindowTest, TheLegendChoosesColourVisibilityAndReadoutAndKeepsThemByName) {
    MonitorChart& chart = *w.Chart();
    chart.SetSeries({"A", "B", "d"}, {false, false, true});
    ASSERT_EQ(chart.Plot->graphCount(), 3);
    EXPECT_NE(chart.SeriesColour(0), chart.SeriesColour(1));
    // A readout for "d" alone, as a large figure.
    EXPECT_NE(w.Readouts->findChild<QLabel*>("Readout_d"), nullptr);
    EXPECT_EQ(w.Readouts->findChild<QLabel*>("Readout_A"), nullptr);

    chart.LegendColour[0]->setCurrentIndex(3);  // Red
    chart.LegendVisible[1]->click();
    chart.LegendReadout[0]->click();
    EXPECT_EQ(chart.Plot->graph(0)->pen().color(), MonitorChart::Palette()[3].second);
    EXPECT_FALSE(chart.Plot->graph(1)->visible());
    EXPECT_NE(w.Readouts->findChild<QLabel*>("Readout_A"), nullptr);

    // Rows in; a hidden series draws nothing, the others one or two points per
    // pixel column at most.
    for (int i = 0; i < 20000; ++i) {
        const double row[] = {i * 0.001, 5.0, 1.0};
        chart.Append(i * 0.001, row);
    }
    chart.Redraw();
    EXPECT_EQ(chart.Plot->graph(1)->data()->size(), 0);
    EXPECT_GT(chart.Plot->graph(0)->data()->size(), 0);
    EXPECT_LE(chart.PointsDrawn(), 2 * 3 * chart.Plot->axisRect()->width());
    // The last 10 s by default: 10 .. 20 s shown.
    EXPECT_NEAR(chart.Plot->xAxis->range().lower, 9.999, 1e-9);
    chart.SpinSeconds->setValue(4);
    chart.Redraw();
    EXPECT_NEAR(chart.Plot->xAxis->range().lower, 15.999, 1e-9);
    EXPECT_LE(chart.Trace().Size(), 4001u);

    // The next run's series: the same names keep their choices.
    chart.SetSeries({"A", "B", "e"}, {false, false, true});
    EXPECT_EQ(chart.SeriesColour(0), MonitorChart::Palette()[3].second);
    EXPECT_FALSE(chart.SeriesVisible(1));
    EXPECT_TRUE(chart.SeriesReadout(0));
    EXPECT_TRUE(chart.SeriesReadout(2));
    EXPECT_EQ(chart.Trace().Size(), 0u);
}

TEST_F(MonitorWindowTest, PublishingIsChosenByKeyboardPrefilledAndItsFieldsRefused) {
    // Unchosen, the fields wait; Alt+M chooses, Alt+U and Alt+W reach them.
    EXPECT_FALSE(w.CheckPublish->isChecked());
    EXPECT_FALSE(w.EditPublishUrl->isEnabled());
    w.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_M, Qt::AltModifier);
    // A mnemonic clicks as the mouse would, a moment later.
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.CheckPublish->isChecked(); }, 5000));
    EXPECT_TRUE(w.EditPassword->isEnabled());
    EXPECT_EQ(w.EditPassword->echoMode(), QLineEdit::Password);
    QTest::keyClick(&w, Qt::Key_U, Qt::AltModifier);
    ASSERT_EQ(QApplication::focusWidget(), w.EditPublishUrl);
    QTest::keyClicks(w.EditPublishUrl, "http://broker/plant");
    EXPECT_FALSE(w.PublishingChosen());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text,
              "Publish to MQTT: the URL must start with mqtt:// or mqtts://");

    // A password typed needs a user name in the URL.
    w.EditPublishUrl->setText("mqtt://broker/plant");
    QTest::keyClick(&w, Qt::Key_W, Qt::AltModifier);
    QTest::keyClicks(QApplication::focusWidget(), "secret");
    EXPECT_FALSE(w.PublishingChosen());
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[1].text, "a password needs a user name: mqtt://USER@HOST/PREFIX");
    w.EditPublishUrl->setText("mqtts://op@broker:8884/plant");
    auto chosen = w.PublishingChosen();
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->password, "secret");
    EXPECT_EQ(chosen->target.port, 8884);
    EXPECT_EQ(chosen->qos, 1);

    // Prefilled from the command line: the CA file and the bound go along; an
    // empty field takes the environment's password.
    PublishSettings given;
    given.target = *ParseMqttUrl("mqtts://op@broker/line");
    given.qos = 2;
    given.cafile = "/etc/plant-ca.pem";
    given.buffer_seconds = 30;
    w.SetPublishing(given);
    EXPECT_EQ(w.EditPublishUrl->text(), "mqtts://op@broker:8883/line");
    EXPECT_EQ(w.ComboQos->currentText(), "2");
    ::setenv(kMqttPasswordVariable, "from-env", 1);
    chosen = w.PublishingChosen();
    ::unsetenv(kMqttPasswordVariable);
    ASSERT_TRUE(chosen);
    EXPECT_EQ(chosen->password, "from-env");
    EXPECT_EQ(chosen->cafile, "/etc/plant-ca.pem");
    EXPECT_EQ(chosen->buffer_seconds, 30);
    EXPECT_EQ(messages.shown.size(), 2u);
}

}  // namespace
}  // namespace mk27x
