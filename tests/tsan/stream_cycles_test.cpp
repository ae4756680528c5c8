// Streaming switched on and off many times against the virtual sensor, with the
// reader thread decoding in between. Built and run under ThreadSanitizer: the
// flags, the ring, LastDistance and the readout hand-over must stay race-free.
#include <gtest/gtest.h>

#include <thread>

#include "in_process_transport.h"
#include "link/stream_reader.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;

TEST(StreamCycles, ThousandStartsAndStopsAgainstTheVirtualSensor) {
    auto sensor = std::make_shared<sim::VirtualSensor>(sim::SensorConfig{});
    auto wire = std::make_shared<sim::InProcessTransport>(
        sensor, sim::InProcessOptions{.baud = 115200, .short_read_wait = 1ms});
    RecordingMessageBox messages;
    VirtualClock clock;
    SensorPort port{messages, {[&](const std::string&, std::uint32_t) { return wire; }, {}}};
    port.PortName = "COM1";
    ASSERT_TRUE(port.Open());
    SensorProtocol protocol{port, clock, messages};
    ASSERT_TRUE(protocol.IdentifySensor());

    SampleRing ring;
    StreamReader reader{protocol, ring};
    // The window's hand-over: at most one readout update pending at a time.
    std::atomic<bool> readout_pending{false};
    std::atomic<int> readouts{0};
    reader.frame_decoded = [&] {
        if (!readout_pending.exchange(true)) readouts.fetch_add(1);
    };
    reader.Resume();

    for (int cycle = 0; cycle < 1000; ++cycle) {
        ring.Reset();
        protocol.LastDistance = 0.0f;
        protocol.StartStream();
        reader.StartStreaming();
        const std::uint64_t before = reader.FramesDecoded();
        while (reader.FramesDecoded() < before + 2) std::this_thread::yield();
        // The window thread takes the readout meanwhile.
        if (readout_pending.exchange(false)) (void)DistanceReadout(protocol.LastDistance);

        reader.StopStreaming();
        protocol.StopStream();
        // The chart takes the ring after the stop.
        float sum = 0;
        for (std::uint16_t i = 0; i < ring.WriteIndex.load(); ++i) sum += ring.At(i);
        (void)sum;
        ASSERT_GE(protocol.LinkAlive.load(), 0);
    }
    reader.Stop();
    EXPECT_TRUE(reader.Done());
    EXPECT_GE(reader.FramesDecoded(), 2000u);
    EXPECT_GT(readouts.load(), 0);
}

}  // namespace
}  // namespace mk27x
