// `mk27x stream --publish` end to end against the virtual sensor and a real
// Mosquitto: the published samples are the CSV's, the will of a killed
// program, refused credentials, the password's sources and the usage errors.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "cli/cli.h"
#include "cli/cli_publish.h"
#include "pty_server.h"
#include "publish/publish_fixture.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using testing::Batches;
using testing::MosquittoBroker;
using testing::ReceivedMessage;
using testing::Subscriber;

class PublishCli : public testing::PublishTest {
protected:
    void SetUp() override {
        testing::PublishTest::SetUp();
        if (IsSkipped()) return;
        ASSERT_TRUE(server.Start()) << server.Error();
    }

    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", server.SlavePath()});
        out.str("");
        err.str("");
        CommandLineIo io{out, err, SystemClock::Instance()};
        return RunCommandLine(args, io);
    }
    static std::string Url(int port, const std::string& user = "") {
        return "mqtt://" + user + "127.0.0.1:" + std::to_string(port) + "/plant";
    }

    sim::PtySensorServer server{std::make_shared<sim::VirtualSensor>()};
    std::ostringstream out, err;
};

TEST_F(PublishCli, TheStreamIsPublishedAsItsCsvHasIt) {
    MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "plant/#");
    ASSERT_TRUE(sub.Connect());
    const std::string csv = dir + "/s.csv";
    ASSERT_EQ(Run({"stream", "--seconds", "1", "--csv", csv, "--publish", Url(broker.Port())}), 0)
        << err.str();

    std::ifstream in(csv);
    std::vector<std::vector<std::string>> rows;
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> cells;
        std::istringstream row(line);
        for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
        rows.push_back(cells);
    }
    ASSERT_GT(rows.size(), 1000u);
    const std::size_t n = rows.size() - 1;
    ASSERT_TRUE(testing::WaitForLast(sub, "plant/1234/status", "offline"));
    const auto batches = Batches(sub, "plant/1234/samples");
    std::size_t k = 1;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        ASSERT_EQ(batches[b].seq, b);
        EXPECT_EQ(batches[b].t0, rows[k][1]);
        const double t0 = std::stod(rows[k][2]);
        for (std::size_t i = 0; i < batches[b].mm.size(); ++i, ++k) {
            ASSERT_LE(k, n);
            ASSERT_DOUBLE_EQ(batches[b].mm[i], std::stod(rows[k][3])) << "row " << k;
            ASSERT_NEAR(batches[b].seconds[i], std::stod(rows[k][2]) - t0, 2.5e-6) << "row " << k;
        }
    }
    EXPECT_EQ(k, n + 1);
    EXPECT_EQ(err.str(), "mk27x: published " + std::to_string(batches.size()) + " batches (" +
                             std::to_string(n) + " samples) to " + Url(broker.Port()) + "\n");
    const auto identity = nlohmann::json::parse(sub.On("plant/1234/identity").at(0).payload);
    EXPECT_EQ(identity.at("port"), server.SlavePath());
    EXPECT_EQ(sub.On("plant/1234/status").back().payload, "offline");
}

TEST_F(PublishCli, MonitorPublishesEverySensorUnderItsNameAndEveryChannel) {
    MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "plant/#");
    ASSERT_TRUE(sub.Connect());
    CommandLineIo io{out, err, SystemClock::Instance()};
    ASSERT_EQ(RunCommandLine({"monitor", "--simulator", "--sensor", "A=a", "--sensor", "B=b",
                              "--channel", "step=A - B", "--channel", "ratio=A / (A - A)",
                              "--seconds", "1", "--publish", Url(broker.Port())},
                             io),
              0)
        << err.str();
    for (const char* sensor : {"A", "B"}) {
        const std::string level = std::string("plant/") + sensor;
        ASSERT_TRUE(testing::WaitForLast(sub, level + "/status", "offline")) << sensor;
        EXPECT_FALSE(Batches(sub, level + "/samples").empty()) << sensor;
        EXPECT_FALSE(sub.On(level + "/identity").empty()) << sensor;
    }
    ASSERT_TRUE(sub.WaitFor([](const std::vector<ReceivedMessage>& m) {
        return std::any_of(m.begin(), m.end(), [](const ReceivedMessage& r) {
            return r.topic == "plant/channels/step/samples";
        });
    }));
    const auto step = Batches(sub, "plant/channels/step/samples");
    for (std::size_t b = 0; b < step.size(); ++b) EXPECT_EQ(step[b].seq, b);
    // A division by zero: an empty value, never published as a number; any
    // batch of it still JSON.
    const auto ratio = sub.On("plant/channels/ratio/samples");
    for (const ReceivedMessage& m : ratio)
        for (const auto& v : nlohmann::json::parse(m.payload).at("mm")) ASSERT_TRUE(v.is_null());
    // Later subscribers get the definitions and the statistics with their time
    // (identity, status and statistics of each sensor, two definitions).
    Subscriber late(broker.Port(), "plant/#");
    ASSERT_TRUE(late.Connect());
    ASSERT_TRUE(late.WaitFor([](const std::vector<ReceivedMessage>& m) { return m.size() >= 8; }));
    EXPECT_EQ(late.On("plant/channels/step/definition").at(0).payload,
              "{\"expression\": \"A - B\", \"unit\": \"mm\"}");
    EXPECT_EQ(late.On("plant/channels/ratio/definition").at(0).payload,
              "{\"expression\": \"A / (A - A)\", \"unit\": null}");
    const auto statistics = nlohmann::json::parse(late.On("plant/A/statistics").at(0).payload);
    EXPECT_EQ(statistics.at("unit"), "mm");
    EXPECT_EQ(statistics.at("time").get<std::string>().size(), 27u);
}

