// The in-process transport between the program's protocol and a virtual sensor.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "in_process_transport.h"

namespace mk27x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct TransportTest : ::testing::Test {
    void Write(const Bytes& b) { transport.Write(b.data(), b.size()); }
    Bytes Read(std::size_t n) {
        Bytes buf(n);
        buf.resize(transport.Read(buf.data(), n));
        return buf;
    }

    static SensorConfig Config() {
        SensorConfig config;
        config.source.value = 0x4000;
        return config;
    }

    std::shared_ptr<VirtualSensor> sensor = std::make_shared<VirtualSensor>(Config());
    InProcessTransport transport{sensor};
};

TEST_F(TransportTest, RequestReplyLogAndShortReads) {
    for (std::uint8_t b : {0x01, 0x82, 0x88, 0x80}) transport.Write(&b, 1);  // byte by byte
    EXPECT_EQ(Read(2), (Bytes{0x84, 0x8F}));
    EXPECT_EQ(transport.WrittenBytes(), (Bytes{0x01, 0x82, 0x88, 0x80}));
    EXPECT_EQ(transport.ShortReads(), 0u);

    Faults faults;
    faults.short_reply_command = 0x81;
    sensor->SetFaults(faults);
    Write({0x01, 0x81});
    EXPECT_EQ(Read(16).size(), 15u);
    EXPECT_EQ(Read(1).size(), 0u);
    EXPECT_EQ(transport.ShortReads(), 2u);
    transport.SetBreak();
    EXPECT_TRUE(transport.BreakSet());
}

TEST_F(TransportTest, PurgeDiscardsPendingInput) {
    Write({0x01, 0x81});
    transport.Purge();
    EXPECT_EQ(transport.PurgeCount(), 1u);
    EXPECT_TRUE(Read(16).empty());
}

TEST_F(TransportTest, StreamReadsNeverRunDry) {
    Write({0x01, 0x87});
    Bytes got;  // one-byte reads, as the stream reader makes them
    for (int i = 0; i < 8; ++i) got.push_back(Read(1).at(0));
    EXPECT_EQ(got, (Bytes{0x00, 0x00, 0x00, 0x04, 0x10, 0x10, 0x10, 0x14}));
    // Frames are made only as reads need them; a reply queues behind what was made.
    EXPECT_EQ(Read(2), (Bytes{0x20, 0x20}));
    Write({0x01, 0x82, 0x88, 0x80});
    EXPECT_EQ(Read(4), (Bytes{0x20, 0x24, 0x84, 0x8F}));
    // A purge drops the rest of a frame; the next one carries the next tag.
    EXPECT_EQ(Read(1), (Bytes{0x30}));
    transport.Purge();
    EXPECT_EQ(Read(4), (Bytes{0x40, 0x40, 0x40, 0x44}));
    EXPECT_EQ(Read(1000).size(), 1000u);
    EXPECT_EQ(transport.ShortReads(), 0u);
    // After the stop only what was already made is left.
    Write({0x01, 0x88});
    EXPECT_TRUE(Read(1).empty());
}

TEST_F(TransportTest, BaudRateMustMatchTheSensor) {
    transport.SetBaudRate(9600);
    Write({0x01, 0x81});
    EXPECT_TRUE(Read(16).empty());
    transport.SetBaudRate(115200);
    Write({0x01, 0x83, 0x84, 0x80, 0x80, 0x88});  // the sensor goes to 921600
    Write({0x01, 0x81});
    EXPECT_TRUE(Read(16).empty());
    transport.SetBaudRate(921600);
    Write({0x01, 0x81});
    EXPECT_EQ(Read(16).size(), 16u);
}

// The stream's pause on the transport's clock: reads in it get no frames; the
// frames that fall due in it at the stream rate are lost.
TEST(TransportPause, ReadsInThePauseGetNothingThenTheStreamGoesOn) {
    SensorConfig config;
    config.source.kind = MeasurementSource::Kind::kRamp;
    config.source.value = 0;
    config.source.amplitude = 30000;
    config.source.period = 30000;  // a frame's value is its sample number
    config.faults.stream_pause_at_frames = 2;
    config.faults.stream_pause_ms = 100;
    std::chrono::steady_clock::time_point now{};
    InProcessTransport transport(
        std::make_shared<VirtualSensor>(config),
        InProcessOptions{.baud = 115200, .now = [&] { return now; }, .stream_rate = 1000});
    const Bytes start{0x01, 0x87};
    transport.Write(start.data(), start.size());
    std::uint8_t buf[8];
    EXPECT_EQ(transport.Read(buf, 8), 8u);
    EXPECT_EQ(transport.Read(buf, 4), 0u);
    now += std::chrono::milliseconds(99);
    EXPECT_EQ(transport.Read(buf, 4), 0u);
    now += std::chrono::milliseconds(1);
    ASSERT_EQ(transport.Read(buf, 4), 4u);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x66, 0x66, 0x60, 0x60}));  // frame 102 (0x66), tag 6
}

TEST(TransportThreads, WaitingReaderWakesForAReplyWrittenMeanwhile) {
    auto sensor = std::make_shared<VirtualSensor>();
    // The wait is only a safety net: the reader returns as soon as the reply is in.
    InProcessTransport transport(sensor, {.short_read_wait = std::chrono::seconds(30)});
    std::size_t got = 0;
    std::thread reader([&] {
        std::uint8_t buf[16];
        got = transport.Read(buf, sizeof buf);
    });
    const std::uint8_t request[] = {0x01, 0x81};
    transport.Write(request, sizeof request);
    reader.join();
    EXPECT_EQ(got, 16u);
}

TEST(TransportThreads, ReaderAndWriterConcurrently) {
    auto sensor = std::make_shared<VirtualSensor>();
    InProcessTransport transport(sensor, {.short_read_wait = std::chrono::milliseconds(1)});
    const std::uint8_t start[] = {0x01, 0x87};
    transport.Write(start, sizeof start);
    std::atomic<bool> done{false};
    std::thread reader([&] {
        std::size_t bytes = 0;
        std::uint8_t b;
        while (bytes < 4000) bytes += transport.Read(&b, 1);
        done.store(true);
    });
    // Purges and requests from this thread while the reader takes the stream.
    std::uint64_t requests = 1;
    while (!done.load()) {
        transport.Purge();
        const std::uint8_t measure[] = {0x01, 0x86};
        transport.Write(measure, sizeof measure);
        ++requests;
    }
    reader.join();
    EXPECT_EQ(sensor->RequestsServed(), requests);
}

TEST(TransportThreads, CancelEndsAWaitingReadUntilResumed) {
    auto sensor = std::make_shared<VirtualSensor>();
    InProcessTransport transport(sensor, {.short_read_wait = std::chrono::seconds(30)});
    std::size_t got = 99;
    std::thread reader([&] {
        std::uint8_t buf[16];
        got = transport.Read(buf, sizeof buf);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    transport.CancelRead();
    reader.join();  // would take the 30 s wait otherwise
    EXPECT_EQ(got, 0u);
    std::uint8_t b;
    EXPECT_EQ(transport.Read(&b, 1), 0u);  // still cancelled: no wait
    transport.ResumeReads();
    const std::uint8_t request[] = {0x01, 0x81};
    transport.Write(request, sizeof request);
    std::uint8_t buf[16];
    EXPECT_EQ(transport.Read(buf, sizeof buf), 16u);
}

}  // namespace
}  // namespace mk27x::sim
