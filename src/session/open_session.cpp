#include "session/open_session.h"

#include <utility>

#include "transport/port_backends.h"

namespace mk27x {

OpenedSession::OpenedSession() = default;
OpenedSession::OpenedSession(OpenedSession&&) noexcept = default;
OpenedSession& OpenedSession::operator=(OpenedSession&&) noexcept = default;
OpenedSession::~OpenedSession() {
    session.reset();
    line.reset();
}

OpenedSession OpenSession(const SessionOptions& options) {
    OpenedSession opened;
    opened.trace = options.trace;
    std::string port = options.port;
    PortBackends backends = options.backends.open_serial ? options.backends : RealPortBackends();
    if (options.simulator) {
        opened.line = options.simulator;
        if (!opened.line->Start(port, backends, opened.simulator_error)) return opened;
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
