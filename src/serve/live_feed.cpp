#include "serve/live_feed.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

namespace mk27x {
namespace {

// A minute of buckets waiting at most: a stalled event stream costs no more.
constexpr std::size_t kMaxPendingBuckets = 60 * 1000 / kLiveBucketMs;

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// NaN goes out as null.
double OrNan(bool has, double value) {
    return has ? value : NAN;
}

}  // namespace

LiveFeed::LiveFeed(std::vector<std::optional<Limits>> limits) : limits_(std::move(limits)) {}

void LiveFeed::Begin(const std::vector<std::string>& columns) {
    std::lock_guard lock(mutex_);
    items_.assign(columns.size(), Item{});
    for (std::size_t i = 0; i < columns.size(); ++i) {
        items_[i].name = columns[i];
        if (i < limits_.size()) items_[i].limits = limits_[i];
    }
    statistics_.Begin(columns);
    bucket_ms_ = -1;
    pending_ = LiveBuckets{};
    pending_.min.assign(columns.size(), {});
    pending_.max.assign(columns.size(), {});
}

void LiveFeed::Period(double period_s) {
    std::lock_guard lock(mutex_);
    statistics_.Period(period_s);
}

void LiveFeed::CloseBucket() {
    if (bucket_ms_ < 0) return;
    if (pending_.t_ms.size() >= kMaxPendingBuckets) {
        pending_.t_ms.erase(pending_.t_ms.begin());
        for (auto& m : pending_.min) m.erase(m.begin());
        for (auto& m : pending_.max) m.erase(m.begin());
    }
    pending_.t_ms.push_back(bucket_ms_);
    for (std::size_t i = 0; i < items_.size(); ++i) {
        Item& item = items_[i];
        pending_.min[i].push_back(OrNan(item.bucket_has, item.bucket_min));
        pending_.max[i].push_back(OrNan(item.bucket_has, item.bucket_max));
        item.bucket_has = false;
    }
}

void LiveFeed::Add(std::span<const GroupRow> rows) {
    std::lock_guard lock(mutex_);
    statistics_.Add(rows);
    for (const GroupRow& row : rows) {
        const std::int64_t ms = FloorDiv(row.time.wall_ns, 1'000'000);
        const std::int64_t bucket = FloorDiv(ms, kLiveBucketMs) * kLiveBucketMs;
        if (bucket != bucket_ms_) {
            CloseBucket();
            bucket_ms_ = bucket;
        }
        pending_.newest_row_ms = ms;
        const std::int64_t second = FloorDiv(ms, 1000);
        const std::size_t n = std::min(items_.size(), row.values.size());
        for (std::size_t i = 0; i < n; ++i) {
            const double v = row.values[i];
            if (IsEmptyValue(v)) continue;
            Item& item = items_[i];
            if (!item.bucket_has) {
                item.bucket_min = item.bucket_max = v;
                item.bucket_has = true;
            } else {
                item.bucket_min = std::min(item.bucket_min, v);
                item.bucket_max = std::max(item.bucket_max, v);
            }
            Slot& slot = item.slots[static_cast<std::size_t>(FloorDiv(second, 1) % 60 + 60) % 60];
            if (slot.second != second) {
                slot = Slot{};
                slot.second = second;
            }
            // Welford within the second; seconds are combined at the question.
            ++slot.count;
            const double delta = v - slot.sum;
            slot.sum += delta / static_cast<double>(slot.count);
            slot.sum_sq += delta * (v - slot.sum);
            if (slot.count == 1 || v < slot.min) slot.min = v;
            if (slot.count == 1 || v > slot.max) slot.max = v;
            switch (Judge(v, item.limits)) {
                case Judgement::Ok:
                    ++item.judged.ok, ++slot.judged.ok;
                    break;
                case Judgement::Low:
                    ++item.judged.low, ++slot.judged.low;
                    break;
                case Judgement::High:
                    ++item.judged.high, ++slot.judged.high;
                    break;
                case Judgement::None:
                    break;
            }
        }
    }
}

LiveBuckets LiveFeed::Take() {
    std::lock_guard lock(mutex_);
    LiveBuckets out = std::move(pending_);
    pending_ = LiveBuckets{};
    pending_.newest_row_ms = out.newest_row_ms;
    pending_.min.assign(items_.size(), {});
    pending_.max.assign(items_.size(), {});
    return out;
}

std::string LiveFeed::StatisticsJson(const LineSnapshot& snapshot) const {
    std::lock_guard lock(mutex_);
    const std::int64_t now_s = FloorDiv(pending_.newest_row_ms, 1000);
    nlohmann::json out = nlohmann::json::array();
    for (std::size_t i = 0; i < items_.size(); ++i) {
        const Item& item = items_[i];
        const SampleStatistics s = statistics_.Result(i);
        const bool has = s.count > 0;
        nlohmann::json since = {
            {"count", s.count},
            {"mean_mm", OrNan(has, s.mean)},
            {"stddev_mm", OrNan(has, s.stddev)},
            {"min_mm", OrNan(has, s.min)},
            {"max_mm", OrNan(has, s.max)},
            {"rate_hz", OrNan(s.count > 1, s.rate_hz)},
            {"gaps", s.gaps},
            {"ok", item.judged.ok},
            {"low", item.judged.low},
            {"high", item.judged.high},
        };
        // The last minute: the slots of its seconds combined (Chan et al.).
        std::uint64_t n = 0;
        std::int64_t oldest = now_s;
        double mean = 0, m2 = 0, lo = 0, hi = 0;
        Counts judged;
        for (const Slot& slot : item.slots) {
            if (slot.count == 0 || slot.second < now_s - 59 || slot.second > now_s) continue;
            const double nb = static_cast<double>(slot.count);
            const double na = static_cast<double>(n);
            const double delta = slot.sum - mean;
            mean += delta * nb / (na + nb);
            m2 += slot.sum_sq + delta * delta * na * nb / (na + nb);
            lo = n == 0 ? slot.min : std::min(lo, slot.min);
            hi = n == 0 ? slot.max : std::max(hi, slot.max);
            n += slot.count;
            oldest = std::min(oldest, slot.second);
            judged.ok += slot.judged.ok;
            judged.low += slot.judged.low;
            judged.high += slot.judged.high;
        }
        nlohmann::json minute = {
            {"count", n},
            {"mean_mm", OrNan(n > 0, mean)},
            {"stddev_mm", OrNan(n > 1, n > 1 ? std::sqrt(m2 / static_cast<double>(n - 1)) : 0)},
            {"min_mm", OrNan(n > 0, lo)},
            {"max_mm", OrNan(n > 0, hi)},
            // Over the seconds that had values: a service up for less than a
            // minute is not told a rate its sensors never had.
            {"rate_hz", static_cast<double>(n) / static_cast<double>(now_s - oldest + 1)},
            {"ok", judged.ok},
            {"low", judged.low},
            {"high", judged.high},
        };
        if (i < snapshot.items.size()) {
            since["losses"] = snapshot.items[i].losses;
        }
        out.push_back({{"name", item.name}, {"since_start", since}, {"last_minute", minute}});
    }
    return out.dump();
}

}  // namespace mk27x
