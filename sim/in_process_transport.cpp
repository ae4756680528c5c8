#include "in_process_transport.h"

#include <algorithm>
#include <span>
#include <utility>

namespace mk27x::sim {

InProcessTransport::InProcessTransport(std::shared_ptr<VirtualSensor> sensor,
                                       InProcessOptions options)
    : sensor_(std::move(sensor)),
      short_read_wait_(options.short_read_wait),
      now_(options.now ? std::move(options.now) : [] { return std::chrono::steady_clock::now(); }),
      stream_rate_(options.stream_rate),
      baud_(options.baud) {}

bool InProcessTransport::PausedLocked() {
    const std::optional<std::uint32_t> due = sensor_->StreamPauseDue();
    if (!due) {
        pause_end_.reset();  // none, or the stream has ended meanwhile
        return false;
    }
    if (!pause_end_) {
        pause_ms_ = *due;
        pause_end_ = now_() + std::chrono::milliseconds(pause_ms_);
    }
    if (now_() < *pause_end_) return true;
    sensor_->EndStreamPause(static_cast<std::uint64_t>(pause_ms_ * stream_rate_ / 1000.0));
    pause_end_.reset();
    return false;
}

void InProcessTransport::Purge() {
    std::lock_guard lock(mutex_);
    input_.clear();
    ++purges_;
}

void InProcessTransport::Write(const std::uint8_t* data, std::size_t count) {
    {
        std::lock_guard lock(mutex_);
        written_.insert(written_.end(), data, data + count);
        // The sensor is fed under this transport's lock so that a concurrent
        // purge cannot fall between a request and its queued reply.
        std::vector<std::uint8_t> reply = sensor_->Feed(std::span(data, count), baud_);
        input_.insert(input_.end(), reply.begin(), reply.end());
    }
    arrived_.notify_all();
}

std::size_t InProcessTransport::Read(std::uint8_t* buffer, std::size_t count) {
    std::unique_lock lock(mutex_);
    auto top_up = [&] {
        if (input_.size() >= count || PausedLocked()) return;
        std::vector<std::uint8_t> frames;
        const std::size_t missing = count - input_.size();
        // A frame may be five bytes when garbage is injected; four per frame
        // rounded up is always enough.
        sensor_->ProduceStream(frames, (missing + 3) / 4);
        input_.insert(input_.end(), frames.begin(), frames.end());
        PausedLocked();  // the pause's time starts once the sensor reaches it
    };
    top_up();
    if (input_.size() < count && short_read_wait_.count() > 0 && !cancelled_) {
        arrived_.wait_for(lock, short_read_wait_, [&] {
            top_up();
            return input_.size() >= count || cancelled_;
        });
    }
    const std::size_t n = std::min(count, input_.size());
    std::copy_n(input_.begin(), n, buffer);
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(n));
    if (n < count) ++short_reads_;
    return n;
}

void InProcessTransport::CancelRead() {
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
    }
    arrived_.notify_all();
}

void InProcessTransport::ResumeReads() {
    std::lock_guard lock(mutex_);
    cancelled_ = false;
}

void InProcessTransport::SetBaudRate(std::uint32_t baud) {
    std::lock_guard lock(mutex_);
    baud_ = baud;
}

void InProcessTransport::SetBreak() {
    std::lock_guard lock(mutex_);
    break_set_ = true;
}

std::vector<std::uint8_t> InProcessTransport::WrittenBytes() const {
    std::lock_guard lock(mutex_);
    return written_;
}

void InProcessTransport::ClearLog() {
    std::lock_guard lock(mutex_);
    written_.clear();
}

std::size_t InProcessTransport::ShortReads() const {
    std::lock_guard lock(mutex_);
    return short_reads_;
}

std::size_t InProcessTransport::PurgeCount() const {
    std::lock_guard lock(mutex_);
    return purges_;
}

std::size_t InProcessTransport::QueuedBytes() const {
    std::lock_guard lock(mutex_);
    return input_.size();
}

std::uint32_t InProcessTransport::BaudRate() const {
    std::lock_guard lock(mutex_);
    return baud_;
}

bool InProcessTransport::BreakSet() const {
    std::lock_guard lock(mutex_);
    return break_set_;
}

}  // namespace mk27x::sim
