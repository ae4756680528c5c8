// Slow stream benchmark: a virtual sensor streaming 100 frames a second (its
// sampling period 10000 us) at 115200 baud over a pseudo-terminal into a
// session; the sample times it gives against the sensor's period.
//
//   slow_stream_time_error_ratio: the 99th percentile of
//       |interval - period| / period over the stream (target at most 0.05)
//
// Usage: bench_slow_stream [seconds, default 10] [sampling period in us, default 10000]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "pty_server.h"
#include "session/session.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace {

using namespace mk27x;

int kTicks = 10'000;  // microseconds: 100 frames a second

struct Times final : RecordingSink {
    void Add(std::span<const RecordedSample> samples) override {
        std::lock_guard lock(mutex);
        for (const RecordedSample& s : samples) ns.push_back(s.time.monotonic_ns);
    }
    std::mutex mutex;
    std::vector<std::int64_t> ns;
};

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (argc > 2) kTicks = std::atoi(argv[2]);
    auto sensor = std::make_shared<sim::VirtualSensor>();
    sensor->SetRegister(0x08, kTicks & 0xFF);
    sensor->SetRegister(0x09, kTicks >> 8);
    sim::PtySensorServer server(sensor);
    if (!server.Start()) {
        std::fprintf(stderr, "pty: %s\n", server.Error().c_str());
        return 1;
    }
    SensorSession session(SystemClock::Instance(), RealPortBackends());
    session.SetPortName(server.SlavePath());
    session.SetBaudRate(115200);
    session.Start();
    if (session.Connect() != ConnectOutcome::Connected) {
        std::fprintf(stderr, "no sensor\n");
        return 1;
    }
    Times times;
    session.Recording().Attach(times);
    session.StartStream();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    session.StopStream();
    session.Recording().Detach(times);

    const double period_ns = kTicks * 1e3;
    std::vector<double> error;
    for (std::size_t i = 1; i < times.ns.size(); ++i)
        error.push_back(std::abs(static_cast<double>(times.ns[i] - times.ns[i - 1]) - period_ns) /
                        period_ns);
    if (error.empty()) return 1;
    std::sort(error.begin(), error.end());
    std::printf("slow_stream_time_error_ratio: %.4f\n", error[error.size() * 99 / 100]);
    std::printf("slow_stream_samples: %zu\n", times.ns.size());
    return 0;
}
