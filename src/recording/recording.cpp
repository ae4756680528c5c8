#include "recording/recording.h"

#include <algorithm>

namespace mk27x {

void Recording::Attach(RecordingSink& sink) {
    std::lock_guard lock(mutex_);
    if (std::find(sinks_.begin(), sinks_.end(), &sink) == sinks_.end()) sinks_.push_back(&sink);
}

void Recording::Detach(RecordingSink& sink) {
    std::lock_guard lock(mutex_);
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), &sink), sinks_.end());
}

void Recording::Begin(const RecordingStart& start) {
    std::lock_guard lock(mutex_);
    if (active_)
        for (RecordingSink* sink : sinks_) sink->End();
    active_ = true;
    for (RecordingSink* sink : sinks_) sink->Begin(start);
}

void Recording::Add(std::span<const RecordedSample> samples) {
    if (samples.empty()) return;
    std::lock_guard lock(mutex_);
    for (RecordingSink* sink : sinks_) sink->Add(samples);
}

void Recording::End() {
    std::lock_guard lock(mutex_);
    if (!active_) return;
    active_ = false;
    for (RecordingSink* sink : sinks_) sink->End();
}

void Recording::Flush() {
    std::lock_guard lock(mutex_);
    for (RecordingSink* sink : sinks_) sink->Flush();
}

bool Recording::Active() const {
    std::lock_guard lock(mutex_);
    return active_;
}

std::vector<RecordedSample> TakeRecording(const SampleRing& ring) {
    const std::uint16_t write_index = ring.WriteIndex.load(std::memory_order_acquire);
    const bool wrapped = ring.Wrapped.load(std::memory_order_relaxed);
    const std::uint32_t first = wrapped ? write_index : 0;
    const std::uint32_t count = wrapped ? SampleRing::kCapacity : write_index;
    std::vector<RecordedSample> samples;
    samples.reserve(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        const auto i = static_cast<std::uint16_t>((first + k) % SampleRing::kCapacity);
        samples.push_back({ring.At(i), ring.TimeAt(i)});
    }
    return samples;
}

}  // namespace mk27x
