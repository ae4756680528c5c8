// SampleRing: the newest 10000 distances of a recording, appended by the stream
// reader thread while streaming and by timed measuring otherwise.
//
// Threading: one writer at a time. The owner's thread reads the ring only after
// streaming has been switched off; samples are individually atomic and the
// write index publishes them, so a late append of the reader cannot tear a read.
//
// Beside each sample the ring keeps the host's time of it (taken at the append,
// i.e. when the frame was decoded or the measurement returned): the monotonic
// clock for intervals and the wall clock for the record, both in nanoseconds.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "protocol/recorded_sample.h"

namespace mk27x {

class SampleRing {
public:
    static constexpr std::uint16_t kCapacity = 10000;

    void Append(float mm) { Append(mm, SampleTime::Now()); }
    void Append(float mm, SampleTime time) {
        const std::uint16_t i = WriteIndex.load(std::memory_order_relaxed);
        Samples[i].store(mm, std::memory_order_relaxed);
        MonotonicNs[i].store(time.monotonic_ns, std::memory_order_relaxed);
        WallNs[i].store(time.wall_ns, std::memory_order_relaxed);
        if (i == kCapacity - 1) Wrapped.store(true, std::memory_order_relaxed);
        WriteIndex.store(static_cast<std::uint16_t>((i + 1) % kCapacity),
                         std::memory_order_release);
    }

    void Reset() {
        Wrapped = false;
        WriteIndex = 0;
        ReadPosition = 0;
    }

    float At(std::uint16_t index) const { return Samples[index].load(std::memory_order_relaxed); }
    SampleTime TimeAt(std::uint16_t index) const {
        return {MonotonicNs[index].load(std::memory_order_relaxed),
                WallNs[index].load(std::memory_order_relaxed)};
    }

    std::array<std::atomic<float>, kCapacity> Samples{};
    // The times of Samples[i], written with it.
    std::array<std::atomic<std::int64_t>, kCapacity> MonotonicNs{};
    std::array<std::atomic<std::int64_t>, kCapacity> WallNs{};
    std::atomic<std::uint16_t> WriteIndex{0};
    std::atomic<bool> Wrapped{false};
    // How far the recording has been taken out of the ring; owner's thread only.
    std::uint16_t ReadPosition = 0;
};

}  // namespace mk27x
