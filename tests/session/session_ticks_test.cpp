// The session's link state and the rules of its two timers: the series tick
// and the watchdog tick, with the state changes a front end renders.
#include <gtest/gtest.h>

#include "session/session.h"
#include "support/recording_message_box.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

using Shown = RecordingMessageBox::Shown;
using States = std::vector<LinkState>;

class SessionTicksTest : public ::testing::Test {
protected:
    void SetUp() override {
        session.events.state_changed = [this](LinkState s) {
            states.push_back(s);
            // At Lost the link is as it was, and nothing is shown yet.
            if (s == LinkState::Lost) {
                open_at_lost = session.IsOpen();
                shown_at_lost = messages.shown.size();
            }
        };
    }

    testing::SimBackends sim;
    VirtualClock clock;
    RecordingMessageBox messages;
    SensorSession session{messages, clock, sim.Backends()};
    States states;
    bool open_at_lost = false;
    std::size_t shown_at_lost = 99;
};

const Shown kNoAnswer{"No answer.", "MK271-SP", MB_OK | MB_ICONSTOP};

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
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SessionTicksTest, FailedSeriesTickEndsTheLinkAtTheNextWatchdogTick) {
    ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
    session.BeginSeries(false);
    sim::Faults faults;
    faults.silent_after_requests = 0;
    sim.sensor->SetFaults(faults);
    EXPECT_FALSE(session.SeriesTick());
    EXPECT_EQ(session.Ring().WriteIndex, 0);
    EXPECT_TRUE(messages.shown.empty());  // the series tick shows nothing
    EXPECT_TRUE(session.WatchdogTick());
    EXPECT_EQ(states, (States{LinkState::Connected, LinkState::TimedSeries, LinkState::Lost,
                              LinkState::Closed}));
    EXPECT_TRUE(open_at_lost);
    EXPECT_EQ(shown_at_lost, 0u);
    EXPECT_EQ(messages.shown, std::vector<Shown>{kNoAnswer});
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
    EXPECT_EQ(messages.shown, std::vector<Shown>{kNoAnswer});
}

TEST(SessionOpenFailure, ThePortsReasonIsShownByTheSession) {
    VirtualClock clock;
    RecordingMessageBox messages;
    SensorSession session{messages, clock, PortBackends{}};  // nothing opens
    session.SetPortName("COM3");
    EXPECT_EQ(session.Connect(), ConnectOutcome::PortNotOpened);
    session.SetPortName("USB");
    EXPECT_EQ(session.Connect(), ConnectOutcome::PortNotOpened);
    session.SetPortName("tcp://127.0.0.1:1");
    EXPECT_EQ(session.Connect(), ConnectOutcome::PortNotOpened);
    EXPECT_EQ(
        messages.shown,
        (std::vector<Shown>{{"Порт COM3 отсутсвует.\rИли занят другим приложением.", "Zozuvi-dada",
                             MB_OK | MB_ICONSTOP},
                            {"Error opening USB.\rPort already in use or not available.",
                             "MK270_TestStend", MB_OK | MB_ICONEXCLAMATION},
                            {"Порт tcp://127.0.0.1:1 отсутсвует.\rИли занят другим приложением."
                             "\rNo network ports in this program.",
                             "Zozuvi-dada", MB_OK | MB_ICONSTOP}}));
    EXPECT_EQ(session.State(), LinkState::Closed);
}

}  // namespace
}  // namespace mk27x
