// A sample of a recording (a distance and the host's time of it) and what a
// producer of samples, such as the stream reader, hands them to: the
// recording (see recording.h), which passes them on to its sinks.
//
// Threading: a SampleConsumer is called from the producer's thread; see the
// consumer's own contract.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>

namespace mk27x {

// The host's time of one sample, in nanoseconds since the clocks' epochs.
struct SampleTime {
    std::int64_t monotonic_ns = 0;  // steady clock
    std::int64_t wall_ns = 0;       // system clock (Unix epoch, UTC)

    static SampleTime Now() {
        return {std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::steady_clock::now().time_since_epoch())
                    .count(),
                std::chrono::duration_cast<std::chrono::nanoseconds>(
                    std::chrono::system_clock::now().time_since_epoch())
                    .count()};
    }
};

// One sample of a recording: the distance and its time.
struct RecordedSample {
    float mm = 0;
    SampleTime time;
};

class SampleConsumer {
public:
    virtual ~SampleConsumer() = default;
    // Samples in recording order, oldest first.
    virtual void Add(std::span<const RecordedSample> samples) = 0;
};

}  // namespace mk27x
