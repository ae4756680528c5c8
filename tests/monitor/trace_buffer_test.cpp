// The chart's rows: bounded to the span at any rate, and reduced to the
// pixel columns with every column's extremes and the breaks of empty rows.
#include "monitor/trace_buffer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mk27x {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(TraceBuffer, KeepsTheSpanBehindTheNewestRowAndAHardBound) {
    TraceBuffer trace(1000);
    trace.Reset(2);
    trace.SetSpan(2.0);
    for (int i = 0; i <= 500; ++i) {
        const double row[] = {double(i), -double(i)};
        trace.Append(i * 0.01, row);  // 100 rows a second up to 5 s
    }
    EXPECT_EQ(trace.Size(), 201u);  // 3.00 .. 5.00 s
    EXPECT_DOUBLE_EQ(trace.Oldest(), 3.0);
    EXPECT_DOUBLE_EQ(trace.Last(1), -500);
    // A shorter span drops at once; at a high rate the hard bound holds.
    trace.SetSpan(0.5);
    EXPECT_EQ(trace.Size(), 51u);
    trace.SetSpan(100);
    for (int i = 0; i < 50000; ++i) trace.Append(5.0 + i * 1e-5, std::span<const double>{});
    EXPECT_EQ(trace.Size(), 1000u);
    EXPECT_TRUE(std::isnan(trace.Last(0)));  // a short row is empty
}

TEST(TraceBuffer, DecimatesToTheExtremesOfEveryPixelColumnInTimeOrder) {
    TraceBuffer trace;
    trace.Reset(1);
    trace.SetSpan(100);
    // Column 0 (0 .. 1 s): 5, 9, 1, 4; column 1 (1 .. 2 s): 7 alone;
    // column 2 (2 .. 3 s): 3, empty, 6; column 3: nothing.
    const double t[] = {0.1, 0.3, 0.5, 0.9, 1.5, 2.1, 2.4, 2.8};
    const double v[] = {5, 9, 1, 4, 7, 3, kNaN, 6};
    for (int i = 0; i < 8; ++i) trace.Append(t[i], std::span<const double>(&v[i], 1));
    std::vector<TracePoint> out;
    trace.Decimate(0, 0.0, 4.0, 4, out);
    ASSERT_EQ(out.size(), 6u);
    EXPECT_DOUBLE_EQ(out[0].t, 0.3);  // the maximum came first
    EXPECT_DOUBLE_EQ(out[0].value, 9);
    EXPECT_DOUBLE_EQ(out[1].t, 0.5);
    EXPECT_DOUBLE_EQ(out[1].value, 1);
    EXPECT_DOUBLE_EQ(out[2].value, 7);
    EXPECT_DOUBLE_EQ(out[3].value, 3);
    EXPECT_DOUBLE_EQ(out[4].t, 2.4);  // the break where the row was empty
    EXPECT_TRUE(std::isnan(out[4].value));
    EXPECT_DOUBLE_EQ(out[5].value, 6);
    // Only the range asked for; the right edge belongs to the last column.
    trace.Decimate(0, 1.0, 2.1, 2, out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_DOUBLE_EQ(out[1].t, 2.1);
    trace.Decimate(0, 5.0, 6.0, 10, out);
    EXPECT_TRUE(out.empty());
}

TEST(TraceBuffer, AMillionRowsReduceToAtMostThreePointsPerPixel) {
    TraceBuffer trace;
    trace.Reset(1);
    trace.SetSpan(10);
    for (int i = 0; i < 200000; ++i) {
        const double v = std::sin(i * 0.001) + ((i % 1000) == 0 ? kNaN : 0.0);
        trace.Append(i * 5e-5, std::span<const double>(&v, 1));
    }
    std::vector<TracePoint> out;
    trace.Decimate(0, 0.0, 10.0, 800, out);
    EXPECT_LE(out.size(), 3u * 800);
    EXPECT_GE(out.size(), 2u * 800);
    for (std::size_t i = 1; i < out.size(); ++i) ASSERT_LE(out[i - 1].t, out[i].t) << i;
}

}  // namespace
}  // namespace mk27x
