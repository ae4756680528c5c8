// LiveFeed: the group's rows as a browser draws and reads them.
//
// A group sink (attached to the run's aligner) that keeps, per item (the
// sensors, then the channels, in the columns' order):
//  - the chart's buckets: the minimum and maximum of every 10 ms of rows,
//    waiting to be taken by the event stream (Take), at most a minute of them;
//  - the statistics since the start (the group's column statistics: count,
//    mean, σ, min, max, rate, gaps) and over the last minute (from one slot per
//    second), with the count of every judgement against the item's limits.
//
// Threading: Begin, Period, Add and Flush come from the run loop's thread and
// hold the feed's lock only for the rows at hand; Take and StatisticsJson may be
// called from any thread. Nothing here waits for a network.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "group/group_row.h"
#include "group/group_sinks.h"
#include "serve/line_snapshot.h"

namespace mk27x {

inline constexpr std::int64_t kLiveBucketMs = 10;

// The chart's buckets taken since the last Take: bucket start times (UNIX ms)
// and, per item, the minimum and maximum of each bucket (NaN where the item had
// no value in it).
struct LiveBuckets {
    std::vector<std::int64_t> t_ms;
    std::vector<std::vector<double>> min;
    std::vector<std::vector<double>> max;
    std::int64_t newest_row_ms = 0;  // the newest row's time, 0 before any
};

class LiveFeed final : public GroupSink {
public:
    // `limits` per item in the columns' order (may be shorter: no limits).
    explicit LiveFeed(std::vector<std::optional<Limits>> limits = {});

    void Begin(const std::vector<std::string>& columns) override;
    void Period(double period_s) override;
    void Add(std::span<const GroupRow> rows) override;

    // The buckets completed since the last call (the bucket still filling stays).
    LiveBuckets Take();
    // [{"name", "since_start": {...}, "last_minute": {...}}, ...] with count,
    // mean_mm, stddev_mm, min_mm, max_mm, rate_hz, gaps (since the start),
    // ok, low, high; `losses` per item added by the caller's snapshot.
    std::string StatisticsJson(const LineSnapshot& snapshot) const;

private:
    struct Counts {
        std::uint64_t ok = 0, low = 0, high = 0;
    };
    // One second of one item.
    struct Slot {
        std::int64_t second = -1;
        std::uint64_t count = 0;
        double sum = 0, sum_sq = 0, min = 0, max = 0;
        Counts judged;
    };
    struct Item {
        std::string name;
        std::optional<Limits> limits;
        Counts judged;
        std::array<Slot, 60> slots;
        double bucket_min = 0, bucket_max = 0;
        bool bucket_has = false;
    };
    void CloseBucket();

    mutable std::mutex mutex_;
    std::vector<std::optional<Limits>> limits_;
    std::vector<Item> items_;
    GroupStatistics statistics_;
    std::int64_t bucket_ms_ = -1;
    LiveBuckets pending_;
};

}  // namespace mk27x
