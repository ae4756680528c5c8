// SharedLine: one open connection shared by the sessions of the sensors on one
// line (several network addresses on one RS-485 line). Each session opens and
// closes its port as always; the line is opened by the first of them, and the
// others get the same connection. The break a closing port puts on the line is
// sent only by the last session that holds it, so that closing one sensor does
// not disturb the others.
//
// Threading: the sessions of one line must not talk at the same time; the group
// has one thread poll them in turn (and call WithinLimit).
#pragma once

#include <functional>
#include <memory>

#include "transport/sensor_port.h"

namespace mk27x {

class SharedLine {
public:
    explicit SharedLine(PortBackends backends);
    // Stops and joins the limiter's thread.
    ~SharedLine();
    SharedLine(const SharedLine&) = delete;
    SharedLine& operator=(const SharedLine&) = delete;
    // The backends to give each session of the line.
    PortBackends Backends() const;

    // Runs `exchange` (requests of one sensor, from the line's thread) with its
    // reads cut short after `limit_ms` in all: a sensor that does not answer
    // holds the line up no longer than that. True when it was cut short. One
    // thread of the line's own (started at the first call) keeps the time.
    bool WithinLimit(unsigned limit_ms, const std::function<void()>& exchange);

    // The connection and its holders (defined with the backends).
    struct State;

private:
    struct Limiter;
    std::shared_ptr<State> state_;
    std::unique_ptr<Limiter> limiter_;
};

}  // namespace mk27x
