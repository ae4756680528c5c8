// Whole runs of the monitor window over pseudo-terminals through the real
// serial backend against virtual sensors, offscreen: connect, a channel typed
// (a refusal shown, then a good one), start by recording, stop, the CSV's
// columns and rows, the statistics; a channel added between runs; two
// addresses on one line polled.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>
#include <filesystem>
#include <fstream>

#include "monitor/monitor_chart.h"
#include "monitor/monitor_window.h"
#include "pty_server.h"
#include "support/pty.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

namespace fs = std::filesystem;

std::shared_ptr<sim::VirtualSensor> Sensor(std::int32_t raw, std::uint8_t address = 1,
                                           std::uint16_t serial = 1234) {
    sim::SensorConfig config;
    config.address = address;
    config.identity.serial = serial;
    config.source.value = raw;
    return std::make_shared<sim::VirtualSensor>(config);
}

class MonitorRunTest : public ::testing::Test {
protected:
    MonitorRunTest() : w(messages, files, SystemClock::Instance(), RealPortBackends(), nullptr) {
        w.show();
    }
    ~MonitorRunTest() override { fs::remove_all(dir); }

    // Lets the window's timer run until `done`.
    template <typename Predicate>
    bool RunUntil(Predicate done) {
        return testing::WaitFor([&] {
            QApplication::processEvents();
            return done();
        });
    }
    QString State(int row) const { return w.TableSensors->item(row, kColumnState)->text(); }
    QString Value(int row) const { return w.TableSensors->item(row, kColumnValue)->text(); }

    RecordingMessageBox messages;
    RecordingFileDialog files;
    MonitorWindow w;
    fs::path dir = fs::temp_directory_path() / ("mk27x_monitor_" + std::to_string(::getpid()));
};

TEST_F(MonitorRunTest, ConnectAChannelRecordStopAndTheStatistics) {
    // 12.5 mm and 25 mm: 4096 and 8192 raw of a 50 mm range.
    sim::PtySensorServer a(Sensor(4096, 1, 1001), {.stream_rate = 4000});
    sim::PtySensorServer b(Sensor(8192, 1, 1002), {.stream_rate = 4000});
    ASSERT_TRUE(a.Start()) << a.Error();
    ASSERT_TRUE(b.Start()) << b.Error();
    ASSERT_TRUE(w.AddSensor({"A", a.SlavePath()}));
    ASSERT_TRUE(w.AddSensor({"B", b.SlavePath()}));

    w.ButtonConnect->click();
    ASSERT_TRUE(w.Connected());
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_EQ(State(0), "Connected");
    EXPECT_NE(w.TableSensors->item(1, kColumnIdentity)->text().indexOf("serial number 1002"), -1);
    EXPECT_FALSE(w.ButtonAdd->isEnabled());
    EXPECT_FALSE(w.ButtonConnect->isEnabled());

    // A channel typed while connected: refused at once, then taken.
    w.EditChannel->setFocus();
    QTest::keyClicks(w.EditChannel, "step = B - * A");
    EXPECT_NE(w.LabelChannelError->text().indexOf("^"), -1);
    for (int i = 0; i < 4; ++i) QTest::keyClick(w.EditChannel, Qt::Key_Backspace);
    QTest::keyClicks(w.EditChannel, "A");
    EXPECT_EQ(w.LabelChannelError->text(), "");
    QTest::keyClick(w.EditChannel, Qt::Key_Return);
    ASSERT_EQ(w.Channels().size(), 1u);

    // Record: the file chosen, the run started with it.
    fs::create_directories(dir);
    const std::string csv = (dir / "run.csv").string();
    files.answers.push_back(csv);
    w.ButtonRecord->click();
    ASSERT_EQ(files.asked.size(), 1u);
    EXPECT_EQ(files.asked[0].kind, RecordingFileDialog::Kind::Save);
    EXPECT_EQ(files.asked[0].options.default_extension, "csv");
    ASSERT_TRUE(w.Running());
    EXPECT_TRUE(w.Recording());
    EXPECT_EQ(State(0), "Streaming");
    EXPECT_FALSE(w.ButtonStart->isEnabled());
    EXPECT_FALSE(w.ButtonAddChannel->isEnabled());
    EXPECT_TRUE(RunUntil([&] { return w.RowsShown() >= 2000 && Value(1) == "25.000 mm"; }));
    EXPECT_EQ(Value(0), "12.500 mm");
    auto* readout = w.Readouts->findChild<QLabel*>("Readout_step");
    ASSERT_NE(readout, nullptr);
    EXPECT_TRUE(RunUntil([&] { return readout->text() == "12.500 mm"; }));
    EXPECT_EQ(w.Chart()->SeriesNames(), (QStringList{"A", "B", "step"}));
    EXPECT_GT(w.Chart()->RedrawCount(), 0);

    w.ButtonStop->click();
    EXPECT_FALSE(w.Running());
    EXPECT_FALSE(w.Recording());
    EXPECT_EQ(State(0), "Connected");
    EXPECT_TRUE(messages.shown.empty());

    std::ifstream in(csv, std::ios::binary);
    std::string line;
    ASSERT_TRUE(std::getline(in, line));
    EXPECT_EQ(line, "index,time,seconds,A,B,step\r");
    std::size_t rows = 0;
    std::string middle;
    while (std::getline(in, line)) {
        if (++rows == 1000) middle = line;
    }
    EXPECT_GE(rows, 2000u);
    EXPECT_LE(rows, w.RowsShown());
    ASSERT_FALSE(middle.empty());
    EXPECT_EQ(middle.substr(0, 4), "999,");
    EXPECT_TRUE(middle.ends_with(",12.500,25.000,12.500\r")) << middle;

    // The statistics of every column, in a box of their own.
    w.ButtonStatistics->click();
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].caption, "Statistics");
    for (const char* column : {"A:\r", "B:\r", "step:\r"})
        EXPECT_NE(messages.shown[0].text.find(column), std::string::npos) << column;

    // A channel added between runs is computed in the next one.
    ASSERT_TRUE(w.AddChannel("total = A + B"));
    w.ButtonStart->click();
    ASSERT_TRUE(w.Running());
    EXPECT_EQ(w.Chart()->SeriesNames(), (QStringList{"A", "B", "step", "total"}));
    EXPECT_TRUE(RunUntil([&] { return w.Chart()->Trace().Last(3) == 37.5; }));
    w.ButtonStop->click();

    w.ButtonDisconnect->click();
    EXPECT_FALSE(w.Connected());
    EXPECT_EQ(State(1), "Not connected");
    EXPECT_TRUE(w.ButtonAdd->isEnabled());
    EXPECT_TRUE(messages.shown.size() == 1u);
}

