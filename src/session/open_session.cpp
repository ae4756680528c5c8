#include "session/open_session.h"

#include <utility>

#include "in_process_transport.h"
#include "link/port_backends.h"
#include "pty_server.h"
#include "virtual_sensor.h"

namespace mk27x {

OpenedSession::OpenedSession() = default;
OpenedSession::OpenedSession(OpenedSession&&) noexcept = default;
OpenedSession& OpenedSession::operator=(OpenedSession&&) noexcept = default;
OpenedSession::~OpenedSession() {
    session.reset();
    server.reset();
}

namespace {

PortBackends InProcessBackends(std::shared_ptr<sim::VirtualSensor> sensor, double stream_rate) {
    auto open = [sensor = std::move(sensor), stream_rate](std::uint32_t baud) {
        return std::make_shared<sim::InProcessTransport>(
            sensor, sim::InProcessOptions{.baud = baud, .stream_rate = stream_rate});
    };
    PortBackends backends;
    backends.open_serial = [open](const std::string&, std::uint32_t baud, std::string&) {
        return open(baud);
    };
    backends.open_usb = open;
    return backends;
}

}  // namespace

OpenedSession OpenSession(const SessionOptions& options) {
    OpenedSession opened;
    opened.trace = options.trace;
    std::string port = options.port;
    PortBackends backends = options.backends.open_serial ? options.backends : RealPortBackends();
    if (options.simulator && options.simulator_pty) {
        opened.server = std::make_unique<sim::PtySensorServer>(
            options.simulator, sim::PtyServerOptions{.stream_rate = options.simulator_stream_rate});
        if (!opened.server->Start()) {
            opened.simulator_error = opened.server->Error();
            return opened;
        }
        port = opened.server->SlavePath();
    } else if (options.simulator) {
        backends = InProcessBackends(options.simulator, options.simulator_stream_rate);
        port = "SIM";
    }
    if (opened.trace) backends = TracedBackends(std::move(backends), opened.trace);
    Clock& clock = options.clock ? *options.clock : SystemClock::Instance();
    opened.session = std::make_unique<SensorSession>(clock, std::move(backends));
    SensorSession& s = *opened.session;
    s.SetPortName(port);
    s.SetBaudRate(options.baud);
    s.SetAddress(options.address);
    s.Start();
    opened.connect = s.Connect();
    if (opened.connect.outcome == ConnectOutcome::ReadFailed) s.EndLostLink();
    return opened;
}

}  // namespace mk27x
