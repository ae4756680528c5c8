// Recording and network port benchmark.
//
// rfc2217_read_all_ratio: "Read All" through a real ser2net in RFC 2217 mode on
// loopback in front of the virtual sensor's pseudo-terminal, against the same
// bound as over the pseudo-terminal directly (the protocol's pauses plus the
// wire time of every byte at 115200 baud, 11 bits a byte), with the server's
// chardelay off; the same with ser2net's default chardelay as
// rfc2217_read_all_chardelay_ratio. Target: at most 1.10.
// stats_1m_ms: the statistics of a million timestamped samples. Target: at most
// 10 ms.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "protocol/protocol.h"
#include "pty_server.h"
#include "recording/recording.h"
#include "support/recording_message_box.h"
#include "support/ser2net.h"
#include "transport/port_backends.h"
#include "transport/sensor_port.h"
#include "virtual_sensor.h"

namespace {

using namespace mk27x;
using SteadyClock = std::chrono::steady_clock;

constexpr double kBitsPerByte = 11.0;
constexpr std::uint32_t kBaud = 115200;

double WireMs(int bytes) {
    return bytes * kBitsPerByte * 1000.0 / kBaud;
}

template <typename F>
double MedianMs(int runs, F&& f) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        const auto t0 = SteadyClock::now();
        f();
        ms.push_back(std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// `name`: the figure's name; `chardelay`: ser2net's own hold of device data
// (on by default, at least 1 ms per reply, the server's and not the program's).
int ReadAllOverRfc2217(const char* name, bool chardelay) {
    if (!testing::Ser2netInstalled()) {
        std::fprintf(stderr, "ser2net is not installed: no rfc2217_read_all_ratio\n");
        return 0;
    }
    auto sensor = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer server(sensor);
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start the virtual sensor: %s\n", server.Error().c_str());
        return 1;
    }
    testing::Ser2net ser2net(server.SlavePath(), testing::Ser2net::Mode::Rfc2217, chardelay);
    if (!ser2net.Listening()) {
        std::fprintf(stderr, "ser2net does not listen\n");
        return 1;
    }
    SensorPort port(RealPortBackends());
    port.SetPortName(ser2net.Address());
    port.SetPortBaudRate(kBaud);
    if (!port.Open()) {
        std::fprintf(stderr, "cannot open %s\n", port.PortName().c_str());
        return 1;
    }
    SensorProtocol protocol(port, SystemClock::Instance());
    if (!protocol.IdentifySensor()) {
        std::fprintf(stderr, "the virtual sensor does not answer through ser2net\n");
        return 1;
    }
    int registers = 0;
    for (const ParameterRow& row : ParameterTable) registers += row.bytes;
    bool ok = true;
    const double ms = MedianMs(7, [&] { ok = protocol.ReadAllParameters() && ok; });
    const double bound = registers * (3 * kBytePauseMs + WireMs(4 + 2));
    std::printf("%s_ratio: %.3f\n", name, ms / bound);
    std::printf("%s_ms: %.2f\n", name, ms);
    std::printf("%s_bound_ms: %.2f\n", name, bound);
    if (!ok) {
        std::fprintf(stderr, "a read failed during the benchmark\n");
        return 1;
    }
    return 0;
}

void Statistics1M() {
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::vector<RecordedSample> samples(1'000'000);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        // 2 kHz, with a lost stretch of 2 ms every 997 samples.
        const auto t =
            static_cast<std::int64_t>(k) * 500'000 + static_cast<std::int64_t>(k / 997) * 2'000'000;
        samples[k] = {120.0f + noise(rng), {t, t}};
    }
    SampleStatistics s;
    const double ms = MedianMs(7, [&] { s = ComputeStatistics(samples); });
    std::printf("stats_1m_ms: %.2f\n", ms);
    std::printf("stats_1m_gaps: %zu\n", s.gaps);
}

}  // namespace

int main() {
    Statistics1M();
    // The program's own cost: the server passes bytes on at once.
    const int status = ReadAllOverRfc2217("rfc2217_read_all", false);
    // With ser2net's default hold of a millisecond or more per reply.
    return ReadAllOverRfc2217("rfc2217_read_all_chardelay", true) | status;
}
