#include "session/statistics_text.h"

#include "link/sample_statistics.h"

namespace mk27x {

std::string StatisticsText(const SampleStatistics& s) {
    if (s.count == 0) return kNoSamplesText;
    return "Samples: " + std::to_string(s.count) + "\rMean: " + FixedNumber(s.mean, 3) +
           " mm\r\xCF\x83: " + FixedNumber(s.stddev, 3) + " mm\rMin: " + FixedNumber(s.min, 3) +
           " mm\rMax: " + FixedNumber(s.max, 3) +
           " mm\rPeak-to-peak: " + FixedNumber(s.peak_to_peak, 3) +
           " mm\rRate: " + FixedNumber(s.rate_hz, 1) + " Hz\rGaps: " + std::to_string(s.gaps);
}

}  // namespace mk27x
