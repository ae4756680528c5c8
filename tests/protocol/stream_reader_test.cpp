// Stream reader and sample ring: frame decoding with the tag rule, the link
// flag of a silent stream, the ring's turn, and the hand-over between streams:
// a stopped stream leaves the link flag and the next recording alone, and a stop
// wakes a read in flight.
#include <gtest/gtest.h>
#include <time.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "protocol/protocol.h"
#include "protocol/stream_reader.h"
#include "recording/recording.h"
#include "support/recording_message_box.h"
#include "support/virtual_clock.h"

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
        port.SetPortName("COM1");
        ASSERT_TRUE(port.Open());
        protocol.Identity.MeasuringRange = 250;
        recording.Attach(ring_sink);
        reader.frames_decoded = [this](std::span<const RecordedSample> batch) {
            frames += static_cast<int>(batch.size());
        };
        reader.Resume();
    }
    template <typename Pred>
    static bool Eventually(Pred pred) {
        // A safety net only: nothing waits for it when the test passes.
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!pred() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(1ms);
        return pred();
    }
    VirtualClock clock;
    std::shared_ptr<QueueTransport> wire = std::make_shared<QueueTransport>();
    SensorPort port{{[this](const std::string&, std::uint32_t, std::string&) { return wire; }, {}}};
    SensorProtocol protocol{port, clock};
    SampleRing ring;
    Recording recording;
    RingSink ring_sink{ring};
    StreamReader reader{protocol, recording};
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
    protocol.SetLinkAlive(true);
    reader.HoldLinkAlive(true);
    reader.StartStreaming();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(protocol.LinkAlive(), 1);
    reader.HoldLinkAlive(false);
    ASSERT_TRUE(Eventually([&] { return protocol.LinkAlive() == 0; }));
    EXPECT_EQ(ring.WriteIndex, 0);
    EXPECT_FALSE(ring.Wrapped);

    // Frames coming back set it again.
    wire->Feed({0x01, 0x00, 0x00, 0x00});
    ASSERT_TRUE(Eventually([&] { return protocol.LinkAlive() == 1; }));
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

// A port whose reads the test releases one by one: a read blocks until bytes
// are fed, an empty answer is granted, or the read is cancelled (with a safety
// time-out of its own so that a faulty reader fails rather than hangs).
class GateTransport final : public ByteTransport {
public:
    void Feed(const Bytes& bytes) {
        std::lock_guard lock(mutex_);
        queue_.insert(queue_.end(), bytes.begin(), bytes.end());
        changed_.notify_all();
    }
    // The blocked read returns nothing.
    void AnswerEmpty() {
        std::lock_guard lock(mutex_);
        ++empty_answers_;
        changed_.notify_all();
    }
    // Waits until read number `n` (from 1) is blocked for want of bytes.
    bool WaitBlocked(int n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return blocked_read_ == n; });
    }
    int ReadsStarted() {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    bool Cancelled() {
        std::lock_guard lock(mutex_);
        return cancelled_;
    }
    // Reads that a CancelRead() ended.
    int CancelledReads() {
        std::lock_guard lock(mutex_);
        return cancelled_reads_;
    }

    void Purge() override {}
    void Write(const std::uint8_t*, std::size_t) override {}
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override {
        std::unique_lock lock(mutex_);
        const int me = ++reads_;
        if (queue_.empty() && empty_answers_ == 0 && !cancelled_) {
            blocked_read_ = me;
            changed_.notify_all();
            changed_.wait_for(lock, 10s,
                              [&] { return !queue_.empty() || empty_answers_ > 0 || cancelled_; });
            blocked_read_ = 0;
            if (cancelled_) {
                ++cancelled_reads_;
                lock.unlock();
                std::this_thread::sleep_for(wake_delay);
                lock.lock();
            }
        }
        std::size_t n = 0;
        while (n < count && !queue_.empty()) {
            buffer[n++] = queue_.front();
            queue_.pop_front();
        }
        if (n == 0 && empty_answers_ > 0) --empty_answers_;
        return n;
    }
    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity) override {
        return Read(buffer, capacity);
    }
    void CancelRead() override {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        changed_.notify_all();
    }
    // A woken read takes this long to return (as a backend finishing a call).
    std::chrono::milliseconds wake_delay{0};
    void ResumeReads() override {
        std::lock_guard lock(mutex_);
        cancelled_ = false;
    }
    void SetBaudRate(std::uint32_t) override {}
    void SetBreak() override {}

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::uint8_t> queue_;
    int reads_ = 0;
    int blocked_read_ = 0;
    int empty_answers_ = 0;
    int cancelled_reads_ = 0;
    bool cancelled_ = false;
};

class StreamHandOver : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetPortName("COM1");
        ASSERT_TRUE(port.Open());
        protocol.Identity.MeasuringRange = 16384;  // one unit per mm
        recording.Attach(ring_sink);
        reader.Resume();
    }
    // A new stream as the window starts one: the ring is reset, the start
    // request sets the link flag, then the reader is told.
    void Restart() {
        reader.StopStreaming();
        ring.Reset();
        protocol.SetLinkAlive(true);
        reader.StartStreaming();
    }
    std::vector<float> Recorded() const {
        std::vector<float> v;
        for (std::uint16_t i = 0; i < ring.WriteIndex.load(); ++i) v.push_back(ring.At(i));
        return v;
    }
    VirtualClock clock;
    std::shared_ptr<GateTransport> wire = std::make_shared<GateTransport>();
    SensorPort port{{[this](const std::string&, std::uint32_t, std::string&) { return wire; }, {}}};
    SensorProtocol protocol{port, clock};
    SampleRing ring;
    Recording recording;
    RingSink ring_sink{ring};
    StreamReader reader{protocol, recording};
};

