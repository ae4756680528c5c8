#include "session/statistics_text.h"

#include "recording/sample_statistics.h"

namespace mk27x {

std::string StatisticsText(const SampleStatistics& s) {
    if (s.count == 0) return kNoSamplesText;
    // A figure the samples do not define reads "-".
    auto figure = [](bool defined, double value, int decimals, const char* unit) {
        return defined ? FixedNumber(value, decimals) + unit : std::string("-");
    };
    return "Samples: " + std::to_string(s.count) + "\rMean: " + figure(true, s.mean, 3, " mm") +
           "\r\xCF\x83: " + figure(s.HasSpread(), s.stddev, 3, " mm") +
           "\rMin: " + figure(true, s.min, 3, " mm") + "\rMax: " + figure(true, s.max, 3, " mm") +
           "\rPeak-to-peak: " + figure(true, s.peak_to_peak, 3, " mm") +
           "\rRate: " + figure(s.HasRate(), s.rate_hz, 1, " Hz") +
           "\rGaps: " + std::to_string(s.gaps);
}

}  // namespace mk27x
