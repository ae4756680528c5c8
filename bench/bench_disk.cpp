// The recording against a disk that stalls.
//
//   disk_stall_frames_lost   the session streams at the line rate of 921600
//                            baud (20945 frames a second) over a pseudo-terminal
//                            from the virtual sensor for 6 s, its CSV written
//                            into a named pipe whose reader stops for 2 s in
//                            the middle: the frames missing from the sample
//                            times (holes of more than one period). Target 0.
//   disk_stall_rows          the rows the pipe's reader got, and
//   disk_stall_frames_decoded the frames the stream reader decoded (equal).
//   disk_stall_queue_peak_kb the most the CSV's writer queue held.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "line_rate.h"
#include "link/port_backends.h"
#include "link/recording.h"
#include "platform/clock.h"
#include "pty_server.h"
#include "session/session.h"
#include "support/recording_message_box.h"

namespace {

using namespace mk27x;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// The sample times' intervals in nanoseconds (for the bench only).
class TimesSink final : public RecordingSink {
public:
    void Add(std::span<const RecordedSample> samples) override {
        for (const RecordedSample& s : samples) {
            if (last_ != 0) intervals.push_back(s.time.monotonic_ns - last_);
            last_ = s.time.monotonic_ns;
        }
    }
    std::vector<std::int64_t> intervals;

private:
    std::int64_t last_ = 0;
};

}  // namespace

int main() {
    char pattern[] = "/tmp/mk27x-bench-disk-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::filesystem::path dir = pattern;
    const std::string fifo = (dir / "rows.csv").string();
    if (::mkfifo(fifo.c_str(), 0600) != 0) return 1;

    // The pipe's reader: 1.5 s of rows, a stop of 2 s, then the rest.
    std::uint64_t lines = 0;
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        const auto opened = Steady::now();
        bool stalled = false;
        for (std::string line; std::getline(in, line);) {
            ++lines;
            if (!stalled && Steady::now() - opened > 1500ms) {
                stalled = true;
                std::this_thread::sleep_for(2s);
            }
        }
    });

    auto sensor = std::make_shared<sim::VirtualSensor>(bench::LineRateSensor());
    sim::PtySensorServer server(sensor, {.stream_rate = bench::kLineFrameRate});
    if (!server.Start()) return 1;
    RecordingMessageBox messages;
    SensorSession session(messages, SystemClock::Instance(), RealPortBackends());
    if (!bench::ConnectAtLineRate(session, server.SlavePath())) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }
    std::uint64_t decoded = 0;
    std::size_t peak = 0;
    TimesSink times;
    {
        CsvWriter csv(fifo);
        session.Recording().Attach(csv);
        session.Recording().Attach(times);
        session.StartStream();
        const auto start = Steady::now();
        while (Steady::now() - start < 6s) {
            std::this_thread::sleep_for(100ms);
            session.Recording().Flush();
            peak = std::max(peak, csv.Status().queued);
        }
        session.StopStream();
        decoded = session.Reader().FramesDecoded();
        session.Recording().Detach(csv);
        session.Recording().Detach(times);
        const FileStatus file = csv.Close();
        if (!file.Ok())
            std::fprintf(stderr, "csv: step %d, errno %d\n", int(file.failed), file.error);
    }
    reader.join();
    session.Shutdown();
    std::filesystem::remove_all(dir);

    const double period_ns = 1e9 / bench::kLineFrameRate;
    std::uint64_t lost = 0;
    for (const std::int64_t d : times.intervals)
        lost += static_cast<std::uint64_t>(std::max(0.0, std::round(d / period_ns) - 1));
    std::printf("disk_stall_frames_lost: %llu\n", static_cast<unsigned long long>(lost));
    std::printf("disk_stall_rows: %llu\n", static_cast<unsigned long long>(lines - 1));
    std::printf("disk_stall_frames_decoded: %llu\n", static_cast<unsigned long long>(decoded));
    std::printf("disk_stall_queue_peak_kb: %zu\n", peak / 1024);
    return 0;
}
