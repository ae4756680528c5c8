// GroupAligner: the sensors' samples on one common timeline, and the channels
// computed on it.
//
// The rows are the sample times of the slowest sensor (the reference): every
// other sensor's value at such a time is interpolated linearly between its two
// neighbouring samples. A sensor none of whose samples lies within two of its
// periods on either side of the time (no sample yet, a pause, a sensor that fell
// silent) is empty in that row, and so is every channel that uses it: a value is
// never carried over from an older sample.
//
// Periods are measured as the samples come (the mean of the steady intervals,
// pauses left out), starting from the hint given for each sensor. Unless a
// reference is fixed, it is chosen once, when every sensor has given a few
// samples or the warm-up has passed: the sensor with the longest period.
//
// A row is given out once it is final: when every other sensor has a sample at
// or after its time, or when the time is so far back that no such sample can
// still come (two periods plus the hand-over latency). The caller says what
// time it is (the steady clock of the samples), so the class is plain
// arithmetic and can be driven by a test at known times. Memory is bounded: a
// sensor keeps only the samples the next rows can need.
//
// A sensor the group reports absent (lost, being retried) is not waited for:
// its cells are empty until it is present again. When the reference is absent,
// the slowest present sensor with samples takes its place from the next row on
// (the rows' period may change then) and keeps it when the old one returns, so
// the rows never go back and forth; rows during the detection of the loss (the
// reference silent, not yet reported) are not given, a gap of that time.
//
// Threading: one thread at a time (the group drains the readers' inboxes into
// it, see SampleInbox).
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "group/channel.h"
#include "group/group_row.h"
#include "recording/sample_ring.h"

namespace mk27x {

struct AlignerOptions {
    // The reference sensor's index; -1: the slowest, chosen from the periods.
    int reference = -1;
    // How late a sample may be handed to the aligner after its sample time.
    double latency_s = 0.1;
    // With no fixed reference, the longest wait for every sensor's first
    // samples before the reference is chosen among those that have some.
    double warmup_s = 0.5;
    // A hard bound on the samples kept per sensor (the oldest go first).
    std::size_t max_samples = 1u << 18;
};

class GroupAligner {
public:
    // `period_hints_s`: per sensor, the period expected until it is measured
    // (0: unknown).
    GroupAligner(std::vector<std::string> sensors, std::vector<double> period_hints_s,
                 std::vector<std::unique_ptr<Channel>> channels, AlignerOptions options = {});
    ~GroupAligner();

    void Attach(GroupSink& sink) { sinks_.push_back(&sink); }
    void Detach(GroupSink& sink);

    // The columns: the sensors, then the channels.
    const std::vector<std::string>& Columns() const { return columns_; }
    std::size_t SensorCount() const { return sensors_.size(); }
    const std::vector<std::unique_ptr<Channel>>& Channels() const { return channels_; }

    // Replaces the computed channels (compiled over the same sensors); the
    // columns follow. Between runs only: before Begin or after Finish.
    void SetChannels(std::vector<std::unique_ptr<Channel>> channels);

    // The rows begin (the sinks are told); the aligner is emptied and every
    // sensor present.
    void Begin();
    // A sensor lost (false) or back (true); see above.
    void SetPresent(std::size_t sensor, bool present);
    bool Present(std::size_t sensor) const { return present_[sensor]; }
    // Every sink's Flush (a second has passed).
    void FlushSinks();
    // Samples of one sensor, oldest first, later than any given before
    // (an earlier or equal time is dropped).
    void Push(std::size_t sensor, std::span<const RecordedSample> samples);
    // Gives out every row final at `now_ns` (steady clock).
    void Advance(std::int64_t now_ns);
    // No more samples: every remaining row up to `end_ns` is given out (later
    // ones are dropped), then the sinks' End.
    void Finish(std::int64_t end_ns = std::numeric_limits<std::int64_t>::max());

    // The reference sensor, -1 while not chosen.
    int Reference() const { return reference_; }
    // A sensor's period as measured (or its hint), seconds.
    double PeriodS(std::size_t sensor) const;
    std::uint64_t Rows() const { return next_index_; }
    // The time of a sensor's newest sample; the lowest time when none came.
    std::int64_t LastSampleNs(std::size_t sensor) const;
    // Samples held now, all sensors (for tests of the memory bound).
    std::size_t SamplesHeld() const;

private:
    struct Point {
        std::int64_t ns;
        std::int64_t wall_ns;
        double value;
    };
    struct Track;

    void ChooseReference(std::int64_t now_ns, bool finishing);
    // The slowest present sensor with samples, -1 when none.
    int SlowestPresent() const;
    // Rows up to `now_ns` (finishing: all); gives them to the sinks.
    void Emit(std::int64_t now_ns, bool finishing,
              std::int64_t end_ns = std::numeric_limits<std::int64_t>::max());
    // The value of `track` at `t`, NaN when none near; `cursor` moves forward.
    double ValueAt(const Track& track, std::size_t& cursor, std::int64_t t) const;
    void Trim(std::int64_t now_ns);

    std::vector<std::string> sensors_;
    std::vector<std::unique_ptr<Channel>> channels_;
    std::vector<std::string> columns_;
    AlignerOptions options_;
    std::vector<std::unique_ptr<Track>> tracks_;
    std::vector<GroupSink*> sinks_;
    std::vector<bool> present_;
    int reference_ = -1;
    bool have_first_ = false;
    bool period_told_ = false;
    std::int64_t first_sample_ns_ = 0;
    std::int64_t last_now_ns_ = 0;
    // The time of the newest row given out.
    std::int64_t last_reference_ns_ = 0;
    std::uint64_t next_index_ = 0;
    // The batch being given out: rows and their values side by side.
    std::vector<GroupRow> rows_;
    std::vector<double> values_;
    std::vector<std::size_t> cursors_;
};

// The hand-over from a sensor's reader to the aligner's thread: the reader adds
// its batches, the aligner's thread takes them all at once.
class SampleInbox {
public:
    void Add(std::span<const RecordedSample> samples) {
        const std::lock_guard lock(mutex_);
        if (pending_.size() + samples.size() > kLimit) {
            dropped_ += samples.size();
            return;
        }
        pending_.insert(pending_.end(), samples.begin(), samples.end());
    }
    // Swaps the pending samples into `out` (which is cleared first).
    void Take(std::vector<RecordedSample>& out) {
        out.clear();
        const std::lock_guard lock(mutex_);
        out.swap(pending_);
    }
    // Samples refused because nobody took the inbox for too long.
    std::size_t Dropped() const {
        const std::lock_guard lock(mutex_);
        return dropped_;
    }
    // About 12 s at the line rate of 921600 baud.
    static constexpr std::size_t kLimit = 1u << 18;

private:
    mutable std::mutex mutex_;
    std::vector<RecordedSample> pending_;
    std::size_t dropped_ = 0;
};

}  // namespace mk27x
