// Link benchmark: "Read All", "Write All" and identification over the termios
// serial backend on a pseudo-terminal, against the virtual sensor served in
// process. Each figure is printed against its bound: the protocol's mandated
// pauses plus the wire time of every byte at the line rate (11 bits per byte:
// start, 8 data, even parity, stop). A ratio near 1 means the link adds no
// waiting of its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "protocol/protocol.h"
#include "pty_server.h"
#include "support/recording_message_box.h"
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

int RegisterCount() {
    int n = 0;
    for (const ParameterRow& row : ParameterTable) n += row.bytes;
    return n;
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

void Report(const char* name, double measured, double bound) {
    std::printf("%s_ratio: %.3f\n", name, measured / bound);
    std::printf("%s_ms: %.2f\n", name, measured);
    std::printf("%s_bound_ms: %.2f\n", name, bound);
}

}  // namespace

int main() {
    auto sensor = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer server(sensor);
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start the virtual sensor: %s\n", server.Error().c_str());
        return 1;
    }
    SensorPort port(RealPortBackends());
    port.SetPortName(server.SlavePath());
    port.SetPortBaudRate(kBaud);
    if (!port.Open()) {
        std::fprintf(stderr, "cannot open %s\n", port.PortName().c_str());
        return 1;
    }
    SensorProtocol protocol(port, SystemClock::Instance());
    if (!protocol.IdentifySensor() || !protocol.ReadAllParameters()) {
        std::fprintf(stderr, "the virtual sensor does not answer\n");
        return 1;
    }
    protocol.AdoptReadBackValues();  // Write All then rewrites what is there

    const int registers = RegisterCount();
    const double pause = kBytePauseMs;

    // Identify: address, 5 ms, command; 16 reply bytes.
    const double identify = MedianMs(50, [&] { protocol.IdentifySensor(); });
    Report("identify", identify, pause + WireMs(2 + 16));

    // Read register: address, 5, command, 5, low nibble, 5, high nibble; 2 reply bytes.
    bool read_ok = true;
    const double read_all = MedianMs(7, [&] { read_ok = protocol.ReadAllParameters() && read_ok; });
    Report("read_all", read_all, registers * (3 * pause + WireMs(4 + 2)));

    // Write register: six bytes, five pauses; the baud write adds two more.
    const double write_all = MedianMs(3, [&] { protocol.WriteAllParameters(); });
    Report("write_all", write_all, registers * (5 * pause + WireMs(6)) + 2 * pause);

    std::printf("registers: %d\n", registers);
    std::printf("baud: %u\n", kBaud);
    if (!read_ok) {
        std::fprintf(stderr, "the link failed during the benchmark\n");
        return 1;
    }
    return 0;
}
