// Sensor search: over real serial ports on pseudo-terminals against several
// virtual sensors (different rates and addresses, one silent, one port missing),
// and in-process for the exact attempts, the cancel and the time-outs.
#include "session/sensor_search.h"

#include <gtest/gtest.h>

#include <map>

#include "in_process_transport.h"
#include "pty_server.h"
#include "support/virtual_clock.h"
#include "transport/serial_posix.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

sim::SensorConfig Sensor(std::uint8_t address, std::uint32_t baud, std::uint16_t serial) {
    sim::SensorConfig config;
    config.address = address;
    config.baud = baud;
    config.identity.serial = serial;
    return config;
}

TEST(SearchTimeoutsTest, WireTimeOfTheIdentityReplyPlusSlack) {
    // 16 bytes x 11 bits: 176 bits; 18.3 ms at 9600, 1.5 ms at 115200.
    EXPECT_EQ(SearchTimeouts(9600).total_constant, 10u + 19u);
    EXPECT_EQ(SearchTimeouts(115200).total_constant, 10u + 2u);
    EXPECT_EQ(SearchTimeouts(921600).total_constant, 10u + 1u);
    EXPECT_EQ(SearchTimeouts(9600).total_multiplier, 0u);
    EXPECT_EQ(SearchTimeouts(9600).interval, 10u);
    EXPECT_EQ(SearchTimeouts(115200, 40).total_constant, 42u);
    EXPECT_LT(SearchTimeouts(9600).TotalFor(16), kSerialTimeouts.TotalFor(16));
}

TEST(SearchPlanTest, QuickAndFull) {
    const SearchPlan quick = QuickSearchPlan({"COM1", "USB"});
    EXPECT_EQ(quick.Attempts(), 2u * 5u);
    const SearchPlan full = FullSearchPlan({"COM1"});
    EXPECT_EQ(full.first_address, 1);
    EXPECT_EQ(full.last_address, 127);
    EXPECT_EQ(full.Attempts(), 127u * 5u);
    EXPECT_EQ(full.rates.front(), 115200u);
}

TEST(SearchTextTest, LineAndJson) {
    const FoundSensor s{"/dev/pts/3", 9600, 5, SensorIdentity{27, 2, 1234, 100, 50}};
    EXPECT_EQ(FoundSensorText(s),
              "/dev/pts/3 9600 baud, address 5: model 27, release 2, serial number 1234, base "
              "100 mm, range 50 mm");
    EXPECT_EQ(FoundSensorJson(s),
              "{\"port\": \"/dev/pts/3\", \"baud\": 9600, \"address\": 5, \"model\": 27, "
              "\"release\": 2, \"serial\": 1234, \"base_mm\": 100, \"range_mm\": 50}");
}

// --- over pseudo-terminals -------------------------------------------------------

class PtySearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* s : {&a_, &b_, &silent_}) ASSERT_TRUE(s->Start()) << s->Error();
    }

    std::shared_ptr<sim::VirtualSensor> sensor_a_ =
        std::make_shared<sim::VirtualSensor>(Sensor(1, 115200, 111));
    std::shared_ptr<sim::VirtualSensor> sensor_b_ =
        std::make_shared<sim::VirtualSensor>(Sensor(5, 9600, 222));
    std::shared_ptr<sim::VirtualSensor> sensor_silent_ = [] {
        auto s = std::make_shared<sim::VirtualSensor>(Sensor(1, 115200, 333));
        sim::Faults f;
        f.silent_after_requests = 0;
        s->SetFaults(f);
        return s;
    }();
    sim::PtySensorServer a_{sensor_a_};
    sim::PtySensorServer b_{sensor_b_};
    sim::PtySensorServer silent_{sensor_silent_};
    const std::string missing_ = "/dev/mk27x-no-such-port";
};

