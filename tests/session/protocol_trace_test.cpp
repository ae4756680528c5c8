// The protocol trace: a connect and read-all traced byte for byte against what
// the virtual sensor received, the operation names, stream frames counted, and
// the bounded queue that records its losses.
#include "transport/protocol_trace.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <sstream>

#include "session/session.h"
#include "support/recording_message_box.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Collected {
    std::mutex mutex;
    std::vector<std::string> lines;

    TraceWriter::Sink Sink() {
        return [this](std::string_view line) {
            std::lock_guard lock(mutex);
            lines.emplace_back(line);
        };
    }
};

struct Parsed {
    std::string dir;
    std::string operation;
    Bytes bytes;
};

// "   123 TX ReadParameter 5: 01 82 85 80" -> TX, "ReadParameter 5", bytes.
std::vector<Parsed> Traffic(const std::vector<std::string>& lines) {
    std::vector<Parsed> out;
    for (const std::string& line : lines) {
        std::istringstream in(line);
        std::string time, dir;
        in >> time >> dir;
        if (dir != "TX" && dir != "RX") continue;
        std::string rest;
        std::getline(in, rest);
        const auto colon = rest.find(':');
        Parsed p{dir, rest.substr(1, colon - 1), {}};
        std::istringstream hex(rest.substr(colon + 1));
        std::string byte;
        while (hex >> byte && byte[0] != '(')
            p.bytes.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
        out.push_back(std::move(p));
    }
    return out;
}

TEST(ProtocolTraceTest, ConnectAndReadAllMatchTheBytesOnTheWire) {
    Collected collected;
    auto writer = std::make_shared<TraceWriter>(collected.Sink());
    testing::SimBackends sim;
    VirtualClock clock;
    {
        SensorSession session(clock, TracedBackends(sim.Backends(), writer));
        ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
        session.Disconnect();
    }
    writer->Stop();
    const Bytes wire = sim.opened.at(0)->WrittenBytes();

    const auto traffic = Traffic(collected.lines);
    Bytes sent;
    int requests = 0, replies = 0;
    for (const Parsed& p : traffic) {
        if (p.dir == "TX") {
            sent.insert(sent.end(), p.bytes.begin(), p.bytes.end());
            ++requests;
        } else {
            ++replies;
        }
    }
    EXPECT_EQ(sent, wire);
    // Identify, then 29 register reads: one line per request and per reply.
    EXPECT_EQ(requests, 30);
    EXPECT_EQ(replies, 30);
    ASSERT_GE(traffic.size(), 4u);
    EXPECT_EQ(traffic[0].dir, "TX");
    EXPECT_EQ(traffic[0].operation, "IdentifySensor");
    EXPECT_EQ(traffic[0].bytes, (Bytes{0x01, 0x81}));
    EXPECT_EQ(traffic[1].operation, "IdentifySensor");
    EXPECT_EQ(traffic[1].bytes.size(), 16u);
    EXPECT_EQ(traffic[2].operation, "ReadParameter 0");
    EXPECT_EQ(traffic[2].bytes, (Bytes{0x01, 0x82, 0x80, 0x80}));
    // Sampling period: registers 0x08 and 0x09.
    const auto sampling = std::find_if(traffic.begin(), traffic.end(), [](const Parsed& p) {
        return p.operation == "ReadParameter 5";
    });
    ASSERT_NE(sampling, traffic.end());
    EXPECT_EQ(sampling->bytes, (Bytes{0x01, 0x82, 0x88, 0x80}));

    EXPECT_NE(collected.lines.front().find("-- open USB at 115200 baud"), std::string::npos)
        << collected.lines.front();
    EXPECT_NE(collected.lines[collected.lines.size() - 2].find("-- break"), std::string::npos);
    EXPECT_NE(collected.lines.back().find("-- close"), std::string::npos);
}

TEST(ProtocolTraceTest, ShortReplyIsMarkedAndStreamIsCounted) {
    Collected collected;
    auto writer = std::make_shared<TraceWriter>(collected.Sink());
    testing::SimBackends sim;
    VirtualClock clock;
    SensorSession session(clock, TracedBackends(sim.Backends(), writer));
    ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
    sim::Faults faults;
    faults.short_reply_command = 0x86;
    faults.short_reply_length = 3;
    sim.sensor->SetFaults(faults);
    EXPECT_FALSE(session.MeasureOnce());

    // The stream reader takes frames; they are counted, not listed.
    std::uint8_t buffer[64];
    session.Port().WriteByte(0x01);
    sim.sensor->Feed(Bytes{0x01, 0x87});
    ASSERT_EQ(session.Port().ReadAvailable(buffer, sizeof buffer), 64u);
    session.Disconnect();
    writer->Stop();

    bool short_seen = false, stream_seen = false;
    for (const std::string& line : collected.lines) {
        if (line.find("RX MeasureOnce: ") != std::string::npos &&
            line.find("(short: 3/4)") != std::string::npos)
            short_seen = true;
        if (line.find("RX stream: 16 frames (64 bytes) in ") != std::string::npos)
            stream_seen = true;
    }
    EXPECT_TRUE(short_seen);
    EXPECT_TRUE(stream_seen);
}

// A virtual clock whose pauses let the stream reader in: it reads the stream
// during each pause between the bytes of a request.
class StreamReadingClock final : public Clock {
public:
    void Sleep(unsigned ms) override {
        time.Sleep(ms);
        if (during_pause) during_pause();
    }
    TimePoint Now() override { return time.Now(); }
    VirtualClock time;
    std::function<void()> during_pause;
};

