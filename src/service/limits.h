// The limits of a line's sensors and channels and the judgement of their
// values (see Judge in serve/line_snapshot.h):
//
//   --limit NAME=LOW..HIGH      e.g. thickness=11.95..12.05, A=-0.5..0.5
//
// LOW and HIGH are millimetres, finite, LOW <= HIGH; both ends are inside.
//
// Threading: plain values; JudgementCounts belongs to the run loop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "serve/line_snapshot.h"

namespace mk27x {

struct NamedLimits {
    std::string name;
    Limits limits;
};

// "NAME=LOW..HIGH"; nothing, and why in `error`, when it does not read.
std::optional<NamedLimits> ParseLimitSpec(const std::string& text, std::string& error);

// Why `limits` are not usable (not finite, LOW above HIGH), empty when sound.
std::string CheckLimits(const Limits& limits);

// {"ok": 1, "low": 0, "high": 2, "none": 0}
std::string JudgementCountsJson(const JudgementCounts& counts);

}  // namespace mk27x
