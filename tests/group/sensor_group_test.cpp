// Whole groups over pseudo-terminals through the real serial backend against
// virtual sensors: several streams at once without a frame lost, two addresses
// on one line polled in turn over one open port, and each sensor's outcome
// returned.
#include "group/sensor_group.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

#include "group/group_run.h"
#include "group/group_sinks.h"
#include "pty_server.h"
#include "support/pty.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using testing::WaitFor;

// Every row's value of every column, as the front ends get them.
class Rows final : public GroupSink {
public:
    void Add(std::span<const GroupRow> batch) override {
        for (const GroupRow& r : batch) {
            values.emplace_back(r.values.begin(), r.values.end());
            times.push_back(r.time.monotonic_ns);
        }
    }
    std::vector<std::vector<double>> values;
    std::vector<std::int64_t> times;
};

std::shared_ptr<sim::VirtualSensor> Sensor(std::int32_t raw, std::uint8_t address = 1,
                                           std::uint64_t frames = 0) {
    sim::SensorConfig config;
    config.address = address;
    config.source.value = raw;
    if (frames) config.faults.stream_stop_after_frames = frames;
    return std::make_shared<sim::VirtualSensor>(config);
}

std::vector<std::unique_ptr<Channel>> Compiled(const std::vector<ChannelSpec>& specs,
                                               const std::vector<std::string>& sensors) {
    std::vector<std::unique_ptr<Channel>> channels;
    for (const ChannelSpec& s : specs) {
        ChannelError error;
        channels.push_back(Channel::Compile(s, sensors, error));
    }
    return channels;
}

// `count` sensors, each on a pty of its own, streaming `frames` frames each.
void StreamAtOnce(std::size_t count) {
    constexpr std::uint64_t kFrames = 3000;
    const std::vector<std::string> names = {"A", "B", "C"};
    std::vector<std::unique_ptr<sim::PtySensorServer>> servers;
    std::vector<SensorSpec> specs;
    for (std::size_t i = 0; i < count; ++i) {
        servers.push_back(std::make_unique<sim::PtySensorServer>(
            Sensor(4096 * static_cast<std::int32_t>(i + 1), 1, kFrames),
            sim::PtyServerOptions{.stream_rate = 4000}));
        ASSERT_TRUE(servers.back()->Start()) << servers.back()->Error();
        specs.push_back({names[i], servers.back()->SlavePath()});
    }
    std::vector<std::string> sensor_names(names.begin(), names.begin() + count);
    SensorGroup group(SystemClock::Instance(), RealPortBackends(), specs,
                      Compiled({{"d", "B - A"}}, sensor_names));
    Rows rows;
    group.Aligner().Attach(rows);
    for (const ConnectResult& o : group.Connect()) ASSERT_EQ(o, ConnectOutcome::Connected);
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(group.Mode(i), SensorMode::Stream);
    group.Start();
    EXPECT_TRUE(WaitFor([&] {
        group.Pump();
        for (std::size_t i = 0; i < count; ++i)
            if (group.SamplesReceived(i) < kFrames) return false;
        return true;
    }));
    group.Stop();
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(servers[i]->FramesSent(), kFrames);
        EXPECT_EQ(group.SamplesReceived(i), kFrames) << names[i];
        EXPECT_EQ(group.Session(i).Statistics().count, kFrames) << names[i];
    }
    // Streams at one rate: about one row per frame, and the channel from the
    // interpolated values (12.5 mm apart: 4096 raw of a 50 mm range).
    ASSERT_GT(rows.values.size(), kFrames * 9 / 10);
    // A machine too busy to keep the virtual sensors' pace leaves rows with
    // empty cells (never stale ones): the complete row nearest the middle.
    auto complete = [&](const std::vector<double>& row) {
        return std::none_of(row.begin(), row.end(), [](double v) { return std::isnan(v); });
    };
    auto at = rows.values.begin() + static_cast<std::ptrdiff_t>(rows.values.size() / 2);
    at = std::find_if(at, rows.values.end(), complete);
    ASSERT_NE(at, rows.values.end());
    const auto& middle = *at;
    EXPECT_NEAR(middle[0], 12.5, 0.01);
    EXPECT_NEAR(middle[1], 25.0, 0.01);
    EXPECT_NEAR(middle[count], 12.5, 0.01);
}

TEST(SensorGroup, TwoSensorsStreamAtOnceWithoutAFrameLost) {
    StreamAtOnce(2);
}

TEST(SensorGroup, ThreeSensorsStreamAtOnceWithoutAFrameLost) {
    StreamAtOnce(3);
}

