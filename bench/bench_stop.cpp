// Stop benchmark: the stream reader waits mid-read for a silent sensor over the
// termios serial backend on a pseudo-terminal (a one-byte read there lasts up
// to 1050 ms). Measured:
//
//   stop_latency_ms:  from the request to stop until the reader thread is
//                     joined (target at most 20 ms);
//   close_latency_ms: closing the port under the waiting reader, until the
//                     device is released (a Connect right after it finds the
//                     port free).
//
// Each figure is the median of the runs, with the worst run beside it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "protocol/protocol.h"
#include "protocol/stream_reader.h"
#include "pty_server.h"
#include "recording/recording.h"
#include "support/recording_message_box.h"
#include "transport/port_backends.h"
#include "transport/sensor_port.h"
#include "virtual_sensor.h"

namespace {

using namespace mk27x;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

constexpr int kRuns = 20;
constexpr double kTargetMs = 20.0;

double Ms(SteadyClock::time_point from, SteadyClock::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

void Report(const char* name, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%s: %.3f\n", name, ms[ms.size() / 2]);
    std::printf("%s_max: %.3f\n", name, ms.back());
}

}  // namespace

int main() {
    // The sensor is never asked to stream: the reader's read gets nothing.
    sim::PtySensorServer server(std::make_shared<sim::VirtualSensor>());
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start the virtual sensor: %s\n", server.Error().c_str());
        return 1;
    }
    SensorPort port(RealPortBackends());
    port.SetPortName(server.SlavePath());
    SensorProtocol protocol(port, SystemClock::Instance());
    SampleRing ring;

    std::vector<double> stop_ms, close_ms;
    for (int run = 0; run < kRuns; ++run) {
        if (!port.Open()) {
            std::fprintf(stderr, "cannot open %s\n", port.PortName().c_str());
            return 1;
        }
        {
            Recording recording;
            RingSink ring_sink(ring);
            recording.Attach(ring_sink);
            StreamReader reader(protocol, recording);
            reader.Resume();
            reader.StartStreaming();
            std::this_thread::sleep_for(100ms);  // well inside the 1050 ms read
            const auto t0 = SteadyClock::now();
            reader.Stop();
            stop_ms.push_back(Ms(t0, SteadyClock::now()));
            if (!reader.Done()) return 1;
        }
        {
            Recording recording;
            RingSink ring_sink(ring);
            recording.Attach(ring_sink);
            StreamReader reader(protocol, recording);
            reader.Resume();
            reader.StartStreaming();
            std::this_thread::sleep_for(100ms);
            const auto t0 = SteadyClock::now();
            port.Close();
            close_ms.push_back(Ms(t0, SteadyClock::now()));
            reader.Stop();
        }
    }
    Report("stop_latency_ms", stop_ms);
    std::printf("stop_latency_ratio_to_target_20ms: %.3f\n",
                stop_ms[stop_ms.size() / 2] / kTargetMs);
    Report("close_latency_ms", close_ms);
    std::printf("stop_runs: %d\n", kRuns);
    return 0;
}
