#include "group/aligner.h"

#include <algorithm>
#include <limits>

namespace mk27x {
namespace {

constexpr double kNsPerS = 1e9;
// With no fixed reference: the samples every sensor gives before it is chosen.
constexpr std::uint64_t kWarmupSamples = 8;
// The period assumed for a sensor with neither a hint nor two samples.
constexpr double kFallbackPeriodS = 0.01;
// An interval up to this many periods is steady (it measures the period).
constexpr double kSteadyIntervals = 1.5;
// This many unsteady intervals in a row start the period's measure afresh.
constexpr std::uint64_t kRemeasureAfter = 16;
constexpr double kEmpty = std::numeric_limits<double>::quiet_NaN();

}  // namespace

struct GroupAligner::Track {
    double hint_s = 0;
    std::vector<Point> points;
    std::size_t head = 0;  // the live points are [head, size)
    std::uint64_t count = 0;
    std::int64_t last_ns = std::numeric_limits<std::int64_t>::min();
    double steady_sum_ns = 0;
    std::uint64_t steady = 0;
    std::uint64_t unsteady = 0;  // in a row

    std::size_t Size() const { return points.size() - head; }
    const Point& At(std::size_t i) const { return points[head + i]; }
    double PeriodNs() const {
        if (steady > 0) return steady_sum_ns / static_cast<double>(steady);
        return (hint_s > 0 ? hint_s : kFallbackPeriodS) * kNsPerS;
    }
    void DropFront(std::size_t n) {
        head += std::min(n, Size());
        // Compacted now and then, so that the storage does not creep.
        if (head >= 4096 && head * 2 >= points.size()) {
            points.erase(points.begin(), points.begin() + static_cast<std::ptrdiff_t>(head));
            head = 0;
        }
    }
    void Clear() {
        points.clear();
        head = 0;
        count = 0;
        last_ns = std::numeric_limits<std::int64_t>::min();
        steady_sum_ns = 0;
        steady = 0;
        unsteady = 0;
    }
};

GroupAligner::GroupAligner(std::vector<std::string> sensors, std::vector<double> period_hints_s,
                           std::vector<std::unique_ptr<Channel>> channels, AlignerOptions options)
    : sensors_(std::move(sensors)), channels_(std::move(channels)), options_(options) {
    columns_ = sensors_;
    for (const auto& c : channels_) columns_.push_back(c->Name());
    for (std::size_t i = 0; i < sensors_.size(); ++i) {
        tracks_.push_back(std::make_unique<Track>());
        if (i < period_hints_s.size()) tracks_.back()->hint_s = period_hints_s[i];
    }
    cursors_.assign(sensors_.size(), 0);
    present_.assign(sensors_.size(), true);
}

GroupAligner::~GroupAligner() = default;

void GroupAligner::SetChannels(std::vector<std::unique_ptr<Channel>> channels) {
    channels_ = std::move(channels);
    columns_ = sensors_;
    for (const auto& c : channels_) columns_.push_back(c->Name());
}

void GroupAligner::Detach(GroupSink& sink) {
    sinks_.erase(std::remove(sinks_.begin(), sinks_.end(), &sink), sinks_.end());
}

void GroupAligner::Begin() {
    for (auto& t : tracks_) t->Clear();
    reference_ = -1;
    have_first_ = false;
    period_told_ = false;
    next_index_ = 0;
    last_now_ns_ = 0;
    last_reference_ns_ = std::numeric_limits<std::int64_t>::min();
    present_.assign(sensors_.size(), true);
    for (GroupSink* sink : sinks_) sink->Begin(columns_);
}

void GroupAligner::SetPresent(std::size_t sensor, bool present) {
    present_[sensor] = present;
    if (present || static_cast<int>(sensor) != reference_) return;
    const int next = SlowestPresent();
    if (next < 0) return;  // nobody to take over: the rows wait for a return
    reference_ = next;
    // The new reference's rows start after the last one given.
    Track& track = *tracks_[static_cast<std::size_t>(next)];
    std::size_t old = 0;
    while (old < track.Size() && track.At(old).ns <= last_reference_ns_) ++old;
    track.DropFront(old);
}

void GroupAligner::FlushSinks() {
    for (GroupSink* sink : sinks_) sink->Flush();
}

int GroupAligner::SlowestPresent() const {
    for (const std::uint64_t least : {std::uint64_t{2}, std::uint64_t{1}}) {
        int slowest = -1;
        double longest = -1;
        for (std::size_t i = 0; i < tracks_.size(); ++i) {
            if (!present_[i] || tracks_[i]->count < least) continue;
            if (tracks_[i]->PeriodNs() > longest) {
                longest = tracks_[i]->PeriodNs();
                slowest = static_cast<int>(i);
            }
        }
        if (slowest >= 0) return slowest;
    }
    return -1;
}

double GroupAligner::PeriodS(std::size_t sensor) const {
    return tracks_[sensor]->PeriodNs() / kNsPerS;
}

std::int64_t GroupAligner::LastSampleNs(std::size_t sensor) const {
    return tracks_[sensor]->last_ns;
}

std::size_t GroupAligner::SamplesHeld() const {
    std::size_t n = 0;
    for (const auto& t : tracks_) n += t->Size();
    return n;
}

void GroupAligner::Push(std::size_t sensor, std::span<const RecordedSample> samples) {
    Track& track = *tracks_[sensor];
    for (const RecordedSample& s : samples) {
        const std::int64_t ns = s.time.monotonic_ns;
        if (ns <= track.last_ns) continue;
        if (track.count > 0) {
            // Steady intervals measure the period; one that spans a missing
            // sample does not. Many unsteady ones in a row mean the period
            // assumed was wrong: it is measured afresh.
            const auto interval = static_cast<double>(ns - track.last_ns);
            const bool unknown = track.steady == 0 && track.hint_s <= 0;
            if (track.unsteady >= kRemeasureAfter) {
                track.steady_sum_ns = 0;
                track.steady = 0;
                track.unsteady = 0;
            }
            if (unknown || track.unsteady >= kRemeasureAfter ||
                interval <= kSteadyIntervals * track.PeriodNs()) {
                track.steady_sum_ns += interval;
                ++track.steady;
                track.unsteady = 0;
            } else {
                ++track.unsteady;
            }
        }
        if (!have_first_) {
            have_first_ = true;
            first_sample_ns_ = ns;
        }
        track.points.push_back({ns, s.time.wall_ns, s.mm});
        track.last_ns = ns;
        ++track.count;
    }
    if (track.Size() > options_.max_samples) track.DropFront(track.Size() - options_.max_samples);
}

void GroupAligner::Advance(std::int64_t now_ns) {
    last_now_ns_ = now_ns;
    ChooseReference(now_ns, false);
    Emit(now_ns, false);
    Trim(now_ns);
}

void GroupAligner::Finish(std::int64_t end_ns) {
    ChooseReference(last_now_ns_, true);
    Emit(std::numeric_limits<std::int64_t>::max(), true, end_ns);
    if (reference_ >= 0) tracks_[static_cast<std::size_t>(reference_)]->Clear();
    for (GroupSink* sink : sinks_) sink->End();
}

void GroupAligner::ChooseReference(std::int64_t now_ns, bool finishing) {
    if (reference_ >= 0) return;
    if (options_.reference >= 0 && static_cast<std::size_t>(options_.reference) < tracks_.size()) {
        reference_ = options_.reference;
        return;
    }
    if (!have_first_) return;
    bool all_warm = true;
    for (const auto& t : tracks_) all_warm = all_warm && t->count >= kWarmupSamples;
    const bool waited =
        static_cast<double>(now_ns - first_sample_ns_) >= options_.warmup_s * kNsPerS;
    if (!all_warm && !waited && !finishing) return;
    // The slowest of those with a measured period; of those with a sample when
    // none has two.
    reference_ = SlowestPresent();
}

double GroupAligner::ValueAt(const Track& track, std::size_t& cursor, std::int64_t t) const {
    const std::size_t size = track.Size();
    if (size == 0) return kEmpty;
    while (cursor + 1 < size && track.At(cursor + 1).ns <= t) ++cursor;
    const Point& a = track.At(cursor);
    if (a.ns > t) return kEmpty;  // nothing at or before t
    if (a.ns == t) return a.value;
    const double limit = 2.0 * track.PeriodNs();
    if (static_cast<double>(t - a.ns) > limit || cursor + 1 >= size) return kEmpty;
    const Point& b = track.At(cursor + 1);
    if (static_cast<double>(b.ns - t) > limit) return kEmpty;
    return a.value +
           (b.value - a.value) * static_cast<double>(t - a.ns) / static_cast<double>(b.ns - a.ns);
}

void GroupAligner::Emit(std::int64_t now_ns, bool finishing, std::int64_t end_ns) {
    if (reference_ < 0) return;
    const auto ref = static_cast<std::size_t>(reference_);
    Track& reference = *tracks_[ref];
    const std::size_t columns = columns_.size();
    const std::size_t sensors = sensors_.size();
    rows_.clear();
    values_.clear();
    std::fill(cursors_.begin(), cursors_.end(), 0);
    std::size_t done = 0;
    for (; done < reference.Size(); ++done) {
        const Point& p = reference.At(done);
        const std::int64_t t = p.ns;
        if (t > end_ns) break;
        if (!finishing) {
            bool ready = true;
            for (std::size_t s = 0; s < sensors && ready; ++s) {
                if (s == ref || !present_[s]) continue;
                const Track& track = *tracks_[s];
                if (track.count > 0 && track.last_ns >= t) continue;
                const double wait_ns = 2.0 * track.PeriodNs() + options_.latency_s * kNsPerS;
                ready = static_cast<double>(now_ns - t) >= wait_ns;
            }
            if (!ready) break;
        }
        const std::size_t at = values_.size();
        values_.resize(at + columns);
        double* row = values_.data() + at;
        for (std::size_t s = 0; s < sensors; ++s)
            row[s] = s == ref ? p.value : ValueAt(*tracks_[s], cursors_[s], t);
        const std::span<const double> sensor_values(row, sensors);
        for (std::size_t c = 0; c < channels_.size(); ++c)
            row[sensors + c] = channels_[c]->Evaluate(sensor_values);
        rows_.push_back({next_index_++, {t, p.wall_ns}, {}});
        last_reference_ns_ = t;
    }
    reference.DropFront(done);
    if (rows_.empty()) return;
    if (!period_told_) {
        period_told_ = true;
        for (GroupSink* sink : sinks_) sink->Period(reference.PeriodNs() / kNsPerS);
    }
    for (std::size_t i = 0; i < rows_.size(); ++i)
        rows_[i].values = std::span<const double>(values_.data() + i * columns, columns);
    for (GroupSink* sink : sinks_) sink->Add(rows_);
}

void GroupAligner::Trim(std::int64_t now_ns) {
    if (reference_ < 0) return;
    const Track& reference = *tracks_[static_cast<std::size_t>(reference_)];
    // No row still to come is earlier than this: a sensor keeps its last sample
    // at or before it (a row's earlier neighbour) and everything after.
    std::int64_t low = std::max(last_reference_ns_,
                                now_ns - static_cast<std::int64_t>(options_.latency_s * kNsPerS));
    if (reference.Size() > 0) low = std::min(low, reference.At(0).ns);
    for (std::size_t s = 0; s < tracks_.size(); ++s) {
        if (static_cast<int>(s) == reference_) continue;
        Track& track = *tracks_[s];
        std::size_t drop = 0;
        while (drop + 1 < track.Size() && track.At(drop + 1).ns <= low) ++drop;
        track.DropFront(drop);
    }
}

}  // namespace mk27x