TEST_F(MonitorRunTest, TwoAddressesOnOneLineArePolledAndASensorThatFailsIsNamed) {
    auto a = Sensor(4096, 3);
    auto b = Sensor(8192, 7);
    sim::PtySensorServer line(std::vector<std::shared_ptr<sim::VirtualSensor>>{a, b});
    ASSERT_TRUE(line.Start()) << line.Error();
    ASSERT_TRUE(w.AddSensor({"A", line.SlavePath(), 115200, 3}));
    ASSERT_TRUE(w.AddSensor({"B", line.SlavePath(), 115200, 7}));
    ASSERT_TRUE(w.AddSensor({"C", "/dev/mk27x-no-such-port"}));

    // C does not open: nothing connects, the table and the message say which.
    w.ButtonConnect->click();
    EXPECT_FALSE(w.Connected());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text.rfind("C: ", 0), 0u);
    EXPECT_EQ(State(0), "Answered");
    EXPECT_EQ(State(2), "Port not opened");

    w.TableSensors->selectRow(2);
    w.ButtonRemove->click();
    w.ButtonConnect->click();
    ASSERT_TRUE(w.Connected());
    w.ButtonStart->click();
    EXPECT_EQ(State(0), "Polled");
    EXPECT_EQ(State(1), "Polled");
    EXPECT_TRUE(RunUntil([&] { return w.RowsShown() >= 10 && Value(1) == "25.000 mm"; }));
    w.ButtonStop->click();
    EXPECT_FALSE(a->Streaming());
    EXPECT_FALSE(b->Streaming());
    EXPECT_EQ(messages.shown.size(), 1u);
}

TEST_F(MonitorRunTest, ASensorFallingSilentIsRetriedWithoutABoxAndRejoins) {
    auto silent = Sensor(4096, 1);
    sim::Faults faults;
    faults.silent_after_requests = 40;  // identified and read (30), then ten cycles
    silent->SetFaults(faults);
    auto other = Sensor(8192, 2);
    sim::PtySensorServer line(std::vector<std::shared_ptr<sim::VirtualSensor>>{silent, other});
    ASSERT_TRUE(line.Start()) << line.Error();
    ASSERT_TRUE(w.AddSensor({"A", line.SlavePath(), 115200, 1}));
    ASSERT_TRUE(w.AddSensor({"B", line.SlavePath(), 115200, 2}));
    w.ButtonConnect->click();
    ASSERT_TRUE(w.Connected());
    w.ButtonStart->click();
    EXPECT_TRUE(RunUntil([&] { return State(0) == "Lost, retrying"; }));
    EXPECT_EQ(w.LabelStatus->text(), "A: No answer; retrying.");
    EXPECT_TRUE(RunUntil([&] { return Value(0) == "-" && Value(1) == "25.000 mm"; }));
    silent->SetFaults({});
    EXPECT_TRUE(RunUntil([&] { return State(0) == "Polled" && Value(0) == "12.500 mm"; }));
    EXPECT_TRUE(w.LabelStatus->text().startsWith("A: back after "))
        << w.LabelStatus->text().toStdString();
    EXPECT_TRUE(w.Running());
    EXPECT_TRUE(messages.shown.empty());
    // After the stop: the last values stay, the status line no longer says it runs.
    w.ButtonStop->click();
    EXPECT_EQ(Value(1), "25.000 mm");
    EXPECT_TRUE(w.LabelStatus->text().startsWith("Stopped after "))
        << w.LabelStatus->text().toStdString();
    // Values by name: a sensor removed and another added show none of the last run's.
    w.ButtonDisconnect->click();
    w.TableSensors->selectRow(0);
    w.ButtonRemoveClick();
    ASSERT_TRUE(w.AddSensor({"C", "/dev/mk27x-no-such-port"}));
    EXPECT_EQ(Value(0), "25.000 mm");
    EXPECT_EQ(Value(1), "");
}

}  // namespace
}  // namespace mk27x
