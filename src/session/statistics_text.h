// The statistics of a recording as lines of text, the same in every front end:
// lines separated by a carriage return, '.' as decimal point.
//
// Threading: a plain function.
#pragma once

#include <string>

#include "recording/sample_statistics.h"

namespace mk27x {

inline constexpr const char* kNoSamplesText = "No samples.";
std::string StatisticsText(const SampleStatistics& s);

}  // namespace mk27x
