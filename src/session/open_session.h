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
// line (a pseudo-terminal's server, say) runs its own thread until
// OpenedSession is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "session/session.h"
#include "transport/protocol_trace.h"
#include "transport/sensor_port.h"

namespace mk27x {

// The line to a virtual sensor, which the front end supplies (the virtual
// sensor stands beside the layers: sim/virtual_line.h makes one). Started
// before the connect; it lives as long as the OpenedSession.
class VirtualLine {
public:
    virtual ~VirtualLine() = default;
    // Starts the sensor's side. On success the port to open and how to open it
    // (`backends` holds the caller's backends on entry); false with `error`
    // when the sensor cannot be started.
    virtual bool Start(std::string& port, PortBackends& backends, std::string& error) = 0;
};

struct SessionOptions {
    // The port's name ("COM1", "USB", a device path, "tcp://HOST:PORT").
    std::string port;
    // A virtual sensor's line instead of the port, or none.
    std::shared_ptr<VirtualLine> simulator;
    std::uint32_t baud = 115200;
    std::uint8_t address = 1;
    // The wire's trace (opened by the caller), or none.
    std::shared_ptr<TraceWriter> trace;
    // How ports are opened (empty: the real ones); a virtual line may put
    // its own in their place.
    PortBackends backends;
    // The session's clock (empty: the system's).
    Clock* clock = nullptr;
};

// The session and what it runs on. Destroyed in order: the session (stream
// stopped, port closed) before the virtual line and the trace.
struct OpenedSession {
    // Why the virtual sensor could not be started; empty otherwise (the
    // connect was then not tried).
    std::string simulator_error;
    ConnectResult connect;
    std::shared_ptr<TraceWriter> trace;
    std::shared_ptr<VirtualLine> line;
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
