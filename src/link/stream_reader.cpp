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
    ReaderRun = true;
    ReaderDone = false;
    thread_ = std::thread([this] { Run(); });
}

void StreamReader::Stop() {
    StreamActive = false;
    {
        std::lock_guard lock(idle_mutex_);
        ReaderRun = false;
    }
    idle_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool StreamReader::NextByte(std::uint8_t& byte) {
    if (chunk_pos_ == chunk_size_) {
        chunk_pos_ = 0;
        chunk_size_ = protocol_.Port().ReadAvailable(chunk_, sizeof chunk_);
        if (chunk_size_ == 0) return false;
    }
    byte = chunk_[chunk_pos_++];
    return true;
}

bool StreamReader::Pass() {
    decoder_.BeginFrame();
    for (;;) {
        std::uint8_t byte;
        if (!NextByte(byte)) return false;  // the partial frame is dropped
        if (auto value = decoder_.Take(byte)) {
            const float mm = DistanceMm(*value, protocol_.Identity.MeasuringRange);
            protocol_.LastDistance.store(mm, std::memory_order_relaxed);
            ring_.Append(mm);
            frames_.fetch_add(1, std::memory_order_relaxed);
            if (frame_decoded) frame_decoded();
            return true;
        }
    }
}

void StreamReader::Run() {
    while (ReaderRun) {
        if (!StreamActive) {
            // Idle: bytes left over from the last stream belong to no one now.
            chunk_size_ = chunk_pos_ = 0;
            std::unique_lock lock(idle_mutex_);
            idle_.wait_for(lock, std::chrono::milliseconds(50), [this] { return !ReaderRun; });
            continue;
        }
        const bool success = Pass();
        if (StreamActive && !AnimationRunning) protocol_.LinkAlive = success ? 1 : 0;
    }
    ReaderDone = true;
}

}  // namespace mk27x
