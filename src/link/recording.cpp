#include "link/recording.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <ctime>

#include "link/sample_file.h"

namespace mk27x {

std::vector<RecordedSample> TakeRecording(const SampleRing& ring) {
    const std::uint16_t write_index = ring.WriteIndex.load(std::memory_order_acquire);
    const bool wrapped = ring.Wrapped.load(std::memory_order_relaxed);
    const std::uint32_t first = wrapped ? write_index : 0;
    const std::uint32_t count = wrapped ? SampleRing::kCapacity : write_index;
    std::vector<RecordedSample> samples;
    samples.reserve(count);
    for (std::uint32_t k = 0; k < count; ++k) {
        const auto i = static_cast<std::uint16_t>((first + k) % SampleRing::kCapacity);
        samples.push_back({ring.At(i), ring.TimeAt(i)});
    }
    return samples;
}

std::string FixedNumber(double value, int decimals) {
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return "nan";
    std::string s(text, end);
    if (s[0] == '-' && s.find_first_not_of("0.", 1) == std::string::npos) s.erase(0, 1);
    return s;
}

std::string IsoWallTime(std::int64_t wall_ns) {
    std::int64_t seconds = wall_ns / 1'000'000'000;
    std::int64_t rest_ns = wall_ns % 1'000'000'000;
    if (rest_ns < 0) {
        rest_ns += 1'000'000'000;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(rest_ns / 1000));
    return text;
}

std::string CsvText(std::span<const RecordedSample> samples) {
    std::string text = kCsvHeader;
    text += "\r\n";
    text.reserve(samples.size() * 52 + text.size());
    const std::int64_t start = samples.empty() ? 0 : samples.front().time.monotonic_ns;
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const RecordedSample& s = samples[k];
        text += std::to_string(k);
        text += ',';
        text += IsoWallTime(s.time.wall_ns);
        text += ',';
        text += FixedNumber(static_cast<double>(s.time.monotonic_ns - start) / 1e9, 6);
        text += ',';
        text += FixedNumber(static_cast<double>(s.mm), 3);
        text += "\r\n";
    }
    return text;
}

bool SaveCsvFile(std::span<const RecordedSample> samples, const std::string& path) {
    return ReplaceFileContents(path, CsvText(samples));
}

SampleStatistics ComputeStatistics(std::span<const RecordedSample> samples) {
    SampleStatistics s;
    s.count = samples.size();
    if (s.count == 0) return s;

    // Welford's update taken a block at a time (Chan's combination): each block's
    // mean and squared deviations are formed while it is in the cache, then
    // merged into the running figures. One pass over the samples, no division
    // per sample, and as stable as the update sample by sample. The intervals
    // are taken in the same pass.
    constexpr std::size_t kBlock = 512;
    double mean = 0;
    double m2 = 0;
    double min = samples[0].mm;
    double max = samples[0].mm;
    std::vector<std::int64_t> intervals(s.count - 1);
    double values[kBlock];
    for (std::size_t first = 0; first < s.count; first += kBlock) {
        const std::size_t nb = std::min(kBlock, s.count - first);
        double sum = 0;
        for (std::size_t i = 0; i < nb; ++i) {
            const RecordedSample& r = samples[first + i];
            const double x = r.mm;
            values[i] = x;
            sum += x;
            min = std::min(min, x);
            max = std::max(max, x);
            if (first + i > 0)
                intervals[first + i - 1] =
                    r.time.monotonic_ns - samples[first + i - 1].time.monotonic_ns;
        }
        const double block_mean = sum / static_cast<double>(nb);
        double block_m2 = 0;
        for (std::size_t i = 0; i < nb; ++i) {
            const double d = values[i] - block_mean;
            block_m2 += d * d;
        }
        const double na = static_cast<double>(first);
        const double n = na + static_cast<double>(nb);
        const double delta = block_mean - mean;
        mean += delta * static_cast<double>(nb) / n;
        m2 += block_m2 + delta * delta * na * static_cast<double>(nb) / n;
    }
    s.mean = mean;
    s.stddev = s.count < 2 ? 0 : std::sqrt(m2 / static_cast<double>(s.count - 1));
    s.min = min;
    s.max = max;
    s.peak_to_peak = max - min;
    if (s.count < 2) return s;

    const std::int64_t elapsed =
        samples.back().time.monotonic_ns - samples.front().time.monotonic_ns;
    if (elapsed > 0)
        s.rate_hz = static_cast<double>(s.count - 1) / (static_cast<double>(elapsed) / 1e9);
    // The median: the middle interval, or the mean of the two middle ones.
    const std::size_t mid = intervals.size() / 2;
    const auto middle = intervals.begin() + static_cast<std::ptrdiff_t>(mid);
    std::nth_element(intervals.begin(), middle, intervals.end());
    double median = static_cast<double>(*middle);
    if (intervals.size() % 2 == 0)
        median = (median + static_cast<double>(*std::max_element(intervals.begin(), middle))) / 2;
    s.median_interval_s = median / 1e9;
    // Longer than twice the median: only among those from the middle on.
    for (auto it = middle; it != intervals.end(); ++it)
        if (static_cast<double>(*it) > 2 * median) ++s.gaps;
    return s;
}

std::string StatisticsText(const SampleStatistics& s) {
    if (s.count == 0) return kNoSamplesText;
    return "Samples: " + std::to_string(s.count) + "\rMean: " + FixedNumber(s.mean, 3) +
           " mm\r\xCF\x83: " + FixedNumber(s.stddev, 3) + " mm\rMin: " + FixedNumber(s.min, 3) +
           " mm\rMax: " + FixedNumber(s.max, 3) +
           " mm\rPeak-to-peak: " + FixedNumber(s.peak_to_peak, 3) +
           " mm\rRate: " + FixedNumber(s.rate_hz, 1) + " Hz\rGaps: " + std::to_string(s.gaps);
}

std::string StatisticsJson(const SampleStatistics& s) {
    return "{\"count\": " + std::to_string(s.count) + ", \"mean_mm\": " + FixedNumber(s.mean, 6) +
           ", \"stddev_mm\": " + FixedNumber(s.stddev, 6) +
           ", \"min_mm\": " + FixedNumber(s.min, 3) + ", \"max_mm\": " + FixedNumber(s.max, 3) +
           ", \"peak_to_peak_mm\": " + FixedNumber(s.peak_to_peak, 3) +
           ", \"rate_hz\": " + FixedNumber(s.rate_hz, 3) +
           ", \"median_interval_s\": " + FixedNumber(s.median_interval_s, 6) +
           ", \"gaps\": " + std::to_string(s.gaps) + "}";
}

}  // namespace mk27x
