#include "link/stream_timeline.h"

#include <algorithm>
#include <cmath>

namespace mk27x {
namespace {

// The baseline measures the period once it spans this many frames and this long.
constexpr std::uint64_t kBaselineFrames = 16;
constexpr double kBaselineNs = 20e6;
// The share of an arrival's lead the timeline takes over per read.
constexpr double kCreep = 1.0 / 16;
// The shortest period believed (1 MHz frames are beyond any line).
constexpr double kShortestPeriodNs = 1000;

}  // namespace

void StreamTimeline::Reset(double prior_period_s) {
    *this = StreamTimeline();
    prior_ns_ = std::max(prior_period_s * 1e9, kShortestPeriodNs);
    period_ns_ = prior_ns_;
}

void StreamTimeline::Rebase(std::int64_t arrival_ns) {
    have_base_ = true;
    base_arrival_ns_ = arrival_ns;
    base_frames_ = frames_;
}

void StreamTimeline::Place(std::int64_t arrival_ns, bool buffer_full, std::span<std::int64_t> out) {
    const std::size_t k = out.size();
    if (k == 0) return;
    frames_ += k;
    const auto arrival = static_cast<double>(arrival_ns);

    if (have_base_ && !buffer_full) {
        const std::uint64_t n = frames_ - base_frames_;
        const auto span = static_cast<double>(arrival_ns - base_arrival_ns_);
        if (n >= kBaselineFrames && span >= kBaselineNs)
            period_ns_ = std::max(span / static_cast<double>(n), kShortestPeriodNs);
    }

    // The time of this read's last frame, and whether the read continues the
    // previous one (its frames then share the time since the last one evenly).
    double end = arrival;
    bool continues = false;
    if (!anchored_) {
        anchored_ = true;
        if (!buffer_full) Rebase(arrival_ns);
    } else {
        const double predicted = last_ns_ + static_cast<double>(k) * period_ns_;
        const double lead = arrival - predicted;
        if (!buffer_full && lead > GapThresholdS(PeriodS()) * 1e9) {
            ++pauses_;
            Rebase(arrival_ns);
        } else {
            continues = true;
            if (lead < 0)
                end = arrival;
            else
                end = buffer_full ? predicted : predicted + lead * kCreep;
        }
    }

    double first = end - static_cast<double>(k - 1) * period_ns_;
    double step = period_ns_;
    if (continues) {
        step = std::max((end - last_ns_) / static_cast<double>(k), 1.0);
        first = last_ns_ + step;
    }
    // Rounding must not let two frames share a time, nor go back in time.
    const bool first_read = frames_ == k;
    std::int64_t previous = std::llround(last_ns_);
    for (std::size_t i = 0; i < k; ++i) {
        std::int64_t t = std::llround(first + static_cast<double>(i) * step);
        if ((i > 0 || !first_read) && t <= previous) t = previous + 1;
        out[i] = t;
        previous = t;
    }
    last_ns_ = std::max(end, static_cast<double>(out[k - 1]));
}

}  // namespace mk27x
