// Samples as they are published: cut into batches per topic, one batch per
// 100 ms or 1000 samples, whichever comes first, each a JSON object
//
//   {"t0": "2024-05-01T12:00:00.000000Z", "unit": "mm",
//    "seconds": [0.000000, 0.000477], "mm": [25.000, 25.012], "seq": 17}
//
// t0 is the wall-clock time (ISO 8601 UTC, microseconds) of the batch's first
// sample, `seconds` the sample times as offsets from it (from the monotonic
// sample times, so the first is 0 and they grow even when the wall clock is
// set), `mm` the values with three decimals (null where a value is not a
// finite number: a channel's division by zero, say) in `unit` (null when it
// has none known), and `seq` counts the batches
// of the topic from 0, so that a subscriber sees a lost batch as a hole (and a
// batch sent again after a reconnect as a repeat).
//
// A batch keeps 8 bytes a sample: the distance as float and the offset in
// microseconds.
//
// BatchStream is the batching of one topic: a sensor's samples or a computed
// channel's. Its Add only appends to the open batch under a short lock; the
// publisher's thread takes the closed batches (and the open one once it is
// 100 ms old) with Take.
//
// Threading: Add, Close and Take from any thread (Add from the recording's).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "recording/sample_ring.h"

namespace mk27x {

struct SampleBatch {
    std::uint64_t seq = 0;
    std::int64_t t0_wall_ns = 0;
    std::int64_t t0_monotonic_ns = 0;
    std::vector<std::int32_t> offset_us;
    std::vector<float> mm;

    std::size_t Size() const { return mm.size(); }
    // The monotonic time of the last sample.
    std::int64_t LastMonotonicNs() const {
        return offset_us.empty() ? t0_monotonic_ns : t0_monotonic_ns + offset_us.back() * 1000LL;
    }
};

// `unit_json`: the unit as a JSON value ("\"mm\"", or null).
std::string BatchJson(const SampleBatch& batch, std::string_view unit_json = "\"mm\"");

class BatchStream {
public:
    static constexpr std::size_t kMaxSamples = 1000;
    static constexpr std::chrono::milliseconds kMaxAge{100};

    explicit BatchStream(std::string topic, std::string unit_json = "\"mm\"")
        : topic_(std::move(topic)), unit_json_(std::move(unit_json)) {}
    const std::string& Topic() const { return topic_; }
    const std::string& UnitJson() const { return unit_json_; }

    void Add(std::span<const RecordedSample> samples);
    // The open batch is closed (the end of a recording).
    void Close();
    // Appends the closed batches, oldest first, to `out`, and the open one too
    // when it got its first sample `kMaxAge` or more before `now` or `all`.
    void Take(std::vector<SampleBatch>& out, std::chrono::steady_clock::time_point now, bool all);

private:
    void CloseLocked();

    const std::string topic_;
    const std::string unit_json_;
    std::mutex mutex_;
    SampleBatch open_;
    std::chrono::steady_clock::time_point opened_;
    std::vector<SampleBatch> closed_;
    std::uint64_t next_seq_ = 0;
};

}  // namespace mk27x
