// The recording against a disk that stalls.
//
//   disk_stall_frames_lost     the session streams at the line rate of 921600
//                              baud (20945 frames a second) over a
//                              pseudo-terminal from the virtual sensor for 6 s,
//                              its CSV written into a named pipe whose reader
//                              stops for 2 s in the middle: the frames the
//                              sensor could not send because the line backed
//                              up (due at its pace minus sent, from 0.5 s to
//                              5.5 s; a few tens are the sampling's noise).
//                              Target 0. A reader that waits for the disk
//                              loses about 20000.
//   disk_stall_reader_held_ms  the longest time between two hand-overs of
//                              samples to the recording (about 2000 when the
//                              reader waits for the disk).
//   disk_stall_rows            the rows the pipe's reader got, and
//   disk_stall_frames_decoded  the frames the stream reader decoded (equal).
//   disk_stall_queue_peak_kb   the most the CSV's writer queue held.
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
#include "platform/clock.h"
#include "pty_server.h"
#include "recording/recording.h"
#include "session/session.h"
#include "transport/port_backends.h"

namespace {

using namespace mk27x;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// The longest the recording's sinks held the stream reader in one hand-over.
class HoldSink final : public RecordingSink {
public:
    void Add(std::span<const RecordedSample>) override {
        const auto now = Steady::now();
        if (last_ != Steady::time_point{}) longest = std::max(longest, now - last_);
        last_ = now;
    }
    // Between two hand-overs: the reader's read and every sink's Add.
    Steady::duration longest{};

private:
    Steady::time_point last_{};
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
    SensorSession session(SystemClock::Instance(), RealPortBackends());
    if (!bench::ConnectAtLineRate(session, server.SlavePath())) {
        std::fprintf(stderr, "connect failed\n");
        return 1;
    }
    std::uint64_t decoded = 0;
    std::size_t peak = 0;
    HoldSink hold;
    double due = 0;
    std::uint64_t sent = 0;
    {
        CsvWriter csv(fifo);
        session.Recording().Attach(csv);
        session.Recording().Attach(hold);
        session.StartStream();
        const auto start = Steady::now();
        // The sensor's frames due at its pace against those it could send,
        // from 0.5 s (the stream well going) to 5.5 s: it drops what falls due
        // while the line is backed up.
        Steady::time_point from{};
        std::uint64_t sent_from = 0;
        while (Steady::now() - start < 6s) {
            std::this_thread::sleep_for(100ms);
            if (from == Steady::time_point{} && Steady::now() - start >= 500ms) {
                from = Steady::now();
                sent_from = server.FramesSent();
            }
            if (from != Steady::time_point{} && due == 0 && Steady::now() - start >= 5500ms) {
                due = std::chrono::duration<double>(Steady::now() - from).count() *
                      bench::kLineFrameRate;
                sent = server.FramesSent() - sent_from;
            }
            session.Recording().Flush();
            peak = std::max(peak, csv.Status().queued);
        }
        session.StopStream();
        decoded = session.Reader().FramesDecoded();
        session.Recording().Detach(csv);
        session.Recording().Detach(hold);
        const FileStatus file = csv.Close();
        if (!file.Ok())
            std::fprintf(stderr, "csv: step %d, errno %d\n", int(file.failed), file.error);
    }
    reader.join();
    session.Shutdown();
    std::filesystem::remove_all(dir);

    // The frames that fell due while the line was backed up. (Frames sent but
    // not decoded are those on their way at the stop: bench_recording_path.)
    const long long lost = std::max(0LL, std::llround(due) - static_cast<long long>(sent));
    std::printf("disk_stall_frames_lost: %lld\n", lost);
    std::printf("disk_stall_reader_held_ms: %.1f\n",
                std::chrono::duration<double, std::milli>(hold.longest).count());
    std::printf("disk_stall_rows: %llu\n", static_cast<unsigned long long>(lines - 1));
    std::printf("disk_stall_frames_decoded: %llu\n", static_cast<unsigned long long>(decoded));
    std::printf("disk_stall_queue_peak_kb: %zu\n", peak / 1024);
    return 0;
}