TEST(ProtocolTraceTest, LinesAreInTimeOrderAroundAStreamAndTeachIsNamed) {
    Collected collected;
    StreamReadingClock clock;
    auto writer = std::make_shared<TraceWriter>(collected.Sink(), kTraceQueueLines, clock);
    testing::SimBackends sim;
    {
        SensorSession session(clock, TracedBackends(sim.Backends(), writer));
        ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
        SensorPort& port = session.Port();
        SensorProtocol& protocol = session.Protocol();
        std::uint8_t buffer[64];
        auto read_stream = [&] {
            clock.time.Advance(std::chrono::milliseconds(100));
            port.ReadAvailable(buffer, sizeof buffer);
        };
        protocol.StartStream();
        for (int k = 0; k < 12; ++k) read_stream();  // 1.2 s: one report
        clock.during_pause = read_stream;
        protocol.StopStream();
        clock.during_pause = nullptr;
        for (int k = 0; k < 3; ++k) read_stream();
        protocol.Teach();
        session.Disconnect();
    }
    writer->Stop();

    std::uint64_t last = 0;
    for (const std::string& line : collected.lines) {
        if (line.rfind("trace:", 0) == 0) continue;
        const std::uint64_t time = std::stoull(line);
        EXPECT_GE(time, last) << line;
        last = time;
    }
    const auto traffic = Traffic(collected.lines);
    auto at = [&](const std::string& op) {
        return std::find_if(traffic.begin(), traffic.end(),
                            [&](const Parsed& p) { return p.operation == op; });
    };
    ASSERT_NE(at("StartStream"), traffic.end());
    EXPECT_EQ(at("StartStream")->bytes, (Bytes{0x01, 0x87}));
    ASSERT_NE(at("StopStream"), traffic.end());
    EXPECT_EQ(at("StopStream")->bytes, (Bytes{0x01, 0x88}));
    ASSERT_NE(at("Teach"), traffic.end());
    EXPECT_EQ(at("Teach")->bytes, (Bytes{0x01, 0x8c}));
    EXPECT_EQ(std::next(at("Teach"))->dir, "RX");
    EXPECT_EQ(std::next(at("Teach"))->operation, "Teach");
    EXPECT_EQ(std::count_if(collected.lines.begin(), collected.lines.end(),
                            [](const std::string& l) { return l.find("RX stream") != l.npos; }),
              3);  // 1.1 s, 0.1 s up to the stop, the frames during and after it
}

TEST(TraceWriterTest, FullQueueDropsLinesAndCountsThem) {
    std::mutex gate_mutex;
    std::condition_variable gate;
    bool open = false;
    std::vector<std::string> lines;
    TraceWriter writer(
        [&](std::string_view line) {
            std::unique_lock lock(gate_mutex);
            gate.wait(lock, [&] { return open; });
            lines.emplace_back(line);
        },
        4);
    // The sink blocks: the queue fills and further lines are dropped.
    std::uint64_t posted = 0;
    while (writer.DroppedLines() < 10) {
        writer.Post("line");
        ++posted;
    }
    {
        std::lock_guard lock(gate_mutex);
        open = true;
    }
    gate.notify_all();
    writer.Stop();
    std::uint64_t kept = 0, noticed = 0;
    for (const std::string& line : lines) {
        if (line == "line") {
            ++kept;
        } else {
            unsigned long long n = 0;
            ASSERT_EQ(std::sscanf(line.c_str(), "trace: %llu lines dropped", &n), 1) << line;
            noticed += n;
        }
    }
    EXPECT_EQ(noticed, writer.DroppedLines());
    EXPECT_EQ(kept + noticed, posted);
    EXPECT_LE(kept, 4u + 4u + 1u);  // at most what the sink held and two queues' worth
    writer.Post("late");            // after Stop: ignored
}

TEST(TraceWriterTest, NoticeSitsWhereTheLossHappened) {
    std::mutex gate_mutex;
    std::condition_variable gate;
    bool open = false;
    std::vector<std::string> lines;
    auto writer = std::make_unique<TraceWriter>(
        [&](std::string_view line) {
            std::unique_lock lock(gate_mutex);
            gate.wait(lock, [&] { return open; });
            lines.emplace_back(line);
        },
        2);
    // The thread may or may not have taken "a" yet: post until a loss is seen.
    writer->Post("a");
    int posted = 1;
    while (writer->DroppedLines() == 0) {
        writer->Post("b");
        ++posted;
    }
    {
        std::lock_guard lock(gate_mutex);
        open = true;
    }
    gate.notify_all();
    // Let the writer drain, then a line after the loss.
    while (true) {
        {
            std::lock_guard lock(gate_mutex);
            if (static_cast<int>(lines.size()) >= posted - 1) break;
        }
        std::this_thread::yield();
    }
    writer->Post("after");
    writer->Stop();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.back(), "after");
    EXPECT_EQ(lines[lines.size() - 2], "trace: 1 lines dropped");
}

TEST(TraceWriterTest, FileWriterAndHex) {
    EXPECT_EQ(HexBytes(Bytes{0x01, 0x81, 0xff}.data(), 3), "01 81 ff");
    EXPECT_EQ(TraceWriter::OpenFile("/nonexistent-dir/trace.txt"), nullptr);
}

}  // namespace
}  // namespace mk27x