TEST_F(PtySearchTest, FindsExactlyTheLiveSensorsAndLeavesThemAlone) {
    const auto before_a = sensor_a_->Registers();
    const auto before_b = sensor_b_->Registers();
    SensorSearch search(SystemClock::Instance(), RealSearchOpener());
    std::vector<FoundSensor> reported;
    std::vector<FailedPort> failed;
    std::size_t last_done = 0, last_total = 0;
    search.events.found = [&](const FoundSensor& s) { reported.push_back(s); };
    search.events.port_failed = [&](const FailedPort& f) { failed.push_back(f); };
    search.events.progress = [&](std::size_t d, std::size_t t) {
        EXPECT_GE(d, last_done);
        last_done = d;
        last_total = t;
    };

    SearchPlan plan =
        QuickSearchPlan({a_.SlavePath(), missing_, b_.SlavePath(), silent_.SlavePath()});
    plan.last_address = 5;
    plan.serial_slack_ms = 40;  // a loaded test machine; the bench measures the default
    const SearchResult result = search.Run(plan);

    EXPECT_FALSE(result.cancelled);
    const std::vector<FoundSensor> expected{
        {a_.SlavePath(), 115200, 1, SensorIdentity{27, 2, 111, 100, 50}},
        {b_.SlavePath(), 9600, 5, SensorIdentity{27, 2, 222, 100, 50}},
    };
    EXPECT_EQ(result.found, expected);
    EXPECT_EQ(reported, expected);
    ASSERT_EQ(result.failed.size(), 1u);
    EXPECT_EQ(result.failed[0].port, missing_);
    EXPECT_EQ(result.failed[0].reason, "No such file or directory");
    EXPECT_EQ(failed, result.failed);
    EXPECT_EQ(last_done, 4u * 5u * 5u);
    EXPECT_EQ(last_total, last_done);

    // Only Identify was sent: nothing changed, and each sensor served exactly
    // the requests it answered.
    EXPECT_EQ(sensor_a_->Registers(), before_a);
    EXPECT_EQ(sensor_b_->Registers(), before_b);
    EXPECT_EQ(sensor_a_->RequestsServed(), 1u);
    EXPECT_EQ(sensor_b_->RequestsServed(), 1u);
    // Every port is closed again: each opens at once for someone else.
    for (const auto* s : {&a_, &b_, &silent_})
        EXPECT_NE(PosixSerialPort::Open(s->SlavePath(), 115200), nullptr) << s->SlavePath();
}

TEST_F(PtySearchTest, QuickSearchOnlyTriesAddressOne) {
    SensorSearch search(SystemClock::Instance(), RealSearchOpener());
    SearchPlan plan = QuickSearchPlan({a_.SlavePath(), b_.SlavePath()});
    plan.serial_slack_ms = 40;
    const SearchResult result = search.Run(plan);
    ASSERT_EQ(result.found.size(), 1u);
    EXPECT_EQ(result.found[0].port, a_.SlavePath());
    EXPECT_EQ(sensor_b_->RequestsServed(), 0u);
}

// --- in process --------------------------------------------------------------------

struct InProcessPorts {
    // Ports by name; a name not listed cannot be opened.
    std::map<std::string, std::shared_ptr<sim::VirtualSensor>> sensors;
    std::vector<std::shared_ptr<sim::InProcessTransport>> opened;
    std::vector<ReadTimeouts> timeouts;

    SearchOpener Opener() {
        return [this](const std::string& port, std::uint32_t baud, ReadTimeouts t,
                      std::string&) -> std::shared_ptr<ByteTransport> {
            const auto it = sensors.find(port);
            if (it == sensors.end()) return nullptr;
            auto transport =
                std::make_shared<sim::InProcessTransport>(it->second, sim::InProcessOptions{baud});
            opened.push_back(transport);
            timeouts.push_back(t);
            return transport;
        };
    }
};

