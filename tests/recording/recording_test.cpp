// The recording with its host times: CSV export and statistics.
#include "recording/recording.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <thread>

#include "recording/sample_file.h"
#include "support/temp_dir.h"

namespace mk27x {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// 2024-05-01T12:00:00Z in nanoseconds since the Unix epoch.
constexpr std::int64_t kMay1Noon = 1714564800LL * 1'000'000'000;

SampleTime At(std::int64_t ms_after_start) {
    return {5'000'000'000 + ms_after_start * 1'000'000, kMay1Noon + ms_after_start * 1'000'000};
}

TEST(Recording, CsvOfKnownSamples) {
    SampleRing ring;
    ring.Append(1.0f, At(0));
    ring.Append(2.5f, At(50));
    ring.Append(-0.25f, {5'000'000'000 + 100'000'123, kMay1Noon + 100'000'999});
    ring.Append(-0.0001f, At(1'000'000));  // rounds to zero without a sign
    EXPECT_EQ(CsvText(TakeRecording(ring)),
              "index,time,seconds,mm\r\n"
              "0,2024-05-01T12:00:00.000000Z,0.000000,1.000\r\n"
              "1,2024-05-01T12:00:00.050000Z,0.050000,2.500\r\n"
              "2,2024-05-01T12:00:00.100000Z,0.100000,-0.250\r\n"
              "3,2024-05-01T12:16:40.000000Z,1000.000000,0.000\r\n");
    EXPECT_EQ(CsvText({}), "index,time,seconds,mm\r\n");
    EXPECT_EQ(IsoWallTime(-1'000), "1969-12-31T23:59:59.999999Z");
}

TEST(Recording, WrappedRingExportsTheNewest10000OldestFirst) {
    SampleRing ring;
    for (int k = 1; k <= 10005; ++k) ring.Append(static_cast<float>(k) / 4, At(k));
    const auto samples = TakeRecording(ring);
    ASSERT_EQ(samples.size(), 10000u);
    EXPECT_EQ(samples.front().mm, 6 / 4.0f);
    EXPECT_EQ(samples.back().mm, 10005 / 4.0f);
    const std::string csv = CsvText(samples);
    EXPECT_NE(csv.find("\r\n0,2024-05-01T12:00:00.006000Z,0.000000,1.500\r\n"), std::string::npos);
    EXPECT_NE(csv.find("\r\n9999,2024-05-01T12:00:10.005000Z,9.999000,2501.250\r\n"),
              std::string::npos);
    // The timestamps do not change what the sample file holds.
    EXPECT_EQ(SampleFileText(ring, ring.WriteIndex, ring.Wrapped).substr(0, 7), "1.500\r\n");
}

TEST(Recording, DecimalPointWhateverTheLocale) {
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8") && !std::setlocale(LC_ALL, "ru_RU.UTF-8"))
        GTEST_SKIP() << "no locale with a decimal comma";
    SampleRing ring;
    ring.Append(12.345f, At(0));
    ring.Append(-3.5f, At(20));
    const std::string csv = CsvText(TakeRecording(ring));
    const SampleStatistics s = ComputeStatistics(TakeRecording(ring));
    std::setlocale(LC_ALL, saved.c_str());
    EXPECT_NE(csv.find(",0.020000,-3.500\r\n"), std::string::npos) << csv;
    EXPECT_EQ(FixedNumber(s.mean, 3), "4.423");
}

TEST(Recording, CsvFileReplacesOrFailsLikeTheSampleFile) {
    testing::TempDir temp("mk27x-csv");
    ASSERT_TRUE(temp.Made());
    const fs::path dir = temp.Dir();
    SampleRing ring;
    ring.Append(25.0f, At(0));
    const std::string path = (dir / "r.csv").string();
    { std::ofstream(path) << "old"; }
    ASSERT_TRUE(SaveCsvFile(TakeRecording(ring), path));
    EXPECT_EQ(testing::ReadFile(path),
              "index,time,seconds,mm\r\n0,2024-05-01T12:00:00.000000Z,0.000000,25.000\r\n");
    EXPECT_FALSE(SaveCsvFile(TakeRecording(ring), (dir / "missing" / "r.csv").string()));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(Recording, CsvIntoANamedPipeIsWrittenThroughNotReplaced) {
    const testing::TempDir temp("mk27x-csv");
    ASSERT_TRUE(temp.Made());
    const fs::path dir = temp.Dir();
    const std::string fifo = (dir / "pipe").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    SampleRing ring;
    ring.Append(25.0f, At(0));
    // No reader: refused at once, the pipe left in place.
    std::string reason;
    EXPECT_FALSE(ReplaceFileContents(fifo, "x", &reason));
    EXPECT_EQ(reason, std::strerror(ENXIO));
    std::string text;
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        text = all.str();
    });
    while (!SaveCsvFile(TakeRecording(ring), fifo)) std::this_thread::sleep_for(1ms);
    reader.join();
    EXPECT_EQ(text, "index,time,seconds,mm\r\n0,2024-05-01T12:00:00.000000Z,0.000000,25.000\r\n");
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST(Statistics, KnownSamplesWithAGap) {
    // 20 ms apart, one pause of 360 ms: longer than ten intervals (200 ms).
    std::vector<RecordedSample> s = {{1.0f, At(0)},   {2.0f, At(20)},  {3.0f, At(40)},
                                     {4.0f, At(400)}, {5.0f, At(420)}, {-1.0f, At(440)}};
    const SampleStatistics st = ComputeStatistics(s);
    EXPECT_EQ(st.count, 6u);
    EXPECT_DOUBLE_EQ(st.mean, 14.0 / 6);
    // Sample variance: sum of squared deviations / 5.
    double ss = 0;
    for (const auto& r : s) ss += (r.mm - 14.0 / 6) * (r.mm - 14.0 / 6);
    EXPECT_NEAR(st.stddev, std::sqrt(ss / 5), 1e-12);
    EXPECT_EQ(st.min, -1.0);
    EXPECT_EQ(st.max, 5.0);
    EXPECT_EQ(st.peak_to_peak, 6.0);
    EXPECT_NEAR(st.rate_hz, 5 / 0.440, 1e-9);
    EXPECT_NEAR(st.median_interval_s, 0.020, 1e-12);
    EXPECT_EQ(st.gaps, 1u);
    EXPECT_EQ(StatisticsJson(st),
              "{\"count\": 6, \"mean_mm\": 2.333333, \"stddev_mm\": 2.160247, \"min_mm\": "
              "-1.000, \"max_mm\": 5.000, \"peak_to_peak_mm\": 6.000, \"rate_hz\": 11.364, "
              "\"median_interval_s\": 0.020000, \"gaps\": 1}");
    // The floor of 20 ms: at 1 ms a frame, a 15 ms pause is no gap, 25 ms is one;
    // the same however the samples arrive in blocks.
    std::vector<RecordedSample> fast;
    for (std::int64_t ms : {0, 1, 2, 3, 18, 19, 20, 45, 46}) fast.push_back({0.0f, At(ms)});
    EXPECT_EQ(ComputeStatistics(fast, 0.001).gaps, 1u);
    StatisticsAccumulator blocks;
    blocks.Reset(0.001);
    for (const RecordedSample& r : fast) blocks.Add(std::span(&r, 1));
    EXPECT_EQ(blocks.Result().gaps, 1u);
}

TEST(Statistics, EdgesOfTheCount) {
    EXPECT_EQ(ComputeStatistics({}).count, 0u);
    const std::vector<RecordedSample> one = {{7.5f, At(0)}};
    const SampleStatistics st = ComputeStatistics(one);
    EXPECT_EQ(st.count, 1u);
    EXPECT_EQ(st.mean, 7.5);
    EXPECT_EQ(st.stddev, 0.0);
    EXPECT_EQ(st.rate_hz, 0.0);
    EXPECT_EQ(st.gaps, 0u);
    // In JSON what the samples do not define is null, never 0 or nan.
    EXPECT_EQ(StatisticsJson(ComputeStatistics({})),
              "{\"count\": 0, \"mean_mm\": null, \"stddev_mm\": null, \"min_mm\": null, "
              "\"max_mm\": null, \"peak_to_peak_mm\": null, \"rate_hz\": null, "
              "\"median_interval_s\": null, \"gaps\": 0}");
    EXPECT_EQ(StatisticsJson(st),
              "{\"count\": 1, \"mean_mm\": 7.500000, \"stddev_mm\": null, \"min_mm\": 7.500, "
              "\"max_mm\": 7.500, \"peak_to_peak_mm\": 0.000, \"rate_hz\": null, "
              "\"median_interval_s\": null, \"gaps\": 0}");
    // Equal times (no elapsed time): no rate, no gaps, no division by zero.
    const std::vector<RecordedSample> same = {{1, At(5)}, {2, At(5)}, {3, At(5)}};
    EXPECT_EQ(ComputeStatistics(same).rate_hz, 0.0);
    EXPECT_EQ(ComputeStatistics(same).gaps, 0u);
    EXPECT_NE(StatisticsJson(ComputeStatistics(same)).find("\"rate_hz\": null"), std::string::npos);
    const std::vector<RecordedSample> infinite = {{std::numeric_limits<float>::infinity(), At(0)},
                                                  {1, At(20)}};
    EXPECT_EQ(StatisticsJson(ComputeStatistics(infinite)).find("inf"), std::string::npos);
}

TEST(Statistics, OnePassAgreesWithTwoPassOnAMillionSamples) {
    // Large offset, small spread: where a naive sum of squares loses digits.
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    std::vector<RecordedSample> s(1'000'000);
    for (std::size_t k = 0; k < s.size(); ++k)
        s[k] = {1000.0f + noise(rng), At(static_cast<std::int64_t>(k))};
    const SampleStatistics st = ComputeStatistics(s);
    double sum = 0;
    for (const auto& r : s) sum += r.mm;
    const double mean = sum / static_cast<double>(s.size());
    double ss = 0;
    for (const auto& r : s) ss += (r.mm - mean) * (r.mm - mean);
    const double sd = std::sqrt(ss / static_cast<double>(s.size() - 1));
    EXPECT_NEAR(st.mean, mean, 1e-9);
    EXPECT_NEAR(st.stddev, sd, sd * 1e-9);
    EXPECT_NEAR(st.rate_hz, 1000.0, 1e-6);
    EXPECT_EQ(st.gaps, 0u);
}

}  // namespace
}  // namespace mk27x