TEST(SensorGroup, TwoAddressesOnOneLineArePolledInTurnOverOnePort) {
    auto a = Sensor(4096, 3);
    auto b = Sensor(8192, 7);
    sim::PtySensorServer server(std::vector<std::shared_ptr<sim::VirtualSensor>>{a, b});
    ASSERT_TRUE(server.Start()) << server.Error();
    // "COM"-free device path and its twin: one line.
    const std::vector<SensorSpec> specs = {{"A", server.SlavePath(), 115200, 3},
                                           {"B", server.SlavePath(), 115200, 7}};
    int opened = 0;
    PortBackends backends = RealPortBackends();
    backends.open_serial = [&, real = backends.open_serial](
                               const std::string& name, std::uint32_t baud, std::string& reason) {
        ++opened;
        return real(name, baud, reason);
    };
    SensorGroup group(SystemClock::Instance(), backends, specs,
                      Compiled({{"step", "B - A"}}, {"A", "B"}),
                      {.poll_rate_hz = 50, .aligner = {}});
    Rows rows;
    group.Aligner().Attach(rows);
    for (const ConnectResult& o : group.Connect()) ASSERT_EQ(o, ConnectOutcome::Connected);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(group.Mode(0), SensorMode::Poll);
    EXPECT_EQ(group.Mode(1), SensorMode::Poll);
    group.Start();
    EXPECT_TRUE(WaitFor([&] {
        group.Pump();
        return rows.values.size() >= 10;
    }));
    EXPECT_EQ(group.Status(0).state, SensorState::Polled);
    group.Stop();
    EXPECT_FALSE(a->Streaming());
    EXPECT_FALSE(b->Streaming());
    // Each measured in turn: their measure requests differ by at most one.
    const auto served_a = a->RequestsServed(), served_b = b->RequestsServed();
    EXPECT_LE(served_a > served_b ? served_a - served_b : served_b - served_a, 1u);
    EXPECT_GE(group.SamplesReceived(0), 10u);
    for (std::size_t r = 1; r < rows.values.size(); ++r) {
        EXPECT_NEAR(rows.values[r][0], 12.5, 1e-3) << r;
        EXPECT_NEAR(rows.values[r][1], 25.0, 1e-3) << r;
        EXPECT_NEAR(rows.values[r][2], 12.5, 1e-3) << r;
    }
    // 50 cycles a second.
    const double seconds = static_cast<double>(rows.times.back() - rows.times.front()) / 1e9;
    EXPECT_NEAR(seconds / static_cast<double>(rows.times.size() - 1), 0.02, 0.01);
}

TEST(SensorGroup, EachSensorsOutcomeCarriesItsPortsReason) {
    sim::PtySensorServer server(Sensor(4096));
    ASSERT_TRUE(server.Start()) << server.Error();
    SensorGroup group(SystemClock::Instance(), RealPortBackends(),
                      {{"A", server.SlavePath()}, {"B", "/dev/mk27x-no-such-port"}}, {});
    const auto outcomes = group.Connect();
    EXPECT_EQ(outcomes[0], ConnectOutcome::Connected);
    EXPECT_EQ(outcomes[1], ConnectOutcome::PortNotOpened);
    EXPECT_EQ(outcomes[1].port.reason, "No such file or directory");
}

TEST(SensorGroup, APolledSensorFallingSilentIsLostQuietlyAndRejoinsWhileTheOtherGoesOn) {
    auto silent = Sensor(4096, 1);
    sim::Faults faults;
    faults.silent_after_requests = 40;  // identified and read (30), then ten cycles
    silent->SetFaults(faults);
    auto other = Sensor(8192, 2);
    sim::PtySensorServer server(std::vector<std::shared_ptr<sim::VirtualSensor>>{silent, other});
    ASSERT_TRUE(server.Start()) << server.Error();
    SensorGroup group(SystemClock::Instance(), RealPortBackends(),
                      {{"A", server.SlavePath(), 115200, 1}, {"B", server.SlavePath(), 115200, 2}},
                      Compiled({{"d", "B - A"}}, {"A", "B"}), {.poll_rate_hz = 50, .aligner = {}});
    Rows rows;
    group.Aligner().Attach(rows);
    for (const ConnectResult& o : group.Connect()) ASSERT_EQ(o, ConnectOutcome::Connected);
    GroupRun run(group, SystemClock::Instance());
    run.Start();
    std::vector<GroupEvent> events;
    auto until = [&](auto done) {
        return WaitFor([&] {
            run.Tick();
            for (const GroupEvent& e : run.TakeEvents()) events.push_back(e);
            return done();
        });
    };
    ASSERT_TRUE(until([&] { return run.Status(0).state == SensorState::Lost; }));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, GroupEvent::Kind::Lost);
    EXPECT_EQ(events[0].sensor, 0u);
    // B goes on alone: rows with A and the channel empty.
    const std::size_t at_loss = rows.values.size();
    ASSERT_TRUE(until([&] { return rows.values.size() >= at_loss + 50; }));
    EXPECT_TRUE(std::isnan(rows.values.back()[0]));
    EXPECT_NEAR(rows.values.back()[1], 25.0, 1e-3);
    EXPECT_TRUE(std::isnan(rows.values.back()[2]));
    silent->SetFaults({});
    ASSERT_TRUE(until([&] { return run.Status(0).state == SensorState::Polled; }));
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].kind, GroupEvent::Kind::Back);
    EXPECT_GT(events[1].lost_s, 0.0);
    const std::size_t at_return = rows.values.size();
    ASSERT_TRUE(until(
        [&] { return rows.values.size() > at_return + 10 && !std::isnan(rows.values.back()[0]); }));
    EXPECT_NEAR(rows.values.back()[2], 12.5, 1e-3);
    run.Stop();
    EXPECT_EQ(run.Status(0).losses, 1u);
    EXPECT_EQ(run.FirstLost(), -1);
}

