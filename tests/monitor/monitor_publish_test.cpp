// The monitor window's runs published to a real Mosquitto, offscreen, with
// virtual sensors on pseudo-terminals: publishing chosen by keyboard, every
// sensor's samples and a channel's on the subscriber, the summary in the
// status line; a refused password stops the run with the broker's reason.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <fstream>

#include "monitor/monitor_window.h"
#include "pty_server.h"
#include "publish/publish_fixture.h"
#include "support/pty.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using testing::Batches;
using testing::MosquittoBroker;
using testing::ReceivedBatch;
using testing::Subscriber;

std::shared_ptr<sim::VirtualSensor> Sensor(std::int32_t raw, std::uint16_t serial) {
    sim::SensorConfig config;
    config.identity.serial = serial;
    config.source.value = raw;
    return std::make_shared<sim::VirtualSensor>(config);
}

// Every value of the batches is `mm`, and their seq counts from 0 without a hole.
void ExpectBatches(const std::vector<ReceivedBatch>& batches, double mm) {
    for (std::size_t i = 0; i < batches.size(); ++i) {
        EXPECT_EQ(batches[i].seq, i);
        for (const double v : batches[i].mm) ASSERT_EQ(v, mm) << "batch " << i;
    }
}

class MonitorPublishTest : public testing::PublishTest {
protected:
    MonitorPublishTest()
        : w(messages, files, SystemClock::Instance(), RealPortBackends(), nullptr) {
        w.show();
    }

    // Two streaming sensors (12.5 mm and 25 mm) and the channel step = B - A,
    // connected; publishing chosen by keyboard with `url` and `password`.
    void Prepare(const std::string& url, const QString& password) {
        ASSERT_TRUE(a.Start()) << a.Error();
        ASSERT_TRUE(b.Start()) << b.Error();
        ASSERT_TRUE(w.AddSensor({"A", a.SlavePath()}));
        ASSERT_TRUE(w.AddSensor({"B", b.SlavePath()}));
        ASSERT_TRUE(w.AddChannel("step = B - A"));
        w.ButtonConnect->click();
        ASSERT_TRUE(w.Connected());
        w.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
        QTest::keyClick(&w, Qt::Key_M, Qt::AltModifier);
        ASSERT_TRUE(QTest::qWaitFor([&] { return w.CheckPublish->isChecked(); }, 5000));
        QTest::keyClick(&w, Qt::Key_U, Qt::AltModifier);
        QTest::keyClicks(QApplication::focusWidget(), QString::fromStdString(url));
        QTest::keyClick(&w, Qt::Key_W, Qt::AltModifier);
        QTest::keyClicks(QApplication::focusWidget(), password);
        ASSERT_EQ(w.EditPassword->text(), password);
    }
    std::string Url(int port, const std::string& user = "") const {
        return "mqtt://" + user + "127.0.0.1:" + std::to_string(port) + "/plant";
    }
    template <typename Predicate>
    bool RunUntil(Predicate done) {
        return testing::WaitFor([&] {
            QApplication::processEvents();
            return done();
        });
    }

    sim::PtySensorServer a{Sensor(4096, 1001), {.stream_rate = 1000}};
    sim::PtySensorServer b{Sensor(8192, 1002), {.stream_rate = 1000}};
    RecordingMessageBox messages;
    RecordingFileDialog files;
    MonitorWindow w;
};

