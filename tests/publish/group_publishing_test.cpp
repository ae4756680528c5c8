// A group's polled sensor silent at the start, on a real Mosquitto: "lost", no
// identity, still "lost" after a cut of the link, "online" with its identity.
#include "publish/group_publishing.h"

#include <gtest/gtest.h>

#include "pty_server.h"
#include "publish_fixture.h"
#include "support/pty.h"
#include "transport/port_backends.h"

namespace mk27x {
namespace {

class GroupStatus : public testing::PublishTest {};
TEST_F(GroupStatus, ALateSensorIsLostWithoutIdentityThenOnlineWithItsOwn) {
    testing::MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    testing::TcpGate gate(broker.Port());
    gate.Open();
    testing::Subscriber sub(broker.Port(), "plant/#");
    ASSERT_TRUE(sub.Connect());
    sim::SensorConfig config;
    auto late = std::make_shared<sim::VirtualSensor>(config);
    sim::Faults silent;
    silent.silent_after_requests = 0;
    late->SetFaults(silent);
    config.address = 2;
    sim::PtySensorServer server({late, std::make_shared<sim::VirtualSensor>(config)});
    ASSERT_TRUE(server.Start()) << server.Error();
    SensorGroup group(SystemClock::Instance(), RealPortBackends(),
                      {{"A", server.SlavePath(), 115200, 1}, {"B", server.SlavePath(), 115200, 2}},
                      {}, {.poll_rate_hz = 50, .aligner = {}});
    ASSERT_EQ(group.Connect()[1], ConnectOutcome::Connected);
    GroupPublishing publishing(group, Settings(gate.Port()));
    publishing.SetStatisticsExtra(1, R"({"judgements": {"ok": 3}})");
    GroupRun run(group, SystemClock::Instance(), &publishing);
    run.Start();
    auto last_is = [&](const std::string& topic, const std::string& payload) {
        return testing::WaitFor([&] {
            run.Tick();
            const auto m = sub.On(topic);
            return !m.empty() && (payload.empty() || m.back().payload == payload);
        });
    };
    ASSERT_TRUE(last_is("plant/A/status", "lost") && last_is("plant/B/identity", ""));
    gate.Close();  // the broker's will says "offline", the reconnection "lost"
    ASSERT_TRUE(last_is("plant/A/status", "offline"));
    gate.Open();
    ASSERT_TRUE(last_is("plant/A/status", "lost"));
    EXPECT_TRUE(sub.On("plant/A/identity").empty());
    late->SetFaults({});
    ASSERT_TRUE(last_is("plant/A/status", "online") && last_is("plant/A/identity", ""));
    run.Stop();
    EXPECT_FALSE(publishing.Finish().lost);
    ASSERT_TRUE(testing::WaitForLast(sub, "plant/B/status", "offline"));
    const auto identity = nlohmann::json::parse(sub.On("plant/A/identity").at(0).payload);
    EXPECT_EQ(identity.at("serial"), config.identity.serial);
    const auto statistics = nlohmann::json::parse(sub.On("plant/B/statistics").back().payload);
    EXPECT_EQ(statistics.at("judgements").at("ok"), 3);
}

}  // namespace
}  // namespace mk27x
