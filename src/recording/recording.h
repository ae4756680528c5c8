// The recording: every decoded stream frame, or every measurement of a timed
// series, with its sample time, handed to the recording's sinks. The sinks are
// what the front ends want of the samples: the sample ring of the chart and the
// sample file, the CSV writer, the running statistics, a printer, a publisher.
// A sink keeps what it needs and no more, so memory does not grow with the
// length of a recording.
//
// Sample times: stream frames get theirs from the stream reader's timeline
// (evenly spaced at the stream's period, jumping where the stream paused); a
// measurement of a timed series gets the time its reply came.
//
// Threading: Begin, Add and End of one recording come from one thread at a
// time (the stream reader's while streaming, the caller's for a timed series);
// sinks are attached and detached from any thread. Every call into the sinks
// is made with the recording's lock held: a sink must not call back into the
// recording, and should be quick (Add runs between two reads of the stream).
#pragma once

#include <mutex>
#include <span>
#include <vector>

#include "protocol/recorded_sample.h"
#include "recording/csv_writer.h"
#include "recording/recording_sink.h"
#include "recording/sample_ring.h"
#include "recording/sample_statistics.h"

namespace mk27x {

class Recording final : public SampleConsumer {
public:
    // A sink attached during a recording takes it from its next samples on.
    void Attach(RecordingSink& sink);
    void Detach(RecordingSink& sink);

    // Ends a recording still running, then begins the next.
    void Begin(const RecordingStart& start);
    void Add(std::span<const RecordedSample> samples) override;
    void Add(const RecordedSample& sample) { Add(std::span<const RecordedSample>(&sample, 1)); }
    // Nothing when no recording runs.
    void End();
    void Flush();
    bool Active() const;

private:
    mutable std::mutex mutex_;
    std::vector<RecordingSink*> sinks_;
    bool active_ = false;
};

// A sink attached to a recording for the life of a scope.
class AttachedSink {
public:
    AttachedSink(Recording& recording, RecordingSink& sink) : recording_(recording), sink_(sink) {
        recording_.Attach(sink_);
    }
    ~AttachedSink() { recording_.Detach(sink_); }
    AttachedSink(const AttachedSink&) = delete;
    AttachedSink& operator=(const AttachedSink&) = delete;

private:
    Recording& recording_;
    RecordingSink& sink_;
};

// The sample ring as a sink: emptied at the start of a recording, appended to
// with every sample.
class RingSink final : public RecordingSink {
public:
    explicit RingSink(SampleRing& ring) : ring_(ring) {}
    void Begin(const RecordingStart&) override { ring_.Reset(); }
    void Add(std::span<const RecordedSample> samples) override {
        for (const RecordedSample& s : samples) ring_.Append(s.mm, s.time);
    }

private:
    SampleRing& ring_;
};

// The samples the ring holds, oldest first: the 10000 from WriteIndex round the
// ring when it has wrapped, else 0 .. WriteIndex - 1 (as the sample file).
std::vector<RecordedSample> TakeRecording(const SampleRing& ring);

}  // namespace mk27x
