// TraceBuffer: the last N seconds of the group's rows for the monitor's chart,
// and their reduction to what a plot of a given width in pixels can show.
//
// The rows share one time axis (seconds from the start of the run); every
// column (a sensor or a channel) keeps its values beside the times, NaN where
// the row is empty. Rows older than the span behind the newest are dropped as
// rows come, and never more than `max_rows` are held: memory stays bounded by
// the span at any rate.
//
// Decimate gives, for every pixel column of the time range, the smallest and
// the largest value in it (at their own times, in time order), and a NaN point
// where the column holds an empty row, so that the line breaks there: a plot of
// a few thousand points that looks as the plot of every sample would.
//
// Threading: one thread (the window's).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace mk27x {

struct TracePoint {
    double t;
    double value;
};

class TraceBuffer {
public:
    // A hard bound on the rows held whatever the span: 30 s at a line rate of
    // 20000 rows a second.
    static constexpr std::size_t kDefaultMaxRows = 600000;

    explicit TraceBuffer(std::size_t max_rows = kDefaultMaxRows) : max_rows_(max_rows) {}

    // Empties the buffer and sets the number of columns.
    void Reset(std::size_t columns);
    std::size_t Columns() const { return values_.size(); }
    // The seconds kept behind the newest row.
    void SetSpan(double seconds);
    double Span() const { return span_s_; }

    // A row at `t` seconds (not earlier than the last) with a value per column
    // (missing ones are empty).
    void Append(double t, std::span<const double> values);

    std::size_t Size() const { return times_.size() - head_; }
    bool Empty() const { return Size() == 0; }
    double Newest() const { return times_.back(); }
    double Oldest() const { return times_[head_]; }
    // The newest value of a column (NaN when empty or no row).
    double Last(std::size_t column) const;

    // The column's points over [t0, t1] reduced to `pixels` columns of equal
    // width: at most three points per pixel column (minimum, maximum and a
    // break), in time order. `out` is cleared first.
    void Decimate(std::size_t column, double t0, double t1, int pixels,
                  std::vector<TracePoint>& out) const;

private:
    void Trim();

    std::size_t max_rows_;
    double span_s_ = 10;
    std::vector<double> times_;
    std::vector<std::vector<double>> values_;
    std::size_t head_ = 0;  // the live rows are [head_, size)
};

}  // namespace mk27x
