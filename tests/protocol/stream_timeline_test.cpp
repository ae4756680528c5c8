// The stream's sample times: frames that arrive in bunches get evenly spaced
// times at the stream's period, whatever the chunking and the jitter of the
// reads, and a pause of the stream shows as one jump of its length.
#include "protocol/stream_timeline.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "recording/sample_statistics.h"

namespace mk27x {
namespace {

constexpr std::int64_t kPeriodNs = 500'000;  // 2000 frames a second

// Frames sent every 500 us from 1 s on; reads return at random moments with all
// frames sent by then, a little late (0..`jitter_ns`). Frames sent in
// [`pause_from`, `pause_from` + `pause_frames`) are lost.
std::vector<std::int64_t> Stamp(int frames, std::int64_t jitter_ns, int pause_from = -1,
                                int pause_frames = 0, std::uint32_t seed = 1) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<std::int64_t> gap(50'000, 3'000'000), late(0, jitter_ns);
    StreamTimeline timeline;
    timeline.Reset(FrameLineTimeS(115200));
    std::vector<std::int64_t> times;
    int next = 0;
    std::int64_t now = 1'000'000'000;
    while (next < frames) {
        now += gap(rng);
        std::vector<int> ready;
        while (next < frames && 1'000'000'000 + next * kPeriodNs <= now) {
            if (next < pause_from || next >= pause_from + pause_frames) ready.push_back(next);
            ++next;
        }
        if (ready.empty()) continue;
        std::vector<std::int64_t> out(ready.size());
        timeline.Place(now + late(rng), false, out);
        times.insert(times.end(), out.begin(), out.end());
    }
    return times;
}

std::vector<double> Intervals(const std::vector<std::int64_t>& t) {
    std::vector<double> d;
    for (std::size_t i = 1; i < t.size(); ++i) d.push_back(static_cast<double>(t[i] - t[i - 1]));
    return d;
}

TEST(StreamTimeline, ChunkedReadsGiveEvenlySpacedMonotonicTimes) {
    for (std::int64_t jitter : {0, 200'000, 2'000'000}) {
        const auto times = Stamp(20000, jitter);
        ASSERT_EQ(times.size(), 20000u);
        auto d = Intervals(times);
        EXPECT_GT(*std::min_element(d.begin(), d.end()), 0) << jitter;
        // After the first tenth of a second the period is known: the
        // 99th percentile of the deviation from it is a fraction of a period.
        d.erase(d.begin(), d.begin() + 200);
        for (double& x : d) x = std::abs(x - kPeriodNs) / kPeriodNs;
        std::sort(d.begin(), d.end());
        EXPECT_LT(d[d.size() * 99 / 100], 0.5) << jitter;
        // Statistics see no gap in a clean stream.
        std::vector<RecordedSample> samples;
        for (auto t : times) samples.push_back({1.0f, {t, t}});
        EXPECT_EQ(ComputeStatistics(samples, 0.0005).gaps, 0u) << jitter;
    }
}

TEST(StreamTimeline, APauseIsOneJumpOfItsLengthAtItsFrame) {
    // 300 frames (150 ms) lost after frame 5000.
    const auto times = Stamp(20000, 500'000, 5000, 300);
    ASSERT_EQ(times.size(), 19700u);
    const auto d = Intervals(times);
    const auto jump = std::max_element(d.begin(), d.end());
    EXPECT_EQ(jump - d.begin(), 4999);
    EXPECT_NEAR(*jump, 301 * kPeriodNs, 4 * kPeriodNs);
    std::vector<RecordedSample> samples;
    for (auto t : times) samples.push_back({1.0f, {t, t}});
    EXPECT_EQ(ComputeStatistics(samples).gaps, 1u);
}

TEST(StreamTimeline, NeverLaterThanTheArrivalAndFullReadsDoNotJump) {
    StreamTimeline timeline;
    timeline.Reset(0.0005);
    std::vector<std::int64_t> out(4);
    timeline.Place(10'000'000, false, out);
    EXPECT_EQ(out, (std::vector<std::int64_t>{8'500'000, 9'000'000, 9'500'000, 10'000'000}));
    // Four more arriving early for the prior: pulled back to the arrival.
    timeline.Place(11'000'000, false, out);
    EXPECT_EQ(out.back(), 11'000'000);
    EXPECT_GT(out.front(), 10'000'000);
    // A full buffer long after says nothing about when its frames came.
    timeline.Place(90'000'000, true, out);
    EXPECT_EQ(out.back(), 13'000'000);
    EXPECT_EQ(timeline.Pauses(), 0u);
}

// Frames every `period_ns` from 1 s on, each read all that was sent by then,
// with the reads `read_every_ns` apart after a first one at `first_read_ns`
// that may fill the buffer; the timeline is told the line time of a frame.
struct Arrivals {
    std::int64_t period_ns;
    std::int64_t read_every_ns;
    std::int64_t first_read_ns = 0;
    bool first_full = false;
    std::uint32_t baud = 115200;
};

std::vector<std::int64_t> StampRegular(const Arrivals& a, int frames, StreamTimeline& timeline) {
    timeline.Reset(FrameLineTimeS(a.baud));
    std::vector<std::int64_t> times;
    int next = 0;
    bool first = true;
    for (std::int64_t now = 1'000'000'000 + a.first_read_ns; next < frames;
         now += a.read_every_ns) {
        int ready = 0;
        while (next + ready < frames && 1'000'000'000 + (next + ready) * a.period_ns <= now)
            ++ready;
        if (ready == 0) continue;
        next += ready;
        std::vector<std::int64_t> out(static_cast<std::size_t>(ready));
        timeline.Place(now + 30'000, first && a.first_full, out);
        first = false;
        times.insert(times.end(), out.begin(), out.end());
    }
    return times;
}

// Slow streams, a first read that filled the buffer, and a long first read
// (the reader came late): the period is learnt from the arrivals, no pause is
// invented, and the intervals are the period soon after the start.
TEST(StreamTimeline, LearnsThePeriodOfAnyStreamFromTheArrivals) {
    const Arrivals cases[] = {
        {50'000'000, 1'000'000},  // 20 frames a second
        {1'000'000'000, 1'000'000},
        {50'000'000, 1'000'000,
         200'000'000},  // 20 a second, 5 frames at first               // 1 frame a second
        {10'000'000, 1'000'000, 0, true},         // 100 a second, the first read full
        {10'000'000, 1'000'000, 300'000'000},     // 100 a second, 31 frames at first
        {500'000, 1'000'000, 200'000'000, true},  // 2000 a second, a long full first read
        {47'746, 1'000'000, 0, false, 921600},    // 921600 baud's most
    };
    for (const Arrivals& a : cases) {
        SCOPED_TRACE(a.period_ns);
        StreamTimeline timeline;
        const int frames =
            static_cast<int>(std::min<std::int64_t>(6'000'000'000 / a.period_ns, 20000));
        const auto times = StampRegular(a, frames, timeline);
        EXPECT_EQ(timeline.Pauses(), 0u);
        EXPECT_NEAR(timeline.PeriodS() * 1e9, a.period_ns, a.period_ns * 0.001);
        const auto d = Intervals(times);
        const std::size_t settled = std::min<std::size_t>(
            d.size() / 4, 3 + static_cast<std::size_t>(a.first_read_ns / a.period_ns));
        for (std::size_t i = settled; i < d.size(); ++i)
            ASSERT_NEAR(d[i], a.period_ns, a.period_ns * 0.05) << i;
        std::vector<RecordedSample> samples;
        for (auto t : times) samples.push_back({1.0f, {t, t}});
        const SampleStatistics stats = ComputeStatistics(samples, FrameLineTimeS(115200));
        EXPECT_EQ(stats.gaps, 0u);
        const auto span = static_cast<double>(times.back() - times[settled]);
        EXPECT_NEAR(span / static_cast<double>(times.size() - 1 - settled), a.period_ns,
                    a.period_ns * 0.01);
    }
}

}  // namespace
}  // namespace mk27x
