// The common timeline at known sample times: linear interpolation, the slowest
// sensor as reference, empty values (never stale) for a silent sensor, rows
// held until final, the memory bound; and the sinks: CSV columns, JSON rows,
// statistics per column.
#include "group/aligner.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "group/group_sinks.h"

namespace mk27x {
namespace {

constexpr std::int64_t kMs = 1'000'000;
// 2024-05-01T12:00:00Z on the wall clock at monotonic 0.
constexpr std::int64_t kWallOffset = 1'714'564'800LL * 1'000'000'000LL;

RecordedSample At(std::int64_t ns, double mm) {
    return {static_cast<float>(mm), {ns, ns + kWallOffset}};
}

struct CapturedRow {
    std::uint64_t index;
    std::int64_t ns;
    std::vector<double> values;
};

class Capture final : public GroupSink {
public:
    void Begin(const std::vector<std::string>& c) override { columns = c; }
    void Add(std::span<const GroupRow> batch) override {
        for (const GroupRow& r : batch)
            rows.push_back({r.index, r.time.monotonic_ns, {r.values.begin(), r.values.end()}});
    }
    void End() override { ended = true; }
    std::vector<std::string> columns;
    std::vector<CapturedRow> rows;
    bool ended = false;
};

std::vector<std::unique_ptr<Channel>> Channels(const std::vector<ChannelSpec>& specs,
                                               const std::vector<std::string>& sensors) {
    std::vector<std::unique_ptr<Channel>> channels;
    for (const ChannelSpec& s : specs) {
        ChannelError error;
        channels.push_back(Channel::Compile(s, sensors, error));
    }
    return channels;
}

// A at 0, 10, 20 ms (values 100, 110, 120); B every 4 ms from 1 ms with value k.
class TwoSensors : public ::testing::Test {
protected:
    void SetUp() override {
        aligner.Attach(capture);
        aligner.Begin();
    }
    void PushA(int from, int to) {
        for (int k = from; k < to; ++k) aligner.Push(0, {{At(k * 10 * kMs, 100 + 10 * k)}});
    }
    void PushB(int from, int to) {
        for (int k = from; k < to; ++k) aligner.Push(1, {{At((1 + 4 * k) * kMs, k)}});
    }
    GroupAligner aligner{{"A", "B"},
                         {0, 0},
                         Channels({{"sum", "A + B"}, {"twice", "2 * A"}}, {"A", "B"}),
                         {.latency_s = 0.005, .warmup_s = 0.015}};
    Capture capture;
};

TEST_F(TwoSensors, SlowestIsTheReferenceAndOthersAreInterpolatedLinearly) {
    PushA(0, 9);
    PushB(0, 22);  // up to 85 ms
    aligner.Advance(200 * kMs);
    EXPECT_EQ(aligner.Reference(), 0);
    EXPECT_NEAR(aligner.PeriodS(1), 0.004, 1e-12);
    ASSERT_EQ(capture.columns, (std::vector<std::string>{"A", "B", "sum", "twice"}));
    ASSERT_GE(capture.rows.size(), 8u);
    // 0 ms: B has nothing at or before it.
    EXPECT_TRUE(IsEmptyValue(capture.rows[0].values[1]));
    EXPECT_TRUE(IsEmptyValue(capture.rows[0].values[2]));
    EXPECT_DOUBLE_EQ(capture.rows[0].values[3], 200);
    // 10 ms: between B(9 ms) = 2 and B(13 ms) = 3.
    EXPECT_EQ(capture.rows[1].ns, 10 * kMs);
    EXPECT_DOUBLE_EQ(capture.rows[1].values[0], 110);
    EXPECT_DOUBLE_EQ(capture.rows[1].values[1], 2.25);
    EXPECT_DOUBLE_EQ(capture.rows[1].values[2], 112.25);
    // 20 ms: 17 ms = 4 and 21 ms = 5.
    EXPECT_DOUBLE_EQ(capture.rows[2].values[1], 4.75);
    for (std::size_t i = 0; i < capture.rows.size(); ++i) EXPECT_EQ(capture.rows[i].index, i);
}

TEST_F(TwoSensors, ASilentSensorIsEmptyNeverStaleAndItsChannelsToo) {
    PushA(0, 3);
    PushB(0, 6);  // B up to 21 ms, then silent
    aligner.Advance(40 * kMs);
    PushA(3, 7);  // 30 .. 60 ms
    aligner.Advance(100 * kMs);
    ASSERT_EQ(capture.rows.size(), 7u);
    // 20 ms: 17 ms and 21 ms are B's neighbours.
    EXPECT_DOUBLE_EQ(capture.rows[2].values[1], 4.75);
    for (std::size_t i = 3; i < 7; ++i) {
        EXPECT_TRUE(IsEmptyValue(capture.rows[i].values[1])) << i;
        EXPECT_TRUE(IsEmptyValue(capture.rows[i].values[2])) << i;
        EXPECT_DOUBLE_EQ(capture.rows[i].values[3], 2 * capture.rows[i].values[0]);
    }
    // B comes back at 61 ms (k = 15): 70 ms lies between 69 and 73 ms.
    PushB(15, 20);
    PushA(7, 8);
    aligner.Finish();
    ASSERT_EQ(capture.rows.size(), 8u);
    EXPECT_DOUBLE_EQ(capture.rows[7].values[1], 17.25);
    EXPECT_TRUE(capture.ended);
}

TEST_F(TwoSensors, ARowWaitsForItsLaterNeighbourOrForTwoPeriodsAndTheLatency) {
    PushA(0, 3);
    PushB(0, 5);  // B up to 17 ms: the 20 ms row needs 21 ms
    aligner.Advance(20 * kMs);
    EXPECT_EQ(capture.rows.size(), 2u);
    // Two periods of B (8 ms) and 5 ms of latency after 20 ms: still open...
    aligner.Advance(32 * kMs);
    EXPECT_EQ(capture.rows.size(), 2u);
    // ...and then final, with B empty.
    aligner.Advance(33 * kMs);
    ASSERT_EQ(capture.rows.size(), 3u);
    EXPECT_TRUE(IsEmptyValue(capture.rows[2].values[1]));
}

TEST_F(TwoSensors, ChannelsReplacedBetweenRunsChangeTheColumnsOfTheNextRun) {
    PushA(0, 2);
    aligner.Finish();
    aligner.SetChannels(Channels({{"diff", "A - B"}}, {"A", "B"}));
    EXPECT_EQ(aligner.Columns(), (std::vector<std::string>{"A", "B", "diff"}));
    capture.rows.clear();
    aligner.Begin();
    EXPECT_EQ(capture.columns, (std::vector<std::string>{"A", "B", "diff"}));
    PushA(0, 3);
    PushB(0, 6);
    aligner.Finish();
    ASSERT_GE(capture.rows.size(), 2u);
    ASSERT_EQ(capture.rows[1].values.size(), 3u);
    EXPECT_EQ(capture.rows[1].index, 1u);
    // 10 ms: A 110, B 2.25 between 9 and 13 ms.
    EXPECT_DOUBLE_EQ(capture.rows[1].values[2], 107.75);
    // Without channels: the sensors alone.
    aligner.SetChannels({});
    EXPECT_EQ(aligner.Columns(), (std::vector<std::string>{"A", "B"}));
}

TEST(GroupAligner, MemoryStaysBoundedWhileTheReferenceIsSilent) {
    GroupAligner aligner({"slow", "fast"}, {0.1, 0.0005}, {}, {.reference = 0});
    aligner.Begin();
    aligner.Push(0, {{At(0, 1)}});
    std::vector<RecordedSample> batch;
    std::int64_t t = 0;
    for (int round = 0; round < 200; ++round) {
        batch.clear();
        for (int i = 0; i < 100; ++i, t += kMs / 2) batch.push_back(At(t, i));
        aligner.Push(1, batch);
        aligner.Advance(t);
    }
    // 10 s of the fast sensor came; only the latency's worth is kept.
    EXPECT_LT(aligner.SamplesHeld(), 400u);
    EXPECT_EQ(aligner.Rows(), 1u);
}

TEST(GroupSinks, CsvColumnsInTheOrderGivenWithEmptyCells) {
    const auto path = std::filesystem::temp_directory_path() /
                      ("mk27x-group-" + std::to_string(::getpid()) + ".csv");
    {
        GroupCsvWriter csv(path.string(), {"A", "B", "thickness"});
        ASSERT_TRUE(csv.Ok());
        const double nan = std::nan("");
        const std::vector<double> v0 = {25, 24.5, 70.5}, v1 = {25.0004, nan, nan};
        const GroupRow rows[] = {{0, {0, kWallOffset}, v0},
                                 {1, {1'500'000, kWallOffset + 1'500'000}, v1}};
        csv.Begin({"A", "B", "thickness"});
        csv.Add(rows);
        csv.End();
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "index,time,seconds,A,B,thickness\r\n"
              "0,2024-05-01T12:00:00.000000Z,0.000000,25.000,24.500,70.500\r\n"
              "1,2024-05-01T12:00:00.001500Z,0.001500,25.000,,\r\n");
    std::filesystem::remove(path);
}

TEST(GroupSinks, JsonRowsAndStatisticsPerColumnWithGaps) {
    std::ostringstream out;
    GroupPrinter printer(out, true);
    GroupStatistics statistics;
    GroupAligner aligner({"A", "B"}, {0.01, 0.01}, Channels({{"step", "A - B"}}, {"A", "B"}),
                         {.reference = 0});
    aligner.Attach(printer);
    aligner.Attach(statistics);
    aligner.Begin();
    for (int k = 0; k < 30; ++k) {
        aligner.Push(0, {{At(k * 10 * kMs, 20 + k)}});
        // B misses 30..170 ms, longer than ten of its periods: a gap of its
        // column (a row 20 ms, two periods, after its last sample would still
        // have a value if the next came as soon).
        if (k < 3 || k > 17) aligner.Push(1, {{At(k * 10 * kMs, 10)}});
    }
    aligner.Finish();
    std::istringstream lines(out.str());
    std::string first, fourth;
    std::getline(lines, first);
    for (int i = 0; i < 3; ++i) std::getline(lines, fourth);
    EXPECT_EQ(first,
              "{\"index\": 0, \"time\": \"2024-05-01T12:00:00.000000Z\", \"seconds\": 0.000000, "
              "\"A\": 20.0, \"B\": 10.0, \"step\": 10.0}");
    EXPECT_EQ(fourth,
              "{\"index\": 3, \"time\": \"2024-05-01T12:00:00.030000Z\", \"seconds\": 0.030000, "
              "\"A\": 23.0, \"B\": null, \"step\": null}");
    EXPECT_EQ(statistics.Result(0).count, 30u);
    EXPECT_EQ(statistics.Result(0).gaps, 0u);
    EXPECT_EQ(statistics.Result(1).count, 15u);
    EXPECT_EQ(statistics.Result(2).count, 15u);
    EXPECT_EQ(statistics.Result(2).gaps, 1u);
    EXPECT_DOUBLE_EQ(statistics.Result(2).max, 39);
}

}  // namespace
}  // namespace mk27x
