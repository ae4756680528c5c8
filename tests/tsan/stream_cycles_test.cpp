// The session's stream, switched on and off many times against the in-process
// virtual sensor, with the stream reader decoding on its own thread. Built and
// run under ThreadSanitizer (no Qt, whose libraries are not instrumented): the
// reader's flags, the ring, LastDistance and the distance event must stay
// race-free, every frame the sensor sends must be decoded once and in order, the
// readout must end on the newest value, and no reader may outlive its session.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "in_process_transport.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "protocol/codec.h"
#include "session/session.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t kRangeMm = 50;

// The distance of the sensor's n-th sample under the ramp source of Rig.
float Sample(std::uint64_t n) {
    return DistanceMm(static_cast<std::uint16_t>(n % 8192), kRangeMm);
}

sim::Faults StreamStopsAfter(std::uint64_t frames) {
    sim::Faults faults;
    faults.stream_stop_after_frames = frames;
    return faults;
}

// A connected session against a virtual sensor whose n-th sample is n (mod 8192).
struct Rig {
    explicit Rig(sim::Faults faults = {}, std::chrono::milliseconds short_read_wait = 1ms) {
        sim::SensorConfig config;
        config.identity.range_mm = kRangeMm;
        config.source.kind = sim::MeasurementSource::Kind::kRamp;
        config.source.value = 0;
        config.source.amplitude = 8192;
        config.source.period = 8192;
        config.faults = faults;
        sensor = std::make_shared<sim::VirtualSensor>(config);
        wire = std::make_shared<sim::InProcessTransport>(
            sensor, sim::InProcessOptions{.baud = 115200, .short_read_wait = short_read_wait});
        session = std::make_unique<SensorSession>(
            clock,
            PortBackends{[this](const std::string&, std::uint32_t, std::string&) { return wire; },
                         {}});
        session->SetPortName("COM1");
        session->events.distance = [this](float mm) {
            last_event.store(mm);
            events.fetch_add(1);
        };
        session->Start();
    }

    // Waits (real time, generously) until `done` holds; false on the time-out.
    template <typename Done>
    static bool WaitFor(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

    VirtualClock clock;
    std::shared_ptr<sim::VirtualSensor> sensor;
    std::shared_ptr<sim::InProcessTransport> wire;
    std::unique_ptr<SensorSession> session;
    std::atomic<float> last_event{-1.0f};
    std::atomic<std::uint64_t> events{0};
};

TEST(StreamCycles, ThousandStartsAndStopsThroughTheSession) {
    Rig rig;
    SensorSession& session = *rig.session;
    ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);

    std::uint64_t recorded = 0;
    bool any_wrapped = false;
    for (int cycle = 0; cycle < 1000; ++cycle) {
        session.StartStream();
        ASSERT_TRUE(Rig::WaitFor([&] { return session.Ring().WriteIndex.load() >= 2; }));
        // The window thread shows the readout meanwhile.
        (void)DistanceReadout(session.LastDistance());
        session.StopStream();
        ASSERT_TRUE(rig.sensor->Streaming() == false);

        // Once stopped, the recording is the ring's (its newest 10000 samples
        // when the reader ran far ahead), and the readout shows its newest one.
        const SampleRing& ring = session.Ring();
        const std::uint16_t write_index = ring.WriteIndex.load();
        const bool wrapped = ring.Wrapped.load();
        const std::uint16_t count = wrapped ? SampleRing::kCapacity : write_index;
        const std::uint16_t first = wrapped ? write_index : 0;
        auto at = [&](std::uint16_t k) { return ring.At((first + k) % SampleRing::kCapacity); };
        ASSERT_GE(count, 2u);
        EXPECT_EQ(session.LastDistance(), at(count - 1)) << "cycle " << cycle;
        for (std::uint16_t k = 1; k < count; ++k)
            ASSERT_NE(at(k), at(k - 1)) << "a frame twice, cycle " << cycle;
        any_wrapped = any_wrapped || wrapped;
        recorded += count;
    }
    session.Shutdown();
    EXPECT_TRUE(session.Reader().Done());
    // Every frame decoded went into exactly one recording. (The reader counts
    // a frame just after recording it, so the count is compared once it has
    // been joined.)
    if (!any_wrapped) {
        EXPECT_EQ(session.Reader().FramesDecoded(), recorded);
    }
    EXPECT_EQ(rig.events.load(), session.Reader().FramesDecoded());
    EXPECT_GE(session.Reader().FramesDecoded(), 2000u);
    EXPECT_GT(rig.events.load(), 0u);
}

TEST(StreamCycles, EveryFrameSentIsDecodedOnceInOrderAndTheReadoutEndsOnTheNewest) {
    constexpr std::uint64_t kSent = 6000;
    Rig rig{StreamStopsAfter(kSent)};
    SensorSession& session = *rig.session;
    ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);

    session.StartStream();
    ASSERT_TRUE(Rig::WaitFor([&] { return rig.events.load() >= kSent; }));
    // The sensor has fallen silent; the reader must not make up frames.
    std::this_thread::sleep_for(50ms);
    session.StopStream();

    EXPECT_EQ(session.Reader().FramesDecoded(), kSent);
    EXPECT_EQ(rig.events.load(), kSent);
    const SampleRing& ring = session.Ring();
    ASSERT_EQ(ring.WriteIndex.load(), kSent);
    for (std::uint16_t i = 0; i < kSent; ++i) ASSERT_EQ(ring.At(i), Sample(i)) << "sample " << i;
    EXPECT_EQ(session.LastDistance(), Sample(kSent - 1));
    EXPECT_EQ(rig.last_event.load(), Sample(kSent - 1));
    EXPECT_EQ(DistanceReadout(session.LastDistance()), DistanceReadout(Sample(kSent - 1)));

    session.Shutdown();
    EXPECT_TRUE(session.Reader().Done());
}

TEST(StreamCycles, NoReaderOutlivesItsSession) {
    for (int round = 0; round < 40; ++round) {
        // Every other sensor sends ten frames and then nothing, while a read
        // waits a minute for the rest of its chunk: the shutdown must cut that
        // read short, and what it brought belongs to no recording.
        const bool silent = round % 2 == 1;
        Rig rig{silent ? StreamStopsAfter(10) : sim::Faults{}, silent ? 60s : 1ms};
        SensorSession& session = *rig.session;
        ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
        session.StartStream();
        if (silent)
            std::this_thread::sleep_for(5ms);
        else
            ASSERT_TRUE(Rig::WaitFor([&] { return session.Reader().FramesDecoded() >= 3u; }));
        const auto before_shutdown = std::chrono::steady_clock::now();
        session.Shutdown();
        EXPECT_LT(std::chrono::steady_clock::now() - before_shutdown, 30s) << "round " << round;
        EXPECT_TRUE(session.Reader().Done()) << "round " << round;
        EXPECT_FALSE(session.Reader().Streaming());
        EXPECT_FALSE(session.IsOpen());
        EXPECT_FALSE(rig.sensor->Streaming()) << "the sensor was not told to stop, round " << round;
        const std::uint64_t frames = session.Reader().FramesDecoded();
        const std::uint64_t events = rig.events.load();
        if (silent) {
            EXPECT_EQ(frames, 0u) << "round " << round;
        }
        std::this_thread::sleep_for(2ms);
        EXPECT_EQ(session.Reader().FramesDecoded(), frames);
        EXPECT_EQ(rig.events.load(), events);
        // A second shutdown (the destructor's) finds nothing left to do.
        session.Shutdown();
        rig.session.reset();
    }
}

}  // namespace
}  // namespace mk27x
