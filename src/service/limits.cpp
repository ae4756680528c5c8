#include "service/limits.h"

#include <charconv>
#include <cmath>

namespace mk27x {
namespace {

bool ReadNumber(const std::string& text, double& out) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, out);
    return !text.empty() && ec == std::errc() && ptr == end;
}

}  // namespace

std::string CheckLimits(const Limits& limits) {
    if (!std::isfinite(limits.low) || !std::isfinite(limits.high))
        return "limits must be finite numbers";
    if (limits.low > limits.high) return "the low limit is above the high one";
    return {};
}

std::optional<NamedLimits> ParseLimitSpec(const std::string& text, std::string& error) {
    const std::size_t eq = text.find('=');
    const std::size_t dots = eq == std::string::npos ? eq : text.find("..", eq + 1);
    if (eq == 0 || dots == std::string::npos) {
        error = "a limit is NAME=LOW..HIGH, not '" + text + "'";
        return std::nullopt;
    }
    NamedLimits named{text.substr(0, eq), {}};
    if (!ReadNumber(text.substr(eq + 1, dots - eq - 1), named.limits.low) ||
        !ReadNumber(text.substr(dots + 2), named.limits.high)) {
        error = "the limits of " + named.name + " are not numbers: '" + text.substr(eq + 1) + "'";
        return std::nullopt;
    }
    if (std::string problem = CheckLimits(named.limits); !problem.empty()) {
        error = named.name + ": " + problem;
        return std::nullopt;
    }
    return named;
}

std::string JudgementCountsJson(const JudgementCounts& c) {
    return "{\"ok\": " + std::to_string(c.ok) + ", \"low\": " + std::to_string(c.low) +
           ", \"high\": " + std::to_string(c.high) + ", \"none\": " + std::to_string(c.none) + "}";
}

}  // namespace mk27x
