// The protocol trace: what went over the wire, one line per request and per
// reply, for the people who ask "what did the program send?".
//
//   <microseconds> TX <operation>: <bytes in hex>
//   <microseconds> RX <operation>: <bytes in hex> [(short: got/asked)]
//   <microseconds> RX stream: <frames> frames (<bytes> bytes) in <ms> ms
//
// The time is monotonic, counted from the start of the trace, and the lines are
// in the order of their times. A request's bytes (written one at a time, with
// pauses between them) make one line, stamped with its first byte and finished
// by the reply's read, the next purge, or any other call; whatever else
// happens meanwhile is written after it. Stream data (what the stream reader
// takes with ReadAvailable) is counted and reported once a second instead of
// listed. Opening, rate changes, the break and closing get a line of their own.
//
// TraceWriter owns the file and a thread of its own that writes the lines; the
// link only formats a line and queues it, so tracing never waits for the disk.
// The queue is bounded: a line that finds it full is dropped and counted, and
// the loss is recorded in the file as "trace: N lines dropped".
//
// Threading: Post() may be called from any thread. TracingTransport keeps the
// ByteTransport contract of what it wraps; its own state sits behind a mutex
// that is never held during I/O. The writer thread is stopped, woken and joined
// by Stop() and the destructor; lines posted after that are ignored.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "platform/clock.h"
#include "transport/sensor_port.h"
#include "transport/transport.h"

namespace mk27x {

inline constexpr std::size_t kTraceQueueLines = 4096;

class TraceWriter {
public:
    using Sink = std::function<void(std::string_view line)>;

    // `sink` takes one line at a time (without its end), on the writer thread;
    // the times come from `clock`.
    explicit TraceWriter(Sink sink, std::size_t capacity = kTraceQueueLines,
                         Clock& clock = SystemClock::Instance());
    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    // A writer into the file at `path` (created or truncated); null when it
    // cannot be opened.
    static std::shared_ptr<TraceWriter> OpenFile(const std::string& path,
                                                 std::size_t capacity = kTraceQueueLines);

    // Queues a line; never blocks on the sink.
    void Post(std::string line);
    // Microseconds since the writer was made.
    std::uint64_t Micros() const;
    // Writes what is queued, then ends the thread. Idempotent.
    void Stop();
    std::uint64_t DroppedLines() const;

private:
    void Run();

    Sink sink_;
    const std::size_t capacity_;
    Clock& clock_;
    const Clock::TimePoint start_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::string> queue_;
    // Lines dropped since the last notice was queued, and in all.
    std::uint64_t pending_dropped_ = 0;
    std::uint64_t dropped_total_ = 0;
    bool stop_ = false;
    std::thread thread_;
};

// The hex form of bytes: "01 81".
std::string HexBytes(const std::uint8_t* data, std::size_t count);

// Wraps an opened connection so that its traffic is traced; `port` and `baud`
// go into the opening line. Null stays null.
std::shared_ptr<ByteTransport> TraceTransport(std::shared_ptr<ByteTransport> inner,
                                              std::shared_ptr<TraceWriter> writer,
                                              const std::string& port, std::uint32_t baud);

// The same backends with every connection they open traced.
PortBackends TracedBackends(PortBackends inner, std::shared_ptr<TraceWriter> writer);

}  // namespace mk27x
