#include "link/stream_reader.h"

#include <chrono>

namespace mk27x {

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

StreamReader::StreamReader(SensorProtocol& protocol, SampleRing& ring)
    : protocol_(protocol), ring_(ring) {}

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
    // A read in flight would hold the thread (and the port) for up to its
    // time-out: cut it short. No other read runs meanwhile, since the calls of
    // this object and the requests share the window thread.
    SensorPort& port = protocol_.Port();
    port.CancelRead();
    thread_.join();
    port.ResumeReads();
}

void StreamReader::StartStreaming() {
    {
        std::lock_guard lock(state_mutex_);
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
}

void StreamReader::HoldLinkAlive(bool hold) {
    std::lock_guard lock(state_mutex_);
    hold_link_alive_ = hold;
}

bool StreamReader::NextByte(std::uint64_t epoch, std::uint8_t& byte) {
    // Bytes read for an earlier stream belong to no one now.
    if (chunk_epoch_ != epoch) {
        chunk_size_ = chunk_pos_ = 0;
        chunk_epoch_ = epoch;
    }
    if (chunk_pos_ == chunk_size_) {
        chunk_pos_ = 0;
        chunk_size_ = 0;
        if (!streaming_.load() || epoch_.load() != epoch) return false;
        chunk_size_ = protocol_.Port().ReadAvailable(chunk_, sizeof chunk_);
        if (chunk_size_ == 0) return false;
    }
    byte = chunk_[chunk_pos_++];
    return true;
}

bool StreamReader::Pass(std::uint64_t epoch) {
    decoder_.BeginFrame();
    for (;;) {
        std::uint8_t byte;
        if (!NextByte(epoch, byte)) return false;  // the partial frame is dropped
        if (auto value = decoder_.Take(byte)) {
            const float mm = DistanceMm(*value, protocol_.Identity.MeasuringRange);
            {
                std::lock_guard lock(state_mutex_);
                // A read that began before the stream was stopped or restarted
                // brought bytes that belong to no recording.
                if (!Current(epoch)) return false;
                protocol_.LastDistance.store(mm, std::memory_order_relaxed);
                ring_.Append(mm);
            }
            frames_.fetch_add(1, std::memory_order_relaxed);
            if (frame_decoded) frame_decoded();
            return true;
        }
    }
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
        const bool success = Pass(epoch);
        {
            std::lock_guard lock(state_mutex_);
            if (Current(epoch) && !hold_link_alive_) protocol_.LinkAlive = success ? 1 : 0;
        }
        // A closed port answers every read at once: wait as when idle.
        if (!success && !protocol_.Port().IsOpen()) Idle(epoch);
    }
    done_ = true;
}

}  // namespace mk27x
