// Stream reader and sample ring: frame decoding with the tag rule, the link
// flag of a silent stream, and the ring's turn.
#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "link/stream_reader.h"

namespace mk27x {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

std::vector<std::uint16_t> Decode(const Bytes& bytes) {
    FrameDecoder decoder;
    std::vector<std::uint16_t> frames;
    decoder.BeginFrame();
    for (auto b : bytes)
        if (auto v = decoder.Take(b)) frames.push_back(*v);
    return frames;
}

TEST(FrameDecoder, TagRuleExamples) {
    EXPECT_EQ(Decode({0x10, 0x10, 0x10, 0x14}), (std::vector<std::uint16_t>{16384}));
    // A frame cut short is dropped when the next one's tag differs.
    EXPECT_EQ(Decode({0x25, 0x26, 0x30, 0x30, 0x30, 0x34}), (std::vector<std::uint16_t>{16384}));
    // Bit 7 is not examined.
    EXPECT_EQ(Decode({0x9F, 0x1F, 0x9F, 0x1F}), (std::vector<std::uint16_t>{0xFFFF}));
    // A stray byte of another tag restarts the collection with itself as nibble 0.
    EXPECT_EQ(Decode({0x01, 0x02, 0x03, 0x04, 0x11, 0x27, 0x21, 0x22, 0x23, 0x24}),
              (std::vector<std::uint16_t>{0x4321, 0x3217}));
}

TEST(FrameDecoder, SameTagRunsMakeConsecutiveFrames) {
    // Eight bytes of one tag are two frames: only a change of tag resynchronises.
    EXPECT_EQ(Decode({0x51, 0x50, 0x50, 0x50, 0x52, 0x50, 0x50, 0x50}),
              (std::vector<std::uint16_t>{1, 2}));
}

TEST(SampleRing, FullTurnWrapsAndOverwritesTheOldest) {
    SampleRing ring;
    for (int i = 0; i < 9999; ++i) ring.Append(static_cast<float>(i));
    EXPECT_EQ(ring.WriteIndex, 9999);
    EXPECT_FALSE(ring.Wrapped);
    ring.Append(9999.0f);
    EXPECT_EQ(ring.WriteIndex, 0);
    EXPECT_TRUE(ring.Wrapped);
    ring.Append(-1.0f);
    EXPECT_EQ(ring.WriteIndex, 1);
    EXPECT_EQ(ring.At(0), -1.0f);
    EXPECT_EQ(ring.At(1), 1.0f);
    ring.ReadPosition = 5;
    ring.Reset();
    EXPECT_EQ(ring.WriteIndex, 0);
    EXPECT_FALSE(ring.Wrapped);
    EXPECT_EQ(ring.ReadPosition, 0);
}

// A port fed by the test: reads return what has been queued, waiting a little
// for it, and count themselves.
class QueueTransport final : public ByteTransport {
public:
    void Feed(const Bytes& bytes) {
        std::lock_guard lock(mutex_);
        queue_.insert(queue_.end(), bytes.begin(), bytes.end());
        ready_.notify_all();
    }
    void Purge() override {}
    void Write(const std::uint8_t*, std::size_t) override {}
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override {
        std::unique_lock lock(mutex_);
        ++reads;
        ready_.wait_for(lock, 5ms, [&] { return !queue_.empty(); });
        std::size_t n = 0;
        while (n < count && !queue_.empty()) {
            buffer[n++] = queue_.front();
            queue_.pop_front();
        }
        return n;
    }
    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity) override {
        return Read(buffer, capacity);
    }
    void SetBaudRate(std::uint32_t) override {}
    void SetBreak() override {}
    std::atomic<int> reads{0};

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::uint8_t> queue_;
};

class StreamReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        port.PortName = "COM1";
        ASSERT_TRUE(port.Open());
        protocol.Identity.MeasuringRange = 250;
        reader.frame_decoded = [this] { ++frames; };
        reader.Resume();
    }
    template <typename Pred>
    static bool Eventually(Pred pred) {
        for (int i = 0; i < 2000 && !pred(); ++i) std::this_thread::sleep_for(1ms);
        return pred();
    }

    RecordingMessageBox messages;
    VirtualClock clock;
    std::shared_ptr<QueueTransport> wire = std::make_shared<QueueTransport>();
    SensorPort port{messages, {[this](const std::string&, std::uint32_t) { return wire; }, {}}};
    SensorProtocol protocol{port, clock, messages};
    SampleRing ring;
    StreamReader reader{protocol, ring};
    std::atomic<int> frames{0};
};

TEST_F(StreamReaderTest, IdleReaderLeavesThePortAlone) {
    std::this_thread::sleep_for(120ms);
    EXPECT_EQ(wire->reads, 0);
    reader.Stop();
    EXPECT_TRUE(reader.Done());
}

TEST_F(StreamReaderTest, DecodedFramesReachDistanceRingAndReadout) {
    reader.StartStreaming();
    wire->Feed({0x10, 0x10, 0x10, 0x14});
    ASSERT_TRUE(Eventually([&] { return frames == 1; }));
    EXPECT_EQ(protocol.LastDistance, 250.0f);
    EXPECT_EQ(DistanceReadout(protocol.LastDistance), "250.000 mm");
    EXPECT_EQ(ring.WriteIndex, 1);
    EXPECT_EQ(ring.At(0), 250.0f);

    // Garbage between frames costs only the frames it cuts.
    wire->Feed({0x25, 0x26, 0x7F, 0x30, 0x30, 0x30, 0x34, 0x41, 0x40, 0x40, 0x40});
    ASSERT_TRUE(Eventually([&] { return frames == 3; }));
    EXPECT_EQ(ring.At(1), 250.0f);
    EXPECT_FLOAT_EQ(ring.At(2), 250.0f / 16384);
}

TEST_F(StreamReaderTest, SilentStreamClearsTheLinkFlagUnlessTheWindowAnimates) {
    protocol.LinkAlive = 1;
    reader.HoldLinkAlive(true);
    reader.StartStreaming();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(protocol.LinkAlive, 1);
    reader.HoldLinkAlive(false);
    ASSERT_TRUE(Eventually([&] { return protocol.LinkAlive == 0; }));
    EXPECT_EQ(ring.WriteIndex, 0);
    EXPECT_FALSE(ring.Wrapped);

    // Frames coming back set it again.
    wire->Feed({0x01, 0x00, 0x00, 0x00});
    ASSERT_TRUE(Eventually([&] { return protocol.LinkAlive == 1; }));
}

TEST_F(StreamReaderTest, RingTakesTheNewestTenThousand) {
    Bytes stream;
    for (int i = 0; i < 10001; ++i) {
        const auto tag = static_cast<std::uint8_t>((i % 8) << 4);
        const unsigned v = static_cast<unsigned>(i);
        for (int k = 0; k < 4; ++k) stream.push_back(tag | ((v >> (4 * k)) & 0xF));
    }
    protocol.Identity.MeasuringRange = 16384;  // one unit per mm
    reader.StartStreaming();
    wire->Feed(stream);
    ASSERT_TRUE(Eventually([&] { return frames == 10001; }));
    EXPECT_TRUE(ring.Wrapped);
    EXPECT_EQ(ring.WriteIndex, 1);
    EXPECT_EQ(ring.At(0), 10000.0f);
    EXPECT_EQ(ring.At(1), 1.0f);
    EXPECT_EQ(ring.At(9999), 9999.0f);
}

}  // namespace
}  // namespace mk27x
