// Statistics of a recording: count, mean, standard deviation (of the sample,
// n - 1), minimum, maximum, peak-to-peak, and from the sample times the rate,
// the typical interval and the gaps.
//
// A gap is a pause of the recording longer than 20 ms or ten typical
// intervals, whichever is longer (frames the sensor did not send or the link
// lost). The typical interval is the mean of the steady intervals (up to three
// typical ones), measured from the samples alone: the first interval is taken
// as it comes (no gap is judged without a typical interval), and the expected
// period is only a floor under it (the line time of a frame for a stream).
// Four gaps in a row that are alike are no gaps but the typical interval: the
// one measured from a few first samples was wrong, and is replaced.
//
// StatisticsAccumulator is a recording sink: it takes the samples as they come
// in a single pass (Welford's update a block at a time) and keeps no samples.
// RunningStatistics is header-only (the chart keeps one for its points).
//
// Threading: the accumulator's Add comes from the recording's thread; Result()
// may be called from any thread at any time.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

#include "recording/recording_sink.h"
#include "recording/sample_ring.h"

namespace mk27x {

// Welford's running mean and variance with minimum and maximum.
class RunningStatistics {
public:
    void Add(double x) {
        ++count_;
        const double delta = x - mean_;
        mean_ += delta / static_cast<double>(count_);
        m2_ += delta * (x - mean_);
        if (count_ == 1 || x < min_) min_ = x;
        if (count_ == 1 || x > max_) max_ = x;
    }
    void Clear() { *this = RunningStatistics(); }

    std::size_t Count() const { return count_; }
    double Mean() const { return mean_; }
    // Standard deviation of the sample (n - 1); 0 below two values.
    double StdDev() const {
        return count_ < 2 ? 0 : std::sqrt(m2_ / static_cast<double>(count_ - 1));
    }
    double Min() const { return min_; }
    double Max() const { return max_; }

private:
    std::size_t count_ = 0;
    double mean_ = 0;
    double m2_ = 0;
    double min_ = 0;
    double max_ = 0;
};

struct SampleStatistics {
    std::size_t count = 0;
    double mean = 0;
    double stddev = 0;
    double min = 0;
    double max = 0;
    double peak_to_peak = 0;
    // Samples per second over the recording (0 below two samples or without
    // elapsed time), the typical interval, and the gaps.
    double rate_hz = 0;
    double median_interval_s = 0;
    std::size_t gaps = 0;

    // The figures the samples define: none without samples, no standard
    // deviation below two, no rate or interval without elapsed time. What is
    // not defined is null in JSON and "-" in text, never 0.
    bool HasValues() const { return count > 0; }
    bool HasSpread() const { return count > 1; }
    bool HasRate() const { return count > 1 && rate_hz > 0; }
    bool HasInterval() const { return count > 1 && median_interval_s > 0; }
};

class StatisticsAccumulator final : public RecordingSink {
public:
    // A new recording whose samples come at least `period_s` apart (0: unknown).
    void Reset(double period_s = 0);
    void Begin(const RecordingStart& start) override { Reset(start.period_s); }
    void Add(std::span<const RecordedSample> samples) override;
    SampleStatistics Result() const;

private:
    void AddBlock(std::span<const RecordedSample> block);
    // Counts a gap towards a new typical interval (see kAlikeGaps).
    void Retype(double interval);

    mutable std::mutex mutex_;
    double hint_s_ = 0;
    std::size_t count_ = 0;
    double mean_ = 0;
    double m2_ = 0;
    double min_ = 0;
    double max_ = 0;
    std::int64_t first_ns_ = 0;
    std::int64_t last_ns_ = 0;
    // The intervals that are not gaps: their number and sum (seconds).
    std::size_t steady_ = 0;
    double steady_sum_s_ = 0;
    std::size_t gaps_ = 0;
    // The latest gaps in a row, alike: their number and sum (seconds).
    std::size_t like_gaps_ = 0;
    double like_sum_s_ = 0;
};

// The statistics of samples already in memory.
SampleStatistics ComputeStatistics(std::span<const RecordedSample> samples, double period_s = 0);

// The statistics as one JSON object; a figure the samples do not define (or
// that is not a finite number) is null.
std::string StatisticsJson(const SampleStatistics& s);

// A number with '.' as decimal point and `decimals` decimals, whatever the
// locale ("-0.000" reads "0.000"); "-" for what is not a finite number.
std::string FixedNumber(double value, int decimals);

}  // namespace mk27x
