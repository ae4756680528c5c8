// Calibration upload benchmark: an 82-block upload (Release 1) over the
// termios serial backend on a pseudo-terminal, against the virtual sensor
// served in process, at 115200 and at 921600 baud. Each figure is the measured
// time against its bound: 82 x 105 ms of pauses (5 ms after the address byte,
// 100 ms before the block) plus the wire time of every byte at 11 bits per byte
// (address, command, 2052 block bytes, 2 acknowledgement bytes). A ratio near 1
// means the upload adds no waiting of its own. A pseudo-terminal carries bytes
// faster than a real line, so the wire share of the bound is an upper limit;
// the ratio against the pauses alone shows what the link itself adds.
#include <chrono>
#include <cstdio>
#include <memory>

#include "calibration/calibration_table.h"
#include "calibration/calibration_upload.h"
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
constexpr int kBytesPerBlock = 1 + 1 + 2052 + 2;

// Runs one upload at `baud`; false when anything failed.
bool Run(std::uint32_t baud) {
    sim::SensorConfig config;
    config.identity.release = 1;
    config.baud = baud;
    auto sensor = std::make_shared<sim::VirtualSensor>(config);
    sim::PtySensorServer server(sensor);
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start the virtual sensor: %s\n", server.Error().c_str());
        return false;
    }
    SensorPort port(RealPortBackends());
    port.SetPortName(server.SlavePath());
    port.SetPortBaudRate(baud);
    if (!port.Open()) {
        std::fprintf(stderr, "cannot open %s\n", port.PortName().c_str());
        return false;
    }
    SensorProtocol protocol(port, SystemClock::Instance());
    if (!protocol.IdentifySensor() || protocol.Identity.Release != 1) {
        std::fprintf(stderr, "the virtual sensor does not answer at %u baud\n", baud);
        return false;
    }

    CalibrationTable table(1);
    for (int i = 0; i < table.sizes.lines; ++i) table.entries[i] = (i * 37) % 70000 - 35000;

    const auto t0 = SteadyClock::now();
    const UploadOutcome outcome = UploadCalibration(protocol, table);
    const double measured =
        std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
    if (!outcome.ok() || sensor->CalibrationBlocks().size() != 82) {
        std::fprintf(stderr, "the upload failed at block %d at %u baud\n", outcome.failed_block(),
                     baud);
        return false;
    }

    const int blocks = outcome.blocks;
    const double pauses = blocks * double(kBytePauseMs + kCalibrationBlockPauseMs);
    const double wire = blocks * kBytesPerBlock * kBitsPerByte * 1000.0 / baud;
    const double bound = pauses + wire;
    std::printf("upload_ratio_%u: %.3f\n", baud, measured / bound);
    // Against the pauses alone: what the link adds on a line with no wire time.
    std::printf("upload_pause_ratio_%u: %.3f\n", baud, measured / pauses);
    std::printf("upload_ms_%u: %.1f\n", baud, measured);
    std::printf("upload_bound_ms_%u: %.1f\n", baud, bound);
    return true;
}

}  // namespace

int main() {
    bool ok = Run(115200);
    ok = Run(921600) && ok;
    return ok ? 0 : 1;
}
