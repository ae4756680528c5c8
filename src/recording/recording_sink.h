// A sink of the recording (see recording.h): what one front end keeps of the
// samples.
#pragma once

#include <span>

#include "recording/sample_ring.h"

namespace mk27x {

struct RecordingStart {
    // A stream (or else a timed series).
    bool stream = false;
    // The expected interval between samples, in seconds (0 when unknown).
    double period_s = 0;
};

class RecordingSink {
public:
    virtual ~RecordingSink() = default;
    // A recording starts.
    virtual void Begin(const RecordingStart& /*start*/) {}
    // Samples in recording order, oldest first.
    virtual void Add(std::span<const RecordedSample> samples) = 0;
    // The recording ended (stopped, lost, or replaced by the next).
    virtual void End() {}
    // A second has passed: whatever is buffered goes out.
    virtual void Flush() {}
};

}  // namespace mk27x