TEST(InProcessSearchTest, SendsIdentifyOnlyAtEveryRateAndAddress) {
    InProcessPorts ports;
    ports.sensors["COM1"] = std::make_shared<sim::VirtualSensor>(Sensor(2, 460800, 7));
    VirtualClock clock;
    SensorSearch search(clock, ports.Opener());
    SearchPlan plan = QuickSearchPlan({"COM1"});
    plan.last_address = 3;
    const SearchResult result = search.Run(plan);

    ASSERT_EQ(result.found.size(), 1u);
    EXPECT_EQ(result.found[0].baud, 460800u);
    EXPECT_EQ(result.found[0].address, 2);
    // One open per rate, in the order tried, each with the rate's time-outs.
    ASSERT_EQ(ports.opened.size(), 5u);
    for (std::size_t r = 0; r < 5; ++r) {
        EXPECT_EQ(ports.opened[r]->BaudRate(), kSearchRates[r]);
        EXPECT_EQ(ports.timeouts[r].total_constant, SearchTimeouts(kSearchRates[r]).total_constant);
        EXPECT_EQ(ports.opened[r]->WrittenBytes(),
                  (std::vector<std::uint8_t>{0x01, 0x81, 0x02, 0x81, 0x03, 0x81}));
        EXPECT_EQ(ports.opened[r].use_count(), 1) << "port left open";
        EXPECT_TRUE(ports.opened[r]->BreakSet());
    }
    // The address byte, 5 ms, the command: the only pause per attempt.
    EXPECT_EQ(clock.Pauses(), std::vector<unsigned>(15, 5));
}

TEST(InProcessSearchTest, UsbGetsTheLongerSlack) {
    InProcessPorts ports;
    ports.sensors["USB"] = std::make_shared<sim::VirtualSensor>();
    VirtualClock clock;
    SensorSearch search(clock, ports.Opener());
    search.Run(QuickSearchPlan({"USB"}));
    ASSERT_FALSE(ports.timeouts.empty());
    EXPECT_EQ(ports.timeouts[0].total_constant, kSearchUsbSlackMs + 2);
}

TEST(InProcessSearchTest, CancelEndsAfterTheAttemptInProgressAndClosesThePort) {
    InProcessPorts ports;
    ports.sensors["COM1"] = std::make_shared<sim::VirtualSensor>(Sensor(100, 115200, 7));
    ports.sensors["COM2"] = std::make_shared<sim::VirtualSensor>();
    VirtualClock clock;
    SensorSearch search(clock, ports.Opener());
    std::size_t attempts = 0;
    search.events.progress = [&](std::size_t done, std::size_t) {
        attempts = done;
        if (done == 10) search.Cancel();
    };
    const SearchResult result = search.Run(FullSearchPlan({"COM1", "COM2"}));

    EXPECT_TRUE(result.cancelled);
    EXPECT_TRUE(result.found.empty());
    EXPECT_EQ(attempts, 10u);
    ASSERT_EQ(ports.opened.size(), 1u);  // COM2 never opened
    EXPECT_EQ(ports.opened[0]->WrittenBytes().size(), 20u);
    EXPECT_EQ(ports.opened[0].use_count(), 1);

    // A new run starts afresh.
    search.events.progress = nullptr;
    SearchPlan plan = QuickSearchPlan({"COM2"});
    EXPECT_EQ(search.Run(plan).found.size(), 1u);
}

TEST(InProcessSearchTest, UnopenablePortIsReportedSkippedAndCounted) {
    InProcessPorts ports;
    ports.sensors["COM2"] = std::make_shared<sim::VirtualSensor>();
    VirtualClock clock;
    SensorSearch search(clock, ports.Opener());
    std::vector<std::size_t> done;
    search.events.progress = [&](std::size_t d, std::size_t) { done.push_back(d); };
    const SearchResult result = search.Run(QuickSearchPlan({"COM1", "COM2"}));
    ASSERT_EQ(result.failed.size(), 1u);
    EXPECT_EQ(result.failed[0].port, "COM1");
    EXPECT_EQ(result.failed[0].reason, "");  // the opener gave no reason
    ASSERT_FALSE(done.empty());
    EXPECT_EQ(done.front(), 5u);  // COM1's five attempts counted at once
    EXPECT_EQ(done.back(), 10u);
    EXPECT_EQ(result.found.size(), 1u);
}

}  // namespace
}  // namespace mk27x
