// InProcessTransport: a ByteTransport wired straight to a VirtualSensor in the
// same process, for fast tests of the program's protocol (usually with a virtual
// clock, since nothing here depends on time).
//
// Write() hands the bytes to the sensor at the transport's baud rate and queues
// whatever the sensor answers. Read() returns queued bytes; while the sensor
// streams, it has the sensor produce just enough frames for the read, so a
// streaming read is always satisfied at once. A read that cannot be satisfied
// waits up to `short_read_wait` (real time) for bytes written meanwhile by
// another thread, then returns what it has and counts a short read.
// CancelRead() ends such a wait at once, and makes later reads return what is
// queued without waiting, until ResumeReads(). The stream's pause
// (Faults::stream_pause_at_frames) lasts its milliseconds on `now`: reads in
// it get no frames, and the frames that `stream_rate` makes fall due in it are
// lost.
//
// Threading: the ByteTransport contract (one thread reads while another purges,
// writes, changes the rate or sets the break) is met with an internal mutex;
// the accessors for tests may be called from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "transport/transport.h"
#include "virtual_sensor.h"

namespace mk27x::sim {

struct InProcessOptions {
    std::uint32_t baud = 115200;
    std::chrono::milliseconds short_read_wait{0};
    // The time the stream's pause is measured on (the steady clock when empty;
    // a test passes its virtual clock), and the frames per second it loses.
    std::function<std::chrono::steady_clock::time_point()> now = {};
    double stream_rate = 2000.0;
};

class InProcessTransport final : public ByteTransport {
public:
    explicit InProcessTransport(std::shared_ptr<VirtualSensor> sensor,
                                InProcessOptions options = {});

    void Purge() override;
    void Write(const std::uint8_t* data, std::size_t count) override;
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override;
    // Everything queued (and, while streaming, a buffer full of frames).
    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity) override {
        return Read(buffer, capacity);
    }
    void CancelRead() override;
    void ResumeReads() override;
    void SetBaudRate(std::uint32_t baud) override;
    void SetBreak() override;

    // --- for tests ----------------------------------------------------------
    VirtualSensor& Sensor() const { return *sensor_; }
    // Every byte written since construction (or the last ClearLog), in order.
    std::vector<std::uint8_t> WrittenBytes() const;
    void ClearLog();
    // Reads that returned fewer bytes than asked for.
    std::size_t ShortReads() const;
    std::size_t PurgeCount() const;
    std::size_t QueuedBytes() const;
    std::uint32_t BaudRate() const;
    bool BreakSet() const;

private:
    // True while the stream's pause lasts; starts and ends it.
    bool PausedLocked();

    std::shared_ptr<VirtualSensor> sensor_;
    const std::chrono::milliseconds short_read_wait_;
    const std::function<std::chrono::steady_clock::time_point()> now_;
    const double stream_rate_;
    std::optional<std::chrono::steady_clock::time_point> pause_end_;
    std::uint32_t pause_ms_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<std::uint8_t> input_;
    std::vector<std::uint8_t> written_;
    std::uint32_t baud_;
    std::size_t short_reads_ = 0;
    std::size_t purges_ = 0;
    bool break_set_ = false;
    bool cancelled_ = false;
};

}  // namespace mk27x::sim