TEST_F(MonitorPublishTest, ARunIsPublishedSensorsAndChannelsAndSummedUpAtItsEnd) {
    MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "plant/#");
    ASSERT_TRUE(sub.Connect());
    Prepare(Url(broker.Port()), "");

    // Recording starts the run, so that the CSV holds every row of it.
    const std::string csv = dir + "/run.csv";
    files.answers.push_back(csv);
    QTest::keyClick(&w, Qt::Key_O, Qt::AltModifier);
    ASSERT_TRUE(QTest::qWaitFor([&] { return w.Running(); }, 5000));
    ASSERT_NE(w.Publishing(), nullptr);
    EXPECT_FALSE(w.CheckPublish->isEnabled());
    const QString url = QString::fromStdString(Url(broker.Port()));
    EXPECT_TRUE(RunUntil([&] { return w.RowsShown() >= 300 && w.Publishing()->Connected() == 3; }));
    QTest::keyClick(&w, Qt::Key_F5, Qt::ShiftModifier);
    ASSERT_FALSE(w.Running());
    EXPECT_EQ(w.Publishing(), nullptr);
    EXPECT_TRUE(messages.shown.empty());
    ASSERT_TRUE(testing::WaitForLast(sub, "plant/A/status", "offline"));
    ASSERT_TRUE(testing::WaitForLast(sub, "plant/B/status", "offline"));

    // Every sample the sensors brought, once and in order; the channel's rows.
    const auto batches_a = Batches(sub, "plant/A/samples");
    const auto batches_b = Batches(sub, "plant/B/samples");
    const auto step = Batches(sub, "plant/channels/step/samples");
    ExpectBatches(batches_a, 12.5);
    ExpectBatches(batches_b, 25.0);
    ExpectBatches(step, 12.5);
    EXPECT_EQ(SampleCount(batches_a), w.Group()->SamplesReceived(0));
    EXPECT_EQ(SampleCount(batches_b), w.Group()->SamplesReceived(1));
    // The channel: every row with a value (both sensors had samples near), as
    // the CSV has them.
    std::ifstream in(csv, std::ios::binary);
    std::string line;
    std::size_t with_step = 0;
    while (std::getline(in, line))
        if (line.ends_with(",12.500\r")) ++with_step;
    EXPECT_GE(with_step, 250u);
    EXPECT_EQ(SampleCount(step), with_step);
    // The identities stay on the broker for those who come later.
    Subscriber late(broker.Port(), "plant/+/identity");
    ASSERT_TRUE(late.Connect());
    ASSERT_TRUE(late.WaitFor([](const auto& m) { return m.size() == 2; }));
    const auto identity = late.On("plant/B/identity");
    ASSERT_EQ(identity.size(), 1u);
    EXPECT_TRUE(identity[0].retain);
    EXPECT_NE(identity[0].payload.find("\"serial\": 1002"), std::string::npos);

    const std::size_t sent = SampleCount(batches_a) + SampleCount(batches_b) + SampleCount(step);
    EXPECT_TRUE(w.LabelStatus->text().contains(QString(" (%1 samples) to %2.").arg(sent).arg(url)))
        << w.LabelStatus->text().toStdString();
    EXPECT_TRUE(w.LabelStatus->text().startsWith(QString::fromStdString(csv) + ": "));
    EXPECT_TRUE(w.CheckPublish->isEnabled());
}

TEST_F(MonitorPublishTest, ARefusedPasswordStopsTheRunWithTheBrokersReason) {
    const std::string passwd = dir + "/passwd";
    ASSERT_EQ(testing::RunQuietly({"mosquitto_passwd", "-c", "-b", passwd, "op", "right"}), 0);
    MosquittoBroker broker(dir, "allow_anonymous false\npassword_file " + passwd + "\n");
    ASSERT_TRUE(broker.Start());
    Prepare(Url(broker.Port(), "op@"), "wrong");

    w.ButtonStart->click();
    EXPECT_TRUE(RunUntil([&] { return !w.Running(); }));
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text,
              "The broker refused the connection: Connection Refused: not authorised.");
    EXPECT_EQ(w.LabelStatus->text(), "Stopped: the broker refused the connection.");
    EXPECT_TRUE(w.Connected());

    // The right password, typed again, is the one sent.
    w.EditPassword->clear();
    QTest::keyClicks(w.EditPassword, "right");
    w.ButtonStart->click();
    ASSERT_TRUE(w.Running());
    EXPECT_TRUE(RunUntil([&] { return w.Publishing()->Connected() == 3; }));
    w.ButtonStop->click();
    EXPECT_EQ(messages.shown.size(), 1u);
}

// No broker listens: the status line says so, never "Publishing to", and the
// end tells what was not delivered.
TEST_F(MonitorPublishTest, AnAbsentBrokerIsToldInTheStatusLine) {
    Prepare(Url(testing::FreeLoopbackPort()), "");
    w.ButtonStart->click();
    ASSERT_TRUE(w.Running());
    EXPECT_TRUE(RunUntil([&] {
        return w.LabelStatus->text().contains(
            "Broker unreachable: connection refused; 0 batches queued.");
    })) << w.LabelStatus->text().toStdString();
    EXPECT_TRUE(RunUntil([&] { return w.RowsShown() >= 300; }));
    EXPECT_FALSE(w.LabelStatus->text().contains("Publishing to"));
    w.ButtonStop->click();
    EXPECT_TRUE(w.LabelStatus->text().contains(" not delivered."))
        << w.LabelStatus->text().toStdString();
    EXPECT_FALSE(w.LabelStatus->text().contains("Broker unreachable"));
}

}  // namespace
}  // namespace mk27x
