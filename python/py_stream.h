// The sinks the module attaches to the session's recording: one that keeps a
// whole stream for NumPy, and a bounded queue that hands a stream over in
// chunks as it comes (Sensor.stream_chunks).
//
// Threading: Add runs on the stream reader's thread (with the recording's lock
// held); everything else on the Python side, with or without the GIL.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>

#include "py_sensor.h"
#include "py_types.h"
#include "recording/recording.h"

namespace mk27x::python {

// Every sample of one recording, for NumPy at its end.
class ColumnSink final : public RecordingSink {
public:
    void Add(std::span<const RecordedSample> samples) override {
        std::lock_guard lock(mutex_);
        columns_.Append(samples);
    }
    // After the recording (no reader adds any more).
    const SampleColumns& Columns() const { return columns_; }

private:
    std::mutex mutex_;
    SampleColumns columns_;
};

// Samples waiting for the consumer, at most `capacity`: beyond it the oldest
// are dropped and counted.
class ChunkQueue final : public RecordingSink {
public:
    explicit ChunkQueue(std::size_t capacity) : capacity_(capacity == 0 ? 1 : capacity) {}
    void Add(std::span<const RecordedSample> samples) override;
    // Waits up to `ms` for a sample to be pending.
    void WaitFor(unsigned ms);
    bool Pending() const;
    // Everything pending, oldest first.
    SampleColumns Take();
    std::uint64_t Dropped() const;
    // The stream's first sample (none before it).
    std::optional<FirstSample> First() const;

private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<RecordedSample> pending_;
    std::uint64_t dropped_ = 0;
    std::optional<FirstSample> first_;
};

// One stream_chunks iteration: the stream runs from construction until the
// time is up, the iteration ends, a signal or close() comes, or the object
// goes. It keeps its sensor alive.
class ChunkStream {
public:
    ChunkStream(std::shared_ptr<Sensor> sensor, std::optional<double> seconds,
                std::size_t max_pending);
    ~ChunkStream();
    ChunkStream(const ChunkStream&) = delete;
    ChunkStream& operator=(const ChunkStream&) = delete;

    // The next chunk, Samples(t, mm) with t0; raises StopIteration at the end,
    // NoAnswer with the samples not yet handed over when the stream is lost
    // (GIL held).
    py::object Next();
    // Stops the stream (GIL held); idempotent.
    void Close();
    std::uint64_t Dropped() const { return queue_.Dropped(); }
    bool Finished() const { return finished_; }

    // The sensor's operation lock held, GIL released: stream stop request,
    // reader idle, queue detached.
    void FinishLocked();

private:
    std::shared_ptr<Sensor> sensor_;
    ChunkQueue queue_;
    TimedStream stream_;
    bool finished_ = false;
};

}  // namespace mk27x::python
