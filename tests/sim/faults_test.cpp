// Fault injection of the virtual sensor.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "virtual_sensor.h"

namespace mk27x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The frame rule of the program's stream reader, written out here to check
// what a reader makes of the injected garbage: a byte whose tag (bits 4-6)
// differs from the previous byte's restarts the frame; four bytes in a row with
// one tag make a frame.
std::vector<std::uint16_t> DecodeFrames(const Bytes& bytes) {
    std::vector<std::uint16_t> frames;
    std::optional<int> tag;
    int index = 0;
    std::uint16_t value = 0;
    for (std::uint8_t b : bytes) {
        const int t = b & 0x70;
        if (t != tag) {
            tag = t;
            index = 0;
            value = 0;
        }
        value |= static_cast<std::uint16_t>((b & 0x0F) << (4 * index));
        if (++index == 4) {
            frames.push_back(value);
            index = 0;
            value = 0;
        }
    }
    return frames;
}

Faults SilentAfter(std::uint32_t n) {
    Faults f;
    f.silent_after_requests = n;
    return f;
}

Faults ShortReply(std::uint8_t command, std::optional<std::size_t> length = std::nullopt) {
    Faults f;
    f.short_reply_command = command;
    f.short_reply_length = length;
    return f;
}

SensorConfig WithFaults(const Faults& faults, std::int32_t value = 8192) {
    SensorConfig config;
    config.faults = faults;
    config.source.value = value;
    return config;
}

TEST(SensorFaults, SilentAfterNRequestsSwallowsTheRest) {
    VirtualSensor sensor(WithFaults(SilentAfter(2)));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x82, 0x88, 0x80}), (Bytes{0x84, 0x8F}));
    EXPECT_TRUE(sensor.Feed(Bytes{0x07, 0x81}).empty());  // for another sensor: not counted
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x86}).size(), 4u);
    // The third request: no reply, and a write has no effect.
    EXPECT_TRUE(sensor.Feed(Bytes{0x01, 0x83, 0x88, 0x80, 0x80, 0x80}).empty());
    EXPECT_TRUE(sensor.Feed(Bytes{0x01, 0x81}).empty());
    EXPECT_EQ(sensor.Register(0x08), 0xF4);
    EXPECT_EQ(sensor.RequestsServed(), 2u);

    // Setting the faults again restarts the count; clearing them revives the sensor.
    sensor.SetFaults(SilentAfter(1));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x81}).size(), 16u);
    EXPECT_TRUE(sensor.Feed(Bytes{0x01, 0x81}).empty());
    sensor.SetFaults({});
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x81}).size(), 16u);
}

TEST(SensorFaults, SilentSensorStopsStreaming) {
    VirtualSensor sensor(WithFaults(SilentAfter(1)));
    sensor.Feed(Bytes{0x01, 0x87});
    Bytes out;
    EXPECT_EQ(sensor.ProduceStream(out, 2), 2u);
    sensor.Feed(Bytes{0x01, 0x81});  // the swallowed request
    EXPECT_EQ(sensor.ProduceStream(out, 2), 0u);
}

TEST(SensorFaults, ShortReplyCutsOneCommandOnly) {
    VirtualSensor sensor(WithFaults(ShortReply(0x86)));
    // 8192 would be 80 80 80 82.
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x86}), (Bytes{0x80, 0x80, 0x80}));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x8D}).size(), 4u);
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x81}).size(), 16u);

    // Identify cut to 15 bytes, given as the bare code.
    sensor.SetFaults(ShortReply(1));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x81}).size(), 15u);

    // Cut to a given length; a register read cut to nothing.
    sensor.SetFaults(ShortReply(0x82, 0));
    EXPECT_TRUE(sensor.Feed(Bytes{0x01, 0x82, 0x88, 0x80}).empty());
    sensor.SetFaults(ShortReply(0x84, 1));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x84, 0x8A, 0x8A}), (Bytes{0x8A}));
}

TEST(SensorFaults, StreamGarbageBreaksEveryKthFrame) {
    Faults faults;
    faults.stream_garbage_every = 2;
    VirtualSensor sensor(WithFaults(faults, 0x4000));
    sensor.Feed(Bytes{0x01, 0x87});
    Bytes out;
    EXPECT_EQ(sensor.ProduceStream(out, 4), 4u);
    EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x00, 0x04,           //
                          0x10, 0x10, 0x55, 0x10, 0x14,     // frame 2 with a tag-5 byte
                          0x20, 0x20, 0x20, 0x24,           //
                          0x30, 0x30, 0x75, 0x30, 0x34}));  // frame 4 with a tag-7 byte
    // A reader drops the broken frames and keeps the others.
    EXPECT_EQ(DecodeFrames(out), (std::vector<std::uint16_t>{0x4000, 0x4000}));
}

TEST(SensorFaults, StreamStopsAfterNFramesUntilRestarted) {
    Faults faults;
    faults.stream_stop_after_frames = 5;
    VirtualSensor sensor(WithFaults(faults));
    sensor.Feed(Bytes{0x01, 0x87});
    Bytes out;
    EXPECT_EQ(sensor.ProduceStream(out, 3), 3u);
    EXPECT_EQ(sensor.ProduceStream(out, 3), 2u);
    EXPECT_EQ(sensor.ProduceStream(out, 3), 0u);
    EXPECT_EQ(out.size(), 20u);
    EXPECT_TRUE(sensor.Streaming());
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x86}).size(), 4u);  // still answering
    sensor.Feed(Bytes{0x01, 0x87});
    EXPECT_EQ(sensor.ProduceStream(out, 10), 5u);
}

// A ramp of one raw unit per sample: a frame's value is its sample number.
SensorConfig CountingStream(const Faults& faults) {
    SensorConfig config = WithFaults(faults, 0);
    config.source.kind = MeasurementSource::Kind::kRamp;
    config.source.amplitude = 30000;
    config.source.period = 30000;
    return config;
}

TEST(SensorFaults, StreamPausesAfterNFramesOncePerStream) {
    Faults faults;
    faults.stream_pause_at_frames = 3;
    faults.stream_pause_ms = 250;
    VirtualSensor sensor(CountingStream(faults));
    sensor.Feed(Bytes{0x01, 0x87});
    Bytes out;
    EXPECT_EQ(sensor.StreamPauseDue(), std::nullopt);
    EXPECT_EQ(sensor.ProduceStream(out, 5), 3u);
    EXPECT_EQ(sensor.StreamPauseDue(), 250u);
    EXPECT_EQ(sensor.ProduceStream(out, 5), 0u);
    // The ten frames of the pause are lost: samples and tags go on.
    sensor.EndStreamPause(10);
    EXPECT_EQ(sensor.StreamPauseDue(), std::nullopt);
    EXPECT_EQ(sensor.ProduceStream(out, 2), 2u);
    EXPECT_EQ(DecodeFrames(out), (std::vector<std::uint16_t>{0, 1, 2, 13, 14}));
    EXPECT_EQ(out[12], 0x5D);  // frame 13: tag 5, nibble 13
    EXPECT_EQ(sensor.ProduceStream(out, 100), 100u);

    // The next stream pauses again.
    sensor.Feed(Bytes{0x01, 0x88, 0x01, 0x87});
    out.clear();
    EXPECT_EQ(sensor.ProduceStream(out, 5), 3u);
    EXPECT_EQ(sensor.StreamPauseDue(), 250u);
}

}  // namespace
}  // namespace mk27x::sim
