// The session's link state and the rules of its two timers: the series tick
// and the watchdog tick, with the state changes a front end renders.
#include <gtest/gtest.h>

#include "session/session.h"

#include "support/sim_backends.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

using States = std::vector<LinkState>;

class SessionTicksTest : public ::testing::Test {
protected:
    void SetUp() override {
        session.events.state_changed = [this](LinkState s) {
            states.push_back(s);
            // At Lost the link is as it was.
            if (s == LinkState::Lost) open_at_lost = session.IsOpen();
        };
    }

    testing::SimBackends sim;
    VirtualClock clock;
    SensorSession session{clock, sim.Backends()};
    States states;
    bool open_at_lost = false;
};

TEST_F(SessionTicksTest, SeriesAndStreamAreStatesOfTheConnection) {
    EXPECT_FALSE(session.WatchdogTick());  // nothing to watch
    ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
    session.BeginSeries(false);
    EXPECT_EQ(session.State(), LinkState::TimedSeries);
    EXPECT_TRUE(session.SeriesTick());
    EXPECT_EQ(session.Ring().WriteIndex, 1);
    EXPECT_FALSE(session.WatchdogTick());
    session.EndSeries();
    session.StartStream();
    EXPECT_EQ(session.State(), LinkState::Streaming);
    session.StopStream();
    session.Disconnect();
    EXPECT_EQ(states, (States{LinkState::Connected, LinkState::TimedSeries, LinkState::Connected,
                              LinkState::Streaming, LinkState::Connected, LinkState::Closed}));
}

TEST_F(SessionTicksTest, FailedSeriesTickEndsTheLinkAtTheNextWatchdogTick) {
    ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
    session.BeginSeries(false);
    sim::Faults faults;
    faults.silent_after_requests = 0;
    sim.sensor->SetFaults(faults);
    EXPECT_FALSE(session.SeriesTick());
    EXPECT_EQ(session.Ring().WriteIndex, 0);
    EXPECT_TRUE(session.WatchdogTick());
    EXPECT_EQ(states, (States{LinkState::Connected, LinkState::TimedSeries, LinkState::Lost,
                              LinkState::Closed}));
    EXPECT_TRUE(open_at_lost);
    EXPECT_FALSE(session.IsOpen());
    EXPECT_FALSE(session.WatchdogTick());  // once only
}

TEST_F(SessionTicksTest, AnAttemptWhoseReadFailedIsEndedByTheWatchdog) {
    sim::Faults faults;
    faults.silent_after_requests = 5;  // identify, then four parameter reads
    sim.sensor->SetFaults(faults);
    ASSERT_EQ(session.Connect(), ConnectOutcome::ReadFailed);
    EXPECT_EQ(session.State(), LinkState::Closed);
    EXPECT_TRUE(session.IsOpen());
    EXPECT_TRUE(session.WatchdogTick());
    EXPECT_EQ(states, (States{LinkState::Lost, LinkState::Closed}));
}

TEST(SessionOpenFailure, ThePortsKindAndReasonComeWithTheOutcome) {
    VirtualClock clock;
    PortBackends backends;  // no USB nor network; a serial port that is missing
    backends.open_serial = [](const std::string&, std::uint32_t, std::string& reason) {
        reason = "No such file or directory";
        return std::shared_ptr<ByteTransport>();
    };
    SensorSession session{clock, backends};
    auto connect = [&](const char* port) {
        session.SetPortName(port);
        return session.Connect();
    };
    EXPECT_EQ(connect("COM3").port,
              (PortOpenResult{false, PortKind::Serial, "COM3", "No such file or directory"}));
    EXPECT_EQ(connect("USB").port, (PortOpenResult{false, PortKind::Usb, "USB", ""}));
    const ConnectResult net = connect("tcp://127.0.0.1:1");
    EXPECT_EQ(net, ConnectOutcome::PortNotOpened);
    EXPECT_EQ(net.port, (PortOpenResult{false, PortKind::Network, "tcp://127.0.0.1:1",
                                        "No network ports in this program"}));
    EXPECT_EQ(session.State(), LinkState::Closed);
}

}  // namespace
}  // namespace mk27x
