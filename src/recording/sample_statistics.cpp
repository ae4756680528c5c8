#include "recording/sample_statistics.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "protocol/stream_timeline.h"
#include "recording/json_line.h"

namespace mk27x {
namespace {

constexpr std::size_t kBlock = 512;
// Intervals up to this many typical ones make the typical interval; longer ones
// (short pauses that are no gap) would drag it up.
constexpr double kSteadyFactor = 3.0;
// Gaps in a row this many, each within kSteadyFactor of their mean, are the
// typical interval itself: the one measured before (from a few squeezed first
// samples) was wrong.
constexpr std::size_t kAlikeGaps = 4;

}  // namespace

void StatisticsAccumulator::Reset(double period_s) {
    std::lock_guard lock(mutex_);
    hint_s_ = period_s;
    count_ = 0;
    mean_ = m2_ = min_ = max_ = 0;
    first_ns_ = last_ns_ = 0;
    steady_ = 0;
    steady_sum_s_ = 0;
    gaps_ = 0;
    like_gaps_ = 0;
    like_sum_s_ = 0;
}

void StatisticsAccumulator::Add(std::span<const RecordedSample> samples) {
    std::lock_guard lock(mutex_);
    for (std::size_t first = 0; first < samples.size(); first += kBlock)
        AddBlock(samples.subspan(first, std::min(kBlock, samples.size() - first)));
}

// Welford's update taken a block at a time (Chan's combination): the block's
// mean and squared deviations are formed while it is in the cache, then merged
// into the running figures. As stable as the update sample by sample, without a
// division per sample. The intervals are judged in the same pass.
void StatisticsAccumulator::AddBlock(std::span<const RecordedSample> block) {
    const std::size_t nb = block.size();
    double values[kBlock];
    double sum = 0;
    if (count_ == 0) {
        min_ = max_ = block[0].mm;
        first_ns_ = last_ns_ = block[0].time.monotonic_ns;
    }
    for (std::size_t i = 0; i < nb; ++i) {
        const RecordedSample& r = block[i];
        const double x = r.mm;
        values[i] = x;
        sum += x;
        min_ = std::min(min_, x);
        max_ = std::max(max_, x);
        if (count_ + i > 0) {
            const double interval = static_cast<double>(r.time.monotonic_ns - last_ns_) / 1e9;
            const double typical =
                steady_ > 0 ? std::max(steady_sum_s_ / static_cast<double>(steady_), hint_s_) : 0;
            if (steady_ > 0 && interval > GapThresholdS(typical)) {
                ++gaps_;
                Retype(interval);
            } else if (steady_ == 0 || interval <= kSteadyFactor * typical) {
                ++steady_;
                steady_sum_s_ += interval;
                like_gaps_ = 0;
            }
        }
        last_ns_ = r.time.monotonic_ns;
    }
    const double block_mean = sum / static_cast<double>(nb);
    double block_m2 = 0;
    for (std::size_t i = 0; i < nb; ++i) {
        const double d = values[i] - block_mean;
        block_m2 += d * d;
    }
    const auto na = static_cast<double>(count_);
    const double n = na + static_cast<double>(nb);
    const double delta = block_mean - mean_;
    mean_ += delta * static_cast<double>(nb) / n;
    m2_ += block_m2 + delta * delta * na * static_cast<double>(nb) / n;
    count_ += nb;
}

void StatisticsAccumulator::Retype(double interval) {
    const double mean = like_gaps_ > 0 ? like_sum_s_ / static_cast<double>(like_gaps_) : interval;
    if (interval > kSteadyFactor * mean || interval * kSteadyFactor < mean) like_gaps_ = 0;
    if (like_gaps_ == 0) like_sum_s_ = 0;
    ++like_gaps_;
    like_sum_s_ += interval;
    if (like_gaps_ < kAlikeGaps) return;
    gaps_ -= like_gaps_;
    steady_ = like_gaps_;
    steady_sum_s_ = like_sum_s_;
    like_gaps_ = 0;
}

SampleStatistics StatisticsAccumulator::Result() const {
    std::lock_guard lock(mutex_);
    SampleStatistics s;
    s.count = count_;
    if (count_ == 0) return s;
    s.mean = mean_;
    s.stddev = count_ < 2 ? 0 : std::sqrt(m2_ / static_cast<double>(count_ - 1));
    s.min = min_;
    s.max = max_;
    s.peak_to_peak = max_ - min_;
    if (count_ < 2) return s;
    const auto elapsed = static_cast<double>(last_ns_ - first_ns_) / 1e9;
    if (elapsed > 0) s.rate_hz = static_cast<double>(count_ - 1) / elapsed;
    s.median_interval_s = steady_ > 0 ? steady_sum_s_ / static_cast<double>(steady_) : 0;
    s.gaps = gaps_;
    return s;
}

SampleStatistics ComputeStatistics(std::span<const RecordedSample> samples, double period_s) {
    StatisticsAccumulator accumulator;
    accumulator.Reset(period_s);
    accumulator.Add(samples);
    return accumulator.Result();
}

std::string FixedNumber(double value, int decimals) {
    if (!std::isfinite(value)) return "-";
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return "-";
    std::string s(text, end);
    if (s[0] == '-' && s.find_first_not_of("0.", 1) == std::string::npos) s.erase(0, 1);
    return s;
}

std::string StatisticsJson(const SampleStatistics& s) {
    // Fixed decimals, so that the figures of one run line up with the next.
    auto figure = [](bool defined, double value, int decimals) -> std::string {
        return defined && std::isfinite(value) ? FixedNumber(value, decimals) : "null";
    };
    return JsonObjectLine({{"count", std::to_string(s.count)},
                           {"mean_mm", figure(s.HasValues(), s.mean, 6)},
                           {"stddev_mm", figure(s.HasSpread(), s.stddev, 6)},
                           {"min_mm", figure(s.HasValues(), s.min, 3)},
                           {"max_mm", figure(s.HasValues(), s.max, 3)},
                           {"peak_to_peak_mm", figure(s.HasValues(), s.peak_to_peak, 3)},
                           {"rate_hz", figure(s.HasRate(), s.rate_hz, 3)},
                           {"median_interval_s", figure(s.HasInterval(), s.median_interval_s, 6)},
                           {"gaps", std::to_string(s.gaps)}});
}

}  // namespace mk27x
