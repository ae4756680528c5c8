#include "protocol/stream_reader.h"

#include <chrono>

#include "transport/sensor_port.h"

namespace mk27x {
namespace {

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::int64_t WallNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::optional<std::uint16_t> FrameDecoder::Take(std::uint8_t byte) {
    const int tag = byte & 0x70;
    if (tag != remembered_tag_) {
        remembered_tag_ = tag;
        index_ = 0;
    }
    if (index_ == 0) nibbles_ = 0;
    nibbles_ |= static_cast<unsigned>(byte & 0x0F) << (4 * index_);
    if (++index_ < 4) return std::nullopt;
    index_ = 0;
    return static_cast<std::uint16_t>(nibbles_);
}

StreamReader::StreamReader(StreamLink& link, SampleConsumer& recording)
    : link_(link), recording_(recording) {
    const std::size_t most_frames = kChunkBytes / 4 + 1;
    times_.resize(most_frames);
    values_.reserve(most_frames);
    batch_.reserve(most_frames);
}

StreamReader::~StreamReader() {
    Stop();
}

void StreamReader::Resume() {
    if (thread_.joinable()) return;
    run_ = true;
    done_ = false;
    thread_ = std::thread([this] { Run(); });
}

void StreamReader::Stop() {
    StopStreaming();
    {
        std::lock_guard lock(idle_mutex_);
        run_ = false;
    }
    idle_.notify_all();
    if (!thread_.joinable()) {
        done_ = true;
        return;
    }
    SensorPort& port = link_.StreamPort();
    port.CancelRead();
    thread_.join();
    port.ResumeReads();
}

void StreamReader::StartStreaming(double prior_period_s) {
    {
        std::lock_guard lock(state_mutex_);
        prior_period_s_ = prior_period_s;
        wall_offset_ns_ = WallNs() - SteadyNs();
        epoch_.fetch_add(1);
        streaming_ = true;
    }
    { std::lock_guard lock(idle_mutex_); }
    idle_.notify_all();
}

void StreamReader::StopStreaming() {
    {
        std::lock_guard lock(state_mutex_);
        streaming_ = false;
    }
    { std::lock_guard lock(idle_mutex_); }
    idle_.notify_all();
    // A read in flight could hold the port for up to its time-out and take the
    // reply to the next request: cut it short and wait until it has returned.
    // A read begun after this point sees streaming off and is not made.
    std::unique_lock lock(read_mutex_);
    if (!in_read_) return;
    SensorPort& port = link_.StreamPort();
    port.CancelRead();
    read_done_.wait(lock, [this] { return !in_read_; });
    port.ResumeReads();
}

void StreamReader::HoldLinkAlive(bool hold) {
    std::lock_guard lock(state_mutex_);
    hold_link_alive_ = hold;
}

void StreamReader::ReadChunk(std::uint64_t epoch) {
    if (reader_epoch_ != epoch) {
        // A new stream: its frames start afresh.
        reader_epoch_ = epoch;
        decoder_.BeginFrame();
        timeline_.Reset(prior_period_s_.load());
    }
    {
        std::lock_guard lock(read_mutex_);
        in_read_ = true;
    }
    std::size_t size = 0;
    if (streaming_.load() && epoch_.load() == epoch)
        size = link_.StreamPort().ReadAvailable(chunk_, sizeof chunk_);
    const std::int64_t arrival = SteadyNs();
    {
        std::lock_guard lock(read_mutex_);
        in_read_ = false;
    }
    read_done_.notify_all();

    if (size == 0) {
        decoder_.BeginFrame();  // the partial frame is dropped
        {
            std::lock_guard lock(state_mutex_);
            if (Current(epoch) && !hold_link_alive_) link_.LinkAliveFlag() = 0;
        }
        // A closed port answers every read at once: wait as when idle.
        if (!link_.StreamPort().IsOpen()) Idle(epoch);
        return;
    }

    values_.clear();
    for (std::size_t i = 0; i < size; ++i)
        if (auto value = decoder_.Take(chunk_[i])) values_.push_back(*value);
    if (values_.empty()) return;

    const std::span<std::int64_t> times(times_.data(), values_.size());
    timeline_.Place(arrival, size == sizeof chunk_, times);
    const std::int64_t wall_offset = wall_offset_ns_.load();
    const std::uint16_t range = link_.StreamRange();
    batch_.clear();
    for (std::size_t i = 0; i < values_.size(); ++i)
        batch_.push_back({DistanceMm(values_[i], range), {times[i], times[i] + wall_offset}});
    {
        std::lock_guard lock(state_mutex_);
        // A read that began before the stream was stopped or restarted brought
        // bytes that belong to no recording.
        if (!Current(epoch)) return;
        link_.LastDistanceValue().store(batch_.back().mm, std::memory_order_relaxed);
        recording_.Add(batch_);
        if (!hold_link_alive_) link_.LinkAliveFlag() = 1;
    }
    frames_.fetch_add(batch_.size(), std::memory_order_relaxed);
    if (frames_decoded) frames_decoded(batch_);
}

void StreamReader::Idle(std::uint64_t seen_epoch) {
    const bool was_streaming = streaming_.load();
    std::unique_lock lock(idle_mutex_);
    idle_.wait_for(lock, std::chrono::milliseconds(50), [&] {
        return !run_.load() || streaming_.load() != was_streaming || epoch_.load() != seen_epoch;
    });
}

void StreamReader::Run() {
    while (run_) {
        const std::uint64_t epoch = epoch_.load();
        if (!streaming_) {
            Idle(epoch);
            continue;
        }
        ReadChunk(epoch);
    }
    done_ = true;
}

}  // namespace mk27x
