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
    RunningStatistics run;
    for (const RecordedSample& r : samples) run.Add(static_cast<double>(r.mm));
    s.count = run.Count();
    if (s.count == 0) return s;
    s.mean = run.Mean();
    s.stddev = run.StdDev();
    s.min = run.Min();
    s.max = run.Max();
    s.peak_to_peak = s.max - s.min;
    if (s.count < 2) return s;

    const std::int64_t elapsed =
        samples.back().time.monotonic_ns - samples.front().time.monotonic_ns;
    if (elapsed > 0)
        s.rate_hz = static_cast<double>(s.count - 1) / (static_cast<double>(elapsed) / 1e9);
    std::vector<std::int64_t> intervals(s.count - 1);
    for (std::size_t k = 1; k < s.count; ++k)
        intervals[k - 1] = samples[k].time.monotonic_ns - samples[k - 1].time.monotonic_ns;
    // The median: the middle one, or the mean of the two middle ones.
    const std::size_t mid = intervals.size() / 2;
    std::nth_element(intervals.begin(), intervals.begin() + static_cast<std::ptrdiff_t>(mid),
                     intervals.end());
    double median = static_cast<double>(intervals[mid]);
    if (intervals.size() % 2 == 0) {
        const auto lower = *std::max_element(intervals.begin(),
                                             intervals.begin() + static_cast<std::ptrdiff_t>(mid));
        median = (median + static_cast<double>(lower)) / 2;
    }
    s.median_interval_s = median / 1e9;
    for (std::size_t k = 1; k < s.count; ++k) {
        const std::int64_t d = samples[k].time.monotonic_ns - samples[k - 1].time.monotonic_ns;
        if (static_cast<double>(d) > 2 * median) ++s.gaps;
    }
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
