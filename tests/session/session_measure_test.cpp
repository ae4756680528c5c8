// The session's measuring and teach operations against the in-process virtual
// sensor on a virtual clock: the teach request's bytes and pauses, its reply
// left unexamined, a sensor that falls silent after it, and the timed series
// into the ring.
#include <gtest/gtest.h>

#include "session/session.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SessionMeasureTest : public ::testing::Test {
protected:
    void SetUp() override {
        session.events.parameters_replaced = [this] { ++replaced; };
        ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
        replaced = 0;
        Wire().ClearLog();
        clock.ClearPauses();
    }

    sim::InProcessTransport& Wire() { return *sim.opened.back(); }

    testing::SimBackends sim;
    VirtualClock clock;
    SensorSession session{clock, sim.Backends()};
    int replaced = 0;
};

TEST_F(SessionMeasureTest, TeachSendsItsRequestThenReadsEverythingBack) {
    // What a read-all alone sends and waits, for comparison.
    ASSERT_TRUE(session.ReadAllParameters());
    const Bytes read_all = Wire().WrittenBytes();
    const std::vector<unsigned> read_all_pauses = clock.Pauses();
    Wire().ClearLog();
    clock.ClearPauses();
    replaced = 0;

    sim::MeasurementSource source;
    source.value = 0x1234;
    sim.sensor->SetSource(source);
    EXPECT_TRUE(session.Teach());

    // Address, 5 ms, 0x8C, the 2-byte reply; then the read-all, byte for byte.
    Bytes expected{0x01, 0x8C};
    expected.insert(expected.end(), read_all.begin(), read_all.end());
    EXPECT_EQ(Wire().WrittenBytes(), expected);
    std::vector<unsigned> pauses{5};
    pauses.insert(pauses.end(), read_all_pauses.begin(), read_all_pauses.end());
    EXPECT_EQ(clock.Pauses(), pauses);
    EXPECT_EQ(Wire().QueuedBytes(), 0u);  // the reply was taken off the line

    // The sensor's taught Etalon reaches the working set.
    EXPECT_EQ(session.Values()[9], 0x1234);
    EXPECT_EQ(session.Values(), session.ReadBack());
    EXPECT_EQ(replaced, 1);
    EXPECT_TRUE(session.LinkAlive());
}

TEST_F(SessionMeasureTest, TeachReplyIsNotExamined) {
    for (std::size_t length : {std::size_t{0}, std::size_t{1}}) {
        sim::Faults faults;
        faults.short_reply_command = 0x8C;
        faults.short_reply_length = length;
        sim.sensor->SetFaults(faults);
        EXPECT_TRUE(session.Teach()) << length;
    }
}

TEST_F(SessionMeasureTest, SensorFallingSilentDuringTheReadEndsTeachQuietly) {
    const ParameterSet before = session.Values();
    sim::Faults faults;
    faults.silent_after_requests = 5;  // teach and four register reads
    sim.sensor->SetFaults(faults);

    EXPECT_FALSE(session.Teach());
    EXPECT_FALSE(session.LinkAlive());
    EXPECT_EQ(session.Values(), before);
    EXPECT_EQ(replaced, 0);
}

TEST_F(SessionMeasureTest, SeriesSamplesGoIntoTheRingOnlyWhenMeasured) {
    session.Ring().Append(7.0f);
    session.Ring().ReadPosition = 1;
    session.BeginSeries(true);
    EXPECT_EQ(session.Ring().WriteIndex, 0);
    EXPECT_EQ(session.Ring().ReadPosition, 0);
    EXPECT_EQ(session.LastDistance(), 0.0f);
    EXPECT_TRUE(session.MeasureDevMode());

    sim::MeasurementSource source;
    source.value = -0x2000;  // half the 50 mm range, negative
    sim.sensor->SetSource(source);
    EXPECT_TRUE(session.MeasureSample());
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x8D}));
    EXPECT_EQ(session.Ring().WriteIndex, 1);
    EXPECT_EQ(session.Ring().At(0), -25.0f);

    // A reply one byte short: nothing stored, LinkAlive cleared.
    sim::Faults faults;
    faults.short_reply_command = 0x8D;
    sim.sensor->SetFaults(faults);
    EXPECT_FALSE(session.MeasureSample());
    EXPECT_EQ(session.Ring().WriteIndex, 1);
    EXPECT_EQ(session.LastDistance(), -25.0f);
    EXPECT_FALSE(session.LinkAlive());

    session.BeginSeries(false);
    sim.sensor->SetFaults({});
    Wire().ClearLog();
    EXPECT_TRUE(session.MeasureSample());
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x86}));
}

}  // namespace
}  // namespace mk27x
