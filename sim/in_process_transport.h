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
// queued without waiting, until ResumeReads().
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
#include <memory>
#include <mutex>
#include <vector>

#include "link/transport.h"
#include "virtual_sensor.h"

namespace mk27x::sim {

struct InProcessOptions {
    std::uint32_t baud = 115200;
    std::chrono::milliseconds short_read_wait{0};
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
    std::shared_ptr<VirtualSensor> sensor_;
    const std::chrono::milliseconds short_read_wait_;

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
