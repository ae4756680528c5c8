#include "monitor/trace_buffer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace mk27x {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The points of one pixel column as it is scanned.
struct Bucket {
    int index = -1;
    bool finite = false;
    bool gap = false;
    TracePoint low{0, 0};
    TracePoint high{0, 0};
    double gap_t = 0;

    void Take(double t, double v) {
        if (std::isnan(v)) {
            if (!gap) gap_t = t;
            gap = true;
            return;
        }
        if (!finite) {
            low = high = {t, v};
            finite = true;
        } else if (v < low.value) {
            low = {t, v};
        } else if (v > high.value) {
            high = {t, v};
        }
    }
    // Out in time order: the extremes, and the first empty row as a break.
    void Emit(std::vector<TracePoint>& out) const {
        TracePoint points[3];
        int n = 0;
        if (finite) {
            points[n++] = low;
            if (high.t != low.t) points[n++] = high;
        }
        if (gap) points[n++] = {gap_t, kNaN};
        std::sort(points, points + n,
                  [](const TracePoint& a, const TracePoint& b) { return a.t < b.t; });
        out.insert(out.end(), points, points + n);
    }
};

}  // namespace

void TraceBuffer::Reset(std::size_t columns) {
    times_.clear();
    head_ = 0;
    values_.assign(columns, {});
}

void TraceBuffer::SetSpan(double seconds) {
    span_s_ = seconds;
    Trim();
}

void TraceBuffer::Append(double t, std::span<const double> values) {
    times_.push_back(t);
    for (std::size_t c = 0; c < values_.size(); ++c)
        values_[c].push_back(c < values.size() ? values[c] : kNaN);
    Trim();
}

double TraceBuffer::Last(std::size_t column) const {
    if (Empty() || column >= values_.size()) return kNaN;
    return values_[column].back();
}

void TraceBuffer::Trim() {
    if (Empty()) return;
    const double oldest = Newest() - span_s_;
    std::size_t head = head_;
    // Rows usually leave a few at a time: a step forward is the common case.
    while (head < times_.size() && times_[head] < oldest) ++head;
    if (times_.size() - head > max_rows_) head = times_.size() - max_rows_;
    head_ = head;
    // Compacted now and then, so that the storage does not creep.
    if (head_ >= 4096 && head_ * 2 >= times_.size()) {
        const auto drop = static_cast<std::ptrdiff_t>(head_);
        times_.erase(times_.begin(), times_.begin() + drop);
        for (auto& v : values_) v.erase(v.begin(), v.begin() + drop);
        head_ = 0;
    }
}

void TraceBuffer::Decimate(std::size_t column, double t0, double t1, int pixels,
                           std::vector<TracePoint>& out) const {
    out.clear();
    if (column >= values_.size() || Empty() || pixels <= 0 || !(t1 > t0)) return;
    const double* times = times_.data();
    const double* values = values_[column].data();
    const std::size_t end = times_.size();
    std::size_t i =
        static_cast<std::size_t>(std::lower_bound(times + head_, times + end, t0) - times);
    const double scale = pixels / (t1 - t0);
    const int last = pixels - 1;
    Bucket bucket;
    for (; i < end; ++i) {
        const double t = times[i];
        if (t > t1) break;
        const int b = std::min(static_cast<int>((t - t0) * scale), last);
        if (b != bucket.index) {
            bucket.Emit(out);
            bucket = Bucket{};
            bucket.index = b;
        }
        bucket.Take(t, values[i]);
    }
    bucket.Emit(out);
}

}  // namespace mk27x
