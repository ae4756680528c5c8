// OpenSession: one way to open a sensor for the front ends that connect in one
// step (the command line, the Python module): a port or a virtual sensor, the
// rate and address, a trace of the wire, then the session's connect.
//
// The connect's rule for a failed identification is the session's (see
// SensorSession::Connect). A connect that read the identity but not all
// parameters is ended at once, as the watchdog would end it a second later:
// the port is closed and the outcome is ReadFailed. Nothing is shown; the
// front end words the outcome.
//
// Threading: on the caller's thread, which then owns the session. A virtual
// sensor on a pseudo-terminal runs its own thread until OpenedSession is
// destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "link/sensor_port.h"
#include "platform/clock.h"
#include "session/protocol_trace.h"
#include "session/session.h"

namespace mk27x::sim {
class PtySensorServer;
class VirtualSensor;
}  // namespace mk27x::sim

namespace mk27x {

struct SessionOptions {
    // The port's name ("COM1", "USB", a device path, "tcp://HOST:PORT").
    std::string port;
    // A virtual sensor instead of the port: served on a pseudo-terminal
    // (`simulator_pty`) or in process, at `simulator_stream_rate` frames per
    // second (0 on a pseudo-terminal: as fast as it takes them).
    std::shared_ptr<sim::VirtualSensor> simulator;
    bool simulator_pty = true;
    double simulator_stream_rate = 2000.0;
    std::uint32_t baud = 115200;
    std::uint8_t address = 1;
    // The wire's trace (opened by the caller), or none.
    std::shared_ptr<TraceWriter> trace;
    // How ports are opened (empty: the real ones); unused by an in-process
    // virtual sensor.
    PortBackends backends;
    // The session's clock (empty: the system's).
    Clock* clock = nullptr;
};

// The session and what it runs on. Destroyed in order: the session (stream
// stopped, port closed) before the virtual sensor and the trace.
struct OpenedSession {
    // Why the virtual sensor could not be started; empty otherwise (the
    // connect was then not tried).
    std::string simulator_error;
    ConnectResult connect;
    std::shared_ptr<TraceWriter> trace;
    std::unique_ptr<sim::PtySensorServer> server;
    std::unique_ptr<SensorSession> session;

    OpenedSession();
    OpenedSession(OpenedSession&&) noexcept;
    OpenedSession& operator=(OpenedSession&&) noexcept;
    ~OpenedSession();
    bool ok() const { return simulator_error.empty() && connect.ok(); }
};

// The session is made (and its reader started) whenever the virtual sensor
// started, connected or not.
OpenedSession OpenSession(const SessionOptions& options);

}  // namespace mk27x
