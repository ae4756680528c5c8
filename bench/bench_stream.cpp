// Stream benchmark: the virtual sensor streams over a pseudo-terminal into the
// stream reader through the termios serial backend.
//
//   paced:   the line rate of 921600 baud (20945 frames per second); every
//            frame sent must be decoded, and the reader's CPU time is given as
//            a share of one core (target at most 5 %).
//   unpaced: the sensor writes as fast as the pseudo-terminal takes it; frames
//            decoded per second by the reader, against a baseline reader that
//            takes one byte per read call, measured in the same run.
//
// Usage: bench_stream [seconds per run, default 30]
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "protocol/protocol.h"
#include "protocol/stream_reader.h"
#include "pty_server.h"
#include "recording/recording.h"
#include "support/recording_message_box.h"
#include "transport/sensor_port.h"
#include "transport/serial_posix.h"
#include "virtual_sensor.h"

namespace {

using namespace mk27x;
using namespace std::chrono_literals;

constexpr std::uint32_t kBaud = 921600;
// 4 bytes of 11 bits (8E1) per frame.
constexpr double kLineFrameRate = kBaud / 44.0;

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Takes the stream one byte per read call, as a reader without chunking would.
class OneByteReads final : public ByteTransport {
public:
    explicit OneByteReads(std::shared_ptr<ByteTransport> inner) : inner_(std::move(inner)) {}
    void Purge() override { inner_->Purge(); }
    void Write(const std::uint8_t* d, std::size_t n) override { inner_->Write(d, n); }
    std::size_t Read(std::uint8_t* b, std::size_t n) override { return inner_->Read(b, n); }
    void SetBaudRate(std::uint32_t baud) override { inner_->SetBaudRate(baud); }
    void SetBreak() override { inner_->SetBreak(); }

private:
    std::shared_ptr<ByteTransport> inner_;
};

struct Result {
    std::uint64_t sent = 0;
    std::uint64_t decoded = 0;
    double seconds = 0;
    double reader_cpu = 0;
};

// Streams `frames` frames (the sensor stops by itself after them, so nothing is
// cut off by the stop request's purge) and decodes them.
Result Run(double rate, bool one_byte_reads, std::uint64_t frames, double max_seconds) {
    sim::SensorConfig config;
    config.baud = kBaud;
    config.faults.stream_stop_after_frames = frames;
    auto sensor = std::make_shared<sim::VirtualSensor>(config);
    sim::PtySensorServer server(sensor, {.stream_rate = rate});
    if (!server.Start()) {
        std::fprintf(stderr, "pty: %s\n", server.Error().c_str());
        std::exit(1);
    }
    PortBackends backends{[&](const std::string& name, std::uint32_t baud, std::string&) {
                              std::shared_ptr<ByteTransport> port =
                                  PosixSerialPort::Open(name, baud);
                              if (port && one_byte_reads)
                                  port = std::make_shared<OneByteReads>(port);
                              return port;
                          },
                          {}};
    SensorPort port(backends);
    port.SetPortName(server.SlavePath());
    port.SetPortBaudRate(kBaud);
    if (!port.Open()) std::exit(1);
    SensorProtocol protocol(port, SystemClock::Instance());
    if (!protocol.IdentifySensor()) {
        std::fprintf(stderr, "no identification\n");
        std::exit(1);
    }

    SampleRing ring;
    Recording recording;
    RingSink ring_sink(ring);
    recording.Attach(ring_sink);
    StreamReader reader(protocol, recording);
    // The reader's CPU clock, read on its own thread at the first frame and
    // every 1024 frames after it.
    std::atomic<std::uint64_t> count{0};
    std::atomic<double> cpu_first{0}, cpu_last{0};
    std::atomic<std::int64_t> last_frame_ns{0};
    reader.frames_decoded = [&](std::span<const RecordedSample> batch) {
        const std::uint64_t before = count.fetch_add(batch.size());
        const std::uint64_t n = before + batch.size();
        if (before == 0 || (n >> 10) != (before >> 10) || n == frames) {
            const double cpu = ThreadCpuSeconds();
            if (before == 0) cpu_first = cpu;
            cpu_last = cpu;
            last_frame_ns = std::chrono::steady_clock::now().time_since_epoch().count();
        }
    };
    reader.Resume();

    protocol.StartStream();
    reader.StartStreaming();
    const auto start = std::chrono::steady_clock::now();
    const auto limit = start + std::chrono::duration<double>(max_seconds);
    // Done when every frame is in, or when frames stop coming.
    std::uint64_t seen = 0;
    auto last_progress = start;
    while (count < frames && std::chrono::steady_clock::now() < limit) {
        std::this_thread::sleep_for(50ms);
        if (count != seen) {
            seen = count;
            last_progress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - last_progress > 2s) {
            break;
        }
    }
    reader.StopStreaming();
    protocol.StopStream();
    reader.Stop();

    Result r;
    r.sent = server.FramesSent();
    server.Stop();
    r.decoded = reader.FramesDecoded();
    const auto end = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(last_frame_ns.load()));
    r.seconds = std::chrono::duration<double>(end - start).count();
    r.reader_cpu = cpu_last - cpu_first;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;

    const auto paced_frames = static_cast<std::uint64_t>(kLineFrameRate * seconds);
    const Result paced = Run(kLineFrameRate, false, paced_frames, seconds * 2 + 10);
    std::printf("stream_paced_frames_sent: %llu\n", static_cast<unsigned long long>(paced.sent));
    std::printf("stream_paced_frames_decoded: %llu\n",
                static_cast<unsigned long long>(paced.decoded));
    std::printf("stream_paced_frames_lost: %lld\n",
                static_cast<long long>(paced.sent) - static_cast<long long>(paced.decoded));
    std::printf("stream_paced_seconds: %.2f\n", paced.seconds);
    std::printf("stream_paced_reader_cpu_percent: %.2f\n",
                100.0 * paced.reader_cpu / paced.seconds);

    // Unpaced: as many frames as the reader takes in the time, capped high.
    const Result fast = Run(0, false, 1'000'000'000ULL, seconds);
    const Result base = Run(0, true, 1'000'000'000ULL, seconds);
    const double fast_rate = fast.decoded / fast.seconds;
    const double base_rate = base.decoded / base.seconds;
    std::printf("stream_unpaced_frames_per_s: %.0f\n", fast_rate);
    std::printf("stream_unpaced_one_byte_reads_frames_per_s: %.0f\n", base_rate);
    std::printf("stream_unpaced_speedup_over_one_byte_reads: %.2f\n", fast_rate / base_rate);
    std::printf("stream_unpaced_ratio_to_target_200000: %.2f\n", fast_rate / 200000.0);
    return 0;
}
