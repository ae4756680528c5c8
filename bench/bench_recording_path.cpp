// The recording path: what a long recording costs and how true its times are.
//
//   recording_rss_growth_kb   the session streams at the line rate of 921600
//                             baud (20945 frames a second) over a pseudo-terminal
//                             from the virtual sensor with a CSV file written;
//                             resident memory at the end (60 s) minus at 10 s.
//                             Target at most 1024.
//   recording_frames_lost     frames sent minus frames decoded in that run.
//   sample_time_jitter_ratio  a steady stream paced at 2000 frames a second over
//                             a pseudo-terminal: the 99th percentile of
//                             |interval - period| / period of the sample times.
//                             Target at most 0.5.
//   csv_write_ratio           the CSV writer's rows per second over the line
//                             rate at 921600 baud. Target at least 20.
//
// Usage: bench_recording_path [--seconds S]   (the long stream; default 60)
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>
#include <vector>

#include "line_rate.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "pty_server.h"
#include "recording/recording.h"
#include "resident_memory.h"
#include "session/session.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace {

using namespace mk27x;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
using bench::ResidentKb;

using bench::kLineFrameRate;

// The intervals between the sample times of a recording (for the bench only).
class IntervalSink final : public RecordingSink {
public:
    void Add(std::span<const RecordedSample> samples) override {
        for (const RecordedSample& s : samples) {
            if (last_ != 0) intervals.push_back(static_cast<double>(s.time.monotonic_ns - last_));
            last_ = s.time.monotonic_ns;
        }
    }
    std::vector<double> intervals;

private:
    std::int64_t last_ = 0;
};

struct Streamed {
    std::uint64_t sent = 0;
    std::uint64_t decoded = 0;
};

// Streams for `seconds` at `rate`; `at_10s` runs once ten seconds in.
template <typename Sinks, typename Mark>
bool Stream(double rate, double seconds, Sinks&& attach, Mark&& at_10s, Streamed& result) {
    auto sensor = std::make_shared<sim::VirtualSensor>(bench::LineRateSensor());
    sim::PtySensorServer server(sensor, {.stream_rate = rate});
    if (!server.Start()) return false;
    SensorSession session(SystemClock::Instance(), RealPortBackends());
    if (!bench::ConnectAtLineRate(session, server.SlavePath())) return false;
    attach(session.Recording());
    session.StartStream();
    const auto start = Steady::now();
    bool marked = false;
    while (Steady::now() - start < std::chrono::duration<double>(seconds)) {
        std::this_thread::sleep_for(100ms);
        if (!marked && Steady::now() - start >= 10s) {
            marked = true;
            at_10s();
        }
        session.Recording().Flush();
    }
    session.StopStream();
    result.decoded = session.Reader().FramesDecoded();
    session.Shutdown();
    result.sent = server.FramesSent();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
        } else {
            std::fprintf(stderr, "usage: bench_recording_path [--seconds S]\n");
            return 2;
        }
    }
    const std::string csv_path =
        (std::filesystem::temp_directory_path() / ("mk27x-bench-" + std::to_string(::getpid())))
            .string();

    // A long recording at line rate with its CSV.
    {
        CsvWriter csv(csv_path);
        long at_10s_kb = ResidentKb();
        Streamed run;
        if (!Stream(
                kLineFrameRate, std::max(seconds, 11.0), [&](Recording& r) { r.Attach(csv); },
                [&] { at_10s_kb = ResidentKb(); }, run)) {
            std::fprintf(stderr, "stream failed\n");
            return 1;
        }
        std::printf("recording_rss_growth_kb: %ld\n", ResidentKb() - at_10s_kb);
        std::printf("recording_frames_lost: %lld\n",
                    static_cast<long long>(run.sent) - static_cast<long long>(run.decoded));
        std::printf("recording_csv_rows: %llu\n", static_cast<unsigned long long>(csv.Rows()));
    }

    // The sample times of a steady stream.
    {
        IntervalSink intervals;
        Streamed run;
        if (!Stream(
                2000, 5, [&](Recording& r) { r.Attach(intervals); }, [] {}, run)) {
            std::fprintf(stderr, "stream failed\n");
            return 1;
        }
        std::vector<double> d = intervals.intervals;
        std::vector<double> sorted = d;
        std::sort(sorted.begin(), sorted.end());
        const double period = sorted[sorted.size() / 2];
        for (double& x : d) x = std::abs(x - period) / period;
        std::sort(d.begin(), d.end());
        std::printf("sample_time_period_us: %.2f\n", period / 1000);
        std::printf("sample_time_jitter_ratio: %.3f\n", d[d.size() * 99 / 100]);
    }

    // The CSV writer alone.
    {
        constexpr std::size_t kRows = 2'000'000;
        std::vector<RecordedSample> block(1000);
        CsvWriter csv(csv_path);
        const auto t0 = Steady::now();
        for (std::size_t done = 0; done < kRows; done += block.size()) {
            for (std::size_t i = 0; i < block.size(); ++i) {
                const auto ns = static_cast<std::int64_t>((done + i) * 47'746);
                block[i] = {static_cast<float>(std::sin(static_cast<double>(done + i))) * 25.0f,
                            {ns, 1'700'000'000'000'000'000 + ns}};
            }
            csv.Add(block);
        }
        if (!csv.Close().Ok()) std::fprintf(stderr, "the CSV writer fell behind\n");
        const double s = std::chrono::duration<double>(Steady::now() - t0).count();
        std::printf("csv_rows_per_s: %.0f\n", kRows / s);
        std::printf("csv_write_ratio: %.1f\n", kRows / s / kLineFrameRate);
    }
    std::filesystem::remove(csv_path);
    return 0;
}
