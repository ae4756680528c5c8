// SharedLine: one open connection shared by the sessions of the sensors on one
// line (several network addresses on one RS-485 line). Each session opens and
// closes its port as always; the line is opened by the first of them, and the
// others get the same connection. The break a closing port puts on the line is
// sent only by the last session that holds it, so that closing one sensor does
// not disturb the others.
//
// Threading: the sessions of one line must not talk at the same time; the group
// has one thread poll them in turn.
#pragma once

#include <memory>

#include "link/sensor_port.h"

namespace mk27x {

class SharedLine {
public:
    explicit SharedLine(PortBackends backends);
    // The backends to give each session of the line.
    PortBackends Backends() const;

    // The connection and its holders (defined with the backends).
    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace mk27x
