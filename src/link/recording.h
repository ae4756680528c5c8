// The recording of the sample ring with its host times: the CSV export and the
// statistics of the samples.
//
// CSV (RFC 4180, UTF-8, CR LF line ends, a header row; numbers always with '.'
// as decimal point, whatever the locale):
//   index,time,seconds,mm
//   0,2024-05-01T12:00:00.000000Z,0.000000,25.000
// index counts from 0 in recording order (oldest first), time is the wall
// clock in ISO 8601 UTC with microseconds, seconds are monotonic seconds since
// the first sample of the export, mm has three decimals.
//
// Statistics: count, mean, standard deviation (of the sample, n - 1), minimum,
// maximum, peak-to-peak in one pass (Welford, block by block), and from the times the sample
// rate and the number of intervals longer than twice the median interval
// (frames the link lost).
//
// RunningStatistics is header-only (the chart keeps one for its points).
//
// Threading: plain functions and values; read the ring as SampleFileText does
// (no one appending, or accept what a concurrent append leaves).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "link/sample_ring.h"

namespace mk27x {

struct RecordedSample {
    float mm = 0;
    SampleTime time;
};

// The samples the ring holds, oldest first: the 10000 from WriteIndex round the
// ring when it has wrapped, else 0 .. WriteIndex - 1 (as the sample file).
std::vector<RecordedSample> TakeRecording(const SampleRing& ring);

// --- CSV -----------------------------------------------------------------------
inline constexpr const char* kCsvHeader = "index,time,seconds,mm";
// ISO 8601 UTC with microseconds: "2024-05-01T12:00:00.123456Z".
std::string IsoWallTime(std::int64_t wall_ns);
std::string CsvText(std::span<const RecordedSample> samples);
// Writes the CSV to `path` through a temporary file and a rename; false when
// that fails (the caller shows the sample file's failure message).
bool SaveCsvFile(std::span<const RecordedSample> samples, const std::string& path);

// --- statistics -------------------------------------------------------------------
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
    // From the monotonic times: samples per second over the recording (0 below
    // two samples or without elapsed time), the median interval, and the
    // intervals longer than twice it.
    double rate_hz = 0;
    double median_interval_s = 0;
    std::size_t gaps = 0;
};

SampleStatistics ComputeStatistics(std::span<const RecordedSample> samples);

// The statistics as the window shows them (lines separated by a carriage
// return, '.' as decimal point) and as one JSON object.
std::string StatisticsText(const SampleStatistics& s);
std::string StatisticsJson(const SampleStatistics& s);
inline constexpr const char* kNoSamplesText = "No samples.";

// A number with '.' as decimal point and `decimals` decimals, whatever the
// locale ("-0.000" reads "0.000").
std::string FixedNumber(double value, int decimals);

}  // namespace mk27x
