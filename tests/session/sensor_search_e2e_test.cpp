// Sensor search over real serial ports on pseudo-terminals against several
// virtual sensors (different rates and addresses, one silent, one port
// missing).
#include <gtest/gtest.h>

#include "pty_server.h"
#include "session/sensor_search.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"
#include "transport/serial_posix.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using testing::SensorAt;

class PtySearchTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* s : {&a_, &b_, &silent_}) ASSERT_TRUE(s->Start()) << s->Error();
    }

    std::shared_ptr<sim::VirtualSensor> sensor_a_ =
        std::make_shared<sim::VirtualSensor>(SensorAt(1, 115200, 111));
    std::shared_ptr<sim::VirtualSensor> sensor_b_ =
        std::make_shared<sim::VirtualSensor>(SensorAt(5, 9600, 222));
    std::shared_ptr<sim::VirtualSensor> sensor_silent_ = [] {
        auto s = std::make_shared<sim::VirtualSensor>(SensorAt(1, 115200, 333));
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

}  // namespace
}  // namespace mk27x
