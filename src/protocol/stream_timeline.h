// StreamTimeline: the sample time of every stream frame.
//
// The port hands the stream over in reads of whatever has arrived, so frames
// come in bunches: one read may carry one frame or hundreds, and its arrival time
// says only that its last frame was sent no later. The sensor, though, sends its
// frames at a steady period. The timeline learns that period from the arrivals
// and places the frames of each read back from the read's arrival, one period
// apart, continuing the times of the previous read:
//
//  - A read that did not fill the caller's buffer took everything there was:
//    its last frame was sent just before its arrival. Two such reads give the
//    period (the time between them over the frames between them), whatever
//    came between: full reads, late reads of a slow machine, a long first
//    read. The baseline of the measurement moves on as the stream runs, so it
//    always spans between one and two windows (a second and at least 32
//    frames), and jitter of single reads averages out while a stretch that
//    was measured wrong is forgotten.
//  - Until the baseline spans 50 ms and a frame, there is no estimate: the
//    frames are spaced at least the caller's prior (the time one frame takes on
//    the line, the shortest period possible) and no pause is ever seen.
//  - A frame can never be stamped later than its arrival: when the continued
//    times would pass the arrival the timeline is pulled back to it.
//  - Arrivals later than the continued times by more than the pause threshold
//    (GapThresholdS of the period) mean the stream paused (frames were not sent
//    or were lost): the timeline starts again at the arrival, so the times jump
//    by the pause, and the baseline starts again there.
//  - Between those, the timeline creeps toward the arrivals by half the
//    smallest lead of the reads of a quarter of a second, spread over the
//    reads of the next: a period measured slightly short does not let it fall
//    behind, and the latency of single reads does not show in the times.
//
// A read that filled the caller's buffer says little about when its frames came
// (more were waiting behind them): its arrival pulls the timeline back but never
// makes it jump nor enters the period.
//
// Times are monotonic nanoseconds. Pure arithmetic on the caller's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace mk27x {

// The shortest pause counted as a gap, and the rule for it: longer than 20 ms
// or ten frame periods, whichever is longer.
inline constexpr double kGapMinimumS = 0.020;
inline constexpr double kGapPeriods = 10.0;
inline constexpr double GapThresholdS(double period_s) {
    return period_s * kGapPeriods > kGapMinimumS ? period_s * kGapPeriods : kGapMinimumS;
}

// The time one four-byte frame takes on a line of `baud` (8E1: 11 bits a byte).
inline constexpr double FrameLineTimeS(std::uint32_t baud) {
    return baud == 0 ? 0.0 : 4.0 * 11.0 / static_cast<double>(baud);
}

class StreamTimeline {
public:
    // A new stream whose frames come at least `prior_period_s` apart (the
    // line time of a frame; 0 when unknown).
    void Reset(double prior_period_s);

    // Times of `out.size()` frames completed by a read that returned at
    // `arrival_ns`; `buffer_full` when the read filled the reader's buffer.
    // Times are strictly increasing across calls.
    void Place(std::int64_t arrival_ns, bool buffer_full, std::span<std::int64_t> out);

    // The period in use, in seconds.
    double PeriodS() const { return period_ns_ / 1e9; }
    // Whether the period has been measured (pauses are seen only then).
    bool Measured() const { return measured_; }
    // Pauses the timeline has jumped over since Reset.
    std::size_t Pauses() const { return pauses_; }

private:
    // A read that took all there was: frame `frames` was sent by `arrival_ns`.
    struct Mark {
        std::int64_t arrival_ns = 0;
        std::uint64_t frames = 0;
    };
    void Measure(Mark now);
    void Creep(std::int64_t arrival_ns, double lead_ns);

    double prior_ns_ = 0;
    double period_ns_ = 0;
    bool measured_ = false;
    bool anchored_ = false;
    double last_ns_ = 0;  // time given to the newest frame
    std::uint64_t frames_ = 0;
    // The baseline of the period: `old_` to the newest mark, `young_` the
    // next start once the window has passed.
    bool have_base_ = false;
    Mark old_;
    Mark young_;
    std::size_t pauses_ = 0;
    // The creep: the smallest lead of the reads of the current window, and
    // the share of it each read of the next one takes over.
    std::int64_t creep_start_ns_ = 0;
    std::size_t creep_reads_ = 0;
    double min_lead_ns_ = 0;
    double creep_step_ns_ = 0;
};

}  // namespace mk27x
