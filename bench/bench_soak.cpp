// Soak benchmark: the session streams from the virtual sensor at the line rate
// of 921600 baud (20945 frames per second) through the real serial backend
// over a pseudo-terminal, for a long time, the way an operator leaves the
// program running: every cycle streams for 10 s (start, stop) and then runs a
// timed series (one measurement every 50 ms for 3 s).
//
// In each stream the sensor stops sending by itself after 9 s worth of frames,
// so that the stop request's purge cuts nothing off and every frame sent must
// be decoded.
//
//   soak_frames_lost     frames the sensor sent minus frames the session
//                        decoded, over the whole run (target 0)
//   soak_rss_growth_kb   resident memory at the end minus after the first
//                        minute (after half the run when it is shorter than
//                        two minutes); target at most 1024
//
// Usage: bench_soak [--minutes M]   (default 10; fractions allowed)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "line_rate.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "pty_server.h"
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
constexpr auto kStreamTime = 10s;
constexpr auto kSensorStreamTime = 9s;
constexpr auto kSeriesTime = 3s;
constexpr auto kSeriesPeriod = 50ms;

int Usage() {
    std::fprintf(stderr, "usage: bench_soak [--minutes M]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--minutes") == 0 && i + 1 < argc) {
            char* end = nullptr;
            minutes = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(minutes > 0)) return Usage();
        } else {
            return Usage();
        }
    }
    const auto total = std::chrono::duration_cast<Steady::duration>(
        std::chrono::duration<double, std::ratio<60>>(minutes));
    const auto baseline_at = total >= 2min ? Steady::duration(1min) : total / 2;

    sim::SensorConfig config = bench::LineRateSensor();
    config.source.noise = 20;
    const auto per_stream = static_cast<std::uint64_t>(
        kLineFrameRate * std::chrono::duration<double>(kSensorStreamTime).count());
    config.faults.stream_stop_after_frames = per_stream;
    auto sensor = std::make_shared<sim::VirtualSensor>(config);
    sim::PtySensorServer server(sensor, {.stream_rate = kLineFrameRate});
    if (!server.Start()) {
        std::fprintf(stderr, "pty: %s\n", server.Error().c_str());
        return 1;
    }

    SensorSession session(SystemClock::Instance(), RealPortBackends());
    if (!bench::ConnectAtLineRate(session, server.SlavePath())) {
        std::fprintf(stderr, "not connected\n");
        return 1;
    }

    const auto start = Steady::now();
    long baseline_kb = -1;
    std::uint64_t streams = 0, measured = 0, measure_failed = 0;
    while (Steady::now() - start < total) {
        session.StartStream();
        ++streams;
        std::this_thread::sleep_until(Steady::now() + kStreamTime);
        session.StopStream();

        const auto series_end = Steady::now() + kSeriesTime;
        for (auto tick = Steady::now(); tick < series_end; tick += kSeriesPeriod) {
            std::this_thread::sleep_until(tick);
            (session.MeasureOnce() ? measured : measure_failed)++;
        }
        if (baseline_kb < 0 && Steady::now() - start >= baseline_at) baseline_kb = ResidentKb();
    }
    if (baseline_kb < 0) baseline_kb = ResidentKb();
    const long end_kb = ResidentKb();
    const std::uint64_t decoded = session.Reader().FramesDecoded();
    const bool alive = session.LinkAlive();
    session.Shutdown();
    const std::uint64_t sent = server.FramesSent();
    server.Stop();

    const double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    std::printf("soak_minutes: %.2f\n", seconds / 60);
    std::printf("soak_streams: %llu\n", static_cast<unsigned long long>(streams));
    std::printf("soak_frames_sent: %llu\n", static_cast<unsigned long long>(sent));
    std::printf("soak_frames_decoded: %llu\n", static_cast<unsigned long long>(decoded));
    std::printf("soak_frames_lost: %lld\n",
                static_cast<long long>(sent) - static_cast<long long>(decoded));
    std::printf("soak_measurements: %llu\n", static_cast<unsigned long long>(measured));
    std::printf("soak_measurements_failed: %llu\n",
                static_cast<unsigned long long>(measure_failed));
    std::printf("soak_rss_kb: %ld\n", end_kb);
    std::printf("soak_rss_growth_kb: %ld\n", end_kb - baseline_kb);
    std::printf("soak_link_alive: %d\n", alive ? 1 : 0);
    return 0;
}