TEST_F(PublishCli, ABrokerNeverReachedIsToldOnceAndEndsWithStatus1AndTheCount) {
    const std::string url = Url(testing::FreeLoopbackPort());  // nothing listens there
    EXPECT_EQ(Run({"stream", "--seconds", "1", "--publish", url}), 1);
    const std::string text = err.str();
    const std::string told = "mk27x: broker unreachable: connection refused; 0 batches queued\n";
    EXPECT_EQ(text.find(told), 0u) << text;
    EXPECT_EQ(text.find("unreachable", told.size()), std::string::npos) << text;
    EXPECT_NE(text.find("\nmk27x: published 0 batches (0 samples) to " + url + "; "),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(" samples) not delivered\n"), std::string::npos) << text;
}

TEST_F(PublishCli, TheWillSaysOfflineWhenTheProgramIsKilled) {
    MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "plant/#");
    ASSERT_TRUE(sub.Connect());
    std::vector<std::string> args = {MK27X_CLI_PATH, "--simulator", "stream",          "--seconds",
                                     "60",           "--publish",   Url(broker.Port())};
    pid_t pid = testing::Spawn(args, testing::Output::kErrors);
    ASSERT_GT(pid, 0);
    const bool streaming = sub.WaitFor([](const std::vector<ReceivedMessage>& m) {
        return std::any_of(m.begin(), m.end(), [](const ReceivedMessage& r) {
            return r.topic == "plant/1234/samples";
        });
    });
    testing::EndProcess(pid, SIGKILL);
    ASSERT_TRUE(streaming);
    EXPECT_EQ(sub.On("plant/1234/status").at(0).payload, "online");
    ASSERT_TRUE(sub.WaitFor([](const std::vector<ReceivedMessage>& m) {
        return m.back().topic == "plant/1234/status" && m.back().payload == "offline";
    }));
    Subscriber late(broker.Port(), "plant/1234/status");
    ASSERT_TRUE(late.Connect());
    ASSERT_TRUE(late.WaitFor([](const std::vector<ReceivedMessage>& m) { return !m.empty(); }));
    EXPECT_EQ(late.Messages()[0].payload, "offline");
    EXPECT_TRUE(late.Messages()[0].retain);
}

TEST_F(PublishCli, RefusedCredentialsEndTheStreamWithStatus1) {
    const std::string passwd = dir + "/passwd";
    ASSERT_EQ(testing::RunQuietly({"mosquitto_passwd", "-c", "-b", passwd, "op", "right"}), 0);
    MosquittoBroker broker(dir, "allow_anonymous false\npassword_file " + passwd + "\n");
    ASSERT_TRUE(broker.Start());
    ::setenv(kMqttPasswordVariable, "wrong", 1);
    const int refused = Run({"stream", "--seconds", "30", "--publish", Url(broker.Port(), "op@")});
    EXPECT_EQ(refused, 1);
    EXPECT_NE(err.str().find("mk27x: the broker refused the connection: Connection Refused: not "
                             "authorised.\n"),
              std::string::npos)
        << err.str();
    // The file wins over the environment.
    std::ofstream(dir + "/pw") << "right\n";
    EXPECT_EQ(Run({"stream", "--seconds", "0.3", "--publish", Url(broker.Port(), "op@"),
                   "--mqtt-password-file", dir + "/pw"}),
              0)
        << err.str();
    ::unsetenv(kMqttPasswordVariable);
    EXPECT_EQ(Run({"stream", "--seconds", "1", "--publish", Url(1), "--mqtt-password", "x"}), 2);
    EXPECT_NE(err.str().find("no password on the command line: use MK27X_MQTT_PASSWORD or "
                             "--mqtt-password-file"),
              std::string::npos);
    EXPECT_EQ(Run({"stream", "--seconds", "1", "--publish", "mqtt://h"}), 2);
    EXPECT_EQ(Run({"stream", "--seconds", "1", "--publish", Url(1), "--mqtt-qos", "3"}), 2);
    EXPECT_EQ(Run({"stream", "--seconds", "1", "--mqtt-qos", "0"}), 2);
    EXPECT_EQ(Run({"measure", "--count", "1", "--publish", Url(1)}), 2);
    EXPECT_EQ(Run({"stream", "--seconds", "1", "--publish", Url(1), "--mqtt-password-file",
                   dir + "/none"}),
              2);
}

}  // namespace
}  // namespace mk27x