TEST_F(StreamHandOver, StreamStoppedMidFrameLeavesTheLinkFlag) {
    protocol.SetLinkAlive(true);
    reader.StartStreaming();
    wire->Feed({0x10, 0x10});  // half a frame, then the sensor waits
    ASSERT_TRUE(wire->WaitBlocked(2));
    reader.StopStreaming();
    wire->AnswerEmpty();  // the read in flight times out after the stop
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(protocol.LinkAlive(), 1);
    EXPECT_EQ(wire->ReadsStarted(), 2);  // idle: the port is left alone
}

TEST_F(StreamHandOver, QuickRestartIsNotBlamedForTheOldStreamsSilence) {
    protocol.SetLinkAlive(true);
    reader.StartStreaming();
    wire->Feed({0x10, 0x10});
    ASSERT_TRUE(wire->WaitBlocked(2));
    // Stop and start again well within the reader's idle poll: the stop ends
    // the old stream's read, which writes no flag; the next read is the new
    // stream's.
    Restart();
    ASSERT_TRUE(wire->WaitBlocked(3));
    EXPECT_EQ(wire->CancelledReads(), 1);
    EXPECT_EQ(protocol.LinkAlive(), 1);
    EXPECT_TRUE(Recorded().empty());
    // The new stream's own silence still counts.
    wire->AnswerEmpty();
    ASSERT_TRUE(wire->WaitBlocked(4));
    EXPECT_EQ(protocol.LinkAlive(), 0);
}

TEST_F(StreamHandOver, ARestartWhileTheOldStreamsFramesAreDeliveredKeepsThemOut) {
    // Two frames arrive in one read and go to the recording together; the
    // reader is held in its hook while the window stops and restarts.
    std::mutex m;
    std::condition_variable cv;
    bool held = false, go = false;
    reader.frames_decoded = [&](std::span<const RecordedSample>) {
        std::unique_lock lock(m);
        if (held) return;
        held = true;
        cv.notify_all();
        cv.wait_for(lock, 10s, [&] { return go; });
    };
    wire->Feed({0x01, 0x00, 0x00, 0x00, 0x12, 0x10, 0x10, 0x10});
    reader.StartStreaming();
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, 10s, [&] { return held; }));
    }
    EXPECT_EQ(Recorded(), (std::vector<float>{1.0f, 2.0f}));
    Restart();
    {
        std::lock_guard lock(m);
        go = true;
    }
    cv.notify_all();
    wire->Feed({0x27, 0x20, 0x20, 0x20});
    ASSERT_TRUE(wire->WaitBlocked(3));
    EXPECT_EQ(Recorded(), (std::vector<float>{7.0f}));
}

TEST_F(StreamHandOver, NoReadOfTheReaderOutlastsTheStop) {
    // Without the wait, the read in flight would go on for its time-out and take
    // the reply to the operator's next request.
    wire->wake_delay = 30ms;
    reader.StartStreaming();
    ASSERT_TRUE(wire->WaitBlocked(1));
    reader.StopStreaming();
    EXPECT_EQ(wire->CancelledReads(), 1);
    EXPECT_FALSE(wire->Cancelled());  // the next request's reply is read normally
    wire->Feed({0x81, 0x82});
    std::uint8_t reply[2] = {};
    EXPECT_EQ(port.Read(reply, 2), 2u);
    EXPECT_EQ(reply[1], 0x82);
    EXPECT_EQ(wire->ReadsStarted(), 2);
}

TEST_F(StreamHandOver, StopWakesTheReadInFlightAndLetsThePortReadAgain) {
    reader.StartStreaming();
    ASSERT_TRUE(wire->WaitBlocked(1));
    reader.Stop();  // the gate would hold the read for ten seconds
    EXPECT_TRUE(reader.Done());
    EXPECT_FALSE(reader.Streaming());
    EXPECT_EQ(wire->CancelledReads(), 1);
    EXPECT_FALSE(wire->Cancelled());  // requests after the stop still get replies
    EXPECT_LT(wire->ReadsStarted(), 3);
}

double ProcessCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) * 1e-6;
}

TEST_F(StreamReaderTest, PortClosedWhileStreamingIsPolledNotSpunOn) {
    protocol.SetLinkAlive(true);
    reader.StartStreaming();
    port.Close();
    ASSERT_TRUE(Eventually([&] { return protocol.LinkAlive() == 0; }));
    // Every read of a closed port returns at once; a reader that does not wait
    // between them keeps a core busy for the whole 300 ms.
    const double cpu0 = ProcessCpuMs();
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(ProcessCpuMs() - cpu0, 30.0);
    reader.Stop();
    EXPECT_TRUE(reader.Done());
}

TEST(SensorPortClose, ReleasesTheConnectionOnlyOnceTheWokenReadHasLetGo) {
    std::weak_ptr<GateTransport> opened;
    SensorPort port{{[&](const std::string&, std::uint32_t, std::string&) {
                         auto wire = std::make_shared<GateTransport>();
                         wire->wake_delay = 50ms;
                         opened = wire;
                         return wire;
                     },
                     {}}};
    port.SetPortName("COM1");
    ASSERT_TRUE(port.Open());
    std::thread reader([&] {
        std::uint8_t b;
        port.Read(&b, 1);
    });
    ASSERT_TRUE(opened.lock()->WaitBlocked(1));
    port.Close();
    // The device (and its lock) is gone when the close returns, so a Connect
    // right after it finds the port free.
    EXPECT_TRUE(opened.expired());
    reader.join();
}

}  // namespace
}  // namespace mk27x
