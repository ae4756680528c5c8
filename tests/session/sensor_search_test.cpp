// Sensor search in process: the exact attempts, the cancel and the time-outs
// (over pseudo-terminals: sensor_search_e2e_test.cpp).
#include "session/sensor_search.h"

#include <gtest/gtest.h>

#include <map>

#include "in_process_transport.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using testing::SensorAt;

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
    ports.sensors["COM1"] = std::make_shared<sim::VirtualSensor>(SensorAt(2, 460800, 7));
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
    ports.sensors["COM1"] = std::make_shared<sim::VirtualSensor>(SensorAt(100, 115200, 7));
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
