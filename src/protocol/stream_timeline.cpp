#include "protocol/stream_timeline.h"

#include <algorithm>
#include <cmath>

namespace mk27x {
namespace {

// The baseline of the period moves on once its younger end is this old and
// this many frames back; it spans one to two such windows.
constexpr double kWindowNs = 1e9;
constexpr std::uint64_t kWindowFrames = 32;
// The first estimate: a baseline of this long (the latency of a read is a
// share of it) with at least one frame.
constexpr double kFirstEstimateNs = 50e6;
// The timeline creeps toward the arrivals by half the smallest lead of the
// reads of the last creep window, spread over the reads of the next one: the
// latency of single reads never shows in the times.
constexpr double kCreepWindowNs = 250e6;
// The shortest period believed (1 MHz frames are beyond any line).
constexpr double kShortestPeriodNs = 1000;

}  // namespace

void StreamTimeline::Reset(double prior_period_s) {
    *this = StreamTimeline();
    prior_ns_ = std::max(prior_period_s * 1e9, kShortestPeriodNs);
    period_ns_ = prior_ns_;
}

void StreamTimeline::Measure(Mark now) {
    if (!have_base_) {
        have_base_ = true;
        old_ = young_ = now;
        return;
    }
    const std::uint64_t n = now.frames - old_.frames;
    const auto span = static_cast<double>(now.arrival_ns - old_.arrival_ns);
    if (n >= 1 && span >= kFirstEstimateNs) {
        period_ns_ = std::max(span / static_cast<double>(n), prior_ns_);
        measured_ = true;
    }
    if (static_cast<double>(now.arrival_ns - young_.arrival_ns) >= kWindowNs &&
        now.frames - young_.frames >= kWindowFrames) {
        old_ = young_;
        young_ = now;
    }
}

void StreamTimeline::Creep(std::int64_t arrival_ns, double lead_ns) {
    if (creep_reads_ == 0) creep_start_ns_ = arrival_ns;
    min_lead_ns_ = creep_reads_ == 0 ? lead_ns : std::min(min_lead_ns_, lead_ns);
    ++creep_reads_;
    if (static_cast<double>(arrival_ns - creep_start_ns_) < kCreepWindowNs) return;
    creep_step_ns_ = min_lead_ns_ / 2 / static_cast<double>(creep_reads_);
    creep_reads_ = 0;
}

void StreamTimeline::Place(std::int64_t arrival_ns, bool buffer_full, std::span<std::int64_t> out) {
    const std::size_t k = out.size();
    if (k == 0) return;
    frames_ += k;
    const auto arrival = static_cast<double>(arrival_ns);

    // The period with this read's arrival in it; a pause is judged by the
    // period from before it, and the pause does not enter the measurement.
    const double period_before = period_ns_;
    const bool measured_before = measured_;
    if (!buffer_full) Measure({arrival_ns, frames_});

    // The time of this read's last frame, and whether the read continues the
    // previous one (its frames then share the time since the last one evenly).
    double end = arrival;
    bool continues = false;
    if (!anchored_) {
        anchored_ = true;
    } else {
        const double predicted = last_ns_ + static_cast<double>(k) * period_ns_;
        const double lead = arrival - predicted;
        const double lead_before = arrival - (last_ns_ + static_cast<double>(k) * period_before);
        if (!buffer_full && measured_before &&
            lead_before > GapThresholdS(period_before / 1e9) * 1e9) {
            ++pauses_;
            period_ns_ = period_before;
            have_base_ = false;
            Measure({arrival_ns, frames_});
        } else {
            continues = true;
            if (lead < 0 || (!measured_ && !buffer_full)) {
                end = arrival;  // never later than the arrival; no estimate: the arrival
            } else if (buffer_full) {
                end = predicted;
            } else {
                end = predicted + std::min(lead, creep_step_ns_);
                Creep(arrival_ns, lead);
            }
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
