// A row of the group: one common sample time and a value per column (the
// sensors, then the channels, in the order given). An empty value (a sensor
// without a sample near the time, a channel using it, or a channel whose
// expression is undefined there) is NaN; no value is ever infinite.
//
// A GroupSink is what a front end keeps of the rows: a CSV file, a printer,
// statistics per column. Rows come in batches, oldest first, on the thread that
// drives the group's aligner.
#pragma once

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "recording/sample_ring.h"

namespace mk27x {

struct GroupRow {
    std::uint64_t index = 0;
    SampleTime time;
    std::span<const double> values;
};

// NaN, and an infinity should one ever get in: neither is a number to write.
inline bool IsEmptyValue(double value) {
    return !std::isfinite(value);
}

class GroupSink {
public:
    virtual ~GroupSink() = default;
    // The group's rows begin; `columns` the names of the values of each row.
    virtual void Begin(const std::vector<std::string>& /*columns*/) {}
    // Before the first row: the rows are expected `period_s` apart (the
    // reference sensor's period).
    virtual void Period(double /*period_s*/) {}
    virtual void Add(std::span<const GroupRow> rows) = 0;
    // The last row has come.
    virtual void End() {}
    // A second has passed: whatever is buffered goes out.
    virtual void Flush() {}
};

}  // namespace mk27x