// Misses now and then, never three in a row: every answer clears the count,
// so the sensor is never taken for lost.
TEST(SensorGroup, SporadicMissesOfAPolledSensorAreForgivenByItsAnswers) {
    auto flaky = Sensor(4096, 1);
    auto other = Sensor(8192, 2);
    sim::PtySensorServer server(std::vector<std::shared_ptr<sim::VirtualSensor>>{flaky, other});
    ASSERT_TRUE(server.Start()) << server.Error();
    SensorGroup group(SystemClock::Instance(), RealPortBackends(),
                      {{"A", server.SlavePath(), 115200, 1}, {"B", server.SlavePath(), 115200, 2}},
                      {}, {.poll_rate_hz = 100, .aligner = {}});
    for (const ConnectResult& o : group.Connect()) ASSERT_EQ(o, ConnectOutcome::Connected);
    sim::Faults faults;
    faults.miss_every_request = 3;  // two answers between misses
    flaky->SetFaults(faults);
    const std::uint64_t served = flaky->RequestsServed();
    GroupRun run(group, SystemClock::Instance());
    run.Start();
    bool lost = false;
    // Six misses: twice what marks a sensor lost if the answers did not count.
    EXPECT_TRUE(WaitFor([&] {
        run.Tick();
        lost = lost || run.Status(0).state == SensorState::Lost;
        return lost || flaky->RequestsServed() - served >= 12;
    }));
    EXPECT_FALSE(lost);
    run.Stop();
}

TEST(SensorGroup, APolledSensorSilentAtConnectIsLostFromTheStartAndJoinsWithItsIdentity) {
    auto late = Sensor(4096, 1);
    sim::Faults silent;
    silent.silent_after_requests = 0;
    late->SetFaults(silent);
    sim::SensorConfig config;
    config.address = 2;
    config.identity.serial = 777;
    auto other = std::make_shared<sim::VirtualSensor>(config);
    sim::PtySensorServer server(std::vector<std::shared_ptr<sim::VirtualSensor>>{late, other});
    ASSERT_TRUE(server.Start()) << server.Error();
    SensorGroup group(SystemClock::Instance(), RealPortBackends(),
                      {{"A", server.SlavePath(), 115200, 1}, {"B", server.SlavePath(), 115200, 2}},
                      {}, {.poll_rate_hz = 50, .aligner = {}});
    const auto outcomes = group.Connect();
    ASSERT_NE(outcomes[0], ConnectOutcome::Connected);
    ASSERT_EQ(outcomes[1], ConnectOutcome::Connected);
    GroupRun run(group, SystemClock::Instance());
    run.Start();
    std::vector<GroupEvent> events;
    auto until = [&](auto done) {
        return WaitFor([&] {
            run.Tick();
            for (const GroupEvent& e : run.TakeEvents()) events.push_back(e);
            return done();
        });
    };
    ASSERT_TRUE(until([&] { return !events.empty(); }));
    EXPECT_EQ(events[0].kind, GroupEvent::Kind::Lost);
    EXPECT_EQ(run.Status(0).state, SensorState::Lost);
    EXPECT_EQ(run.Status(1).state, SensorState::Polled);
    late->SetFaults({});
    ASSERT_TRUE(until([&] { return run.Status(0).state == SensorState::Polled; }));
    EXPECT_EQ(events.back().kind, GroupEvent::Kind::Back);
    // Whatever answered first is the sensor from now on: the default serial.
    EXPECT_EQ(group.Identity(0).SerialNumber, sim::SensorConfig{}.identity.serial);
    EXPECT_EQ(group.Identity(1).SerialNumber, 777u);
    run.Stop();
    EXPECT_EQ(run.Status(0).losses, 1u);
}

}  // namespace
}  // namespace mk27x
