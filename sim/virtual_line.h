// The line to one virtual sensor for OpenSession: the sensor served on a
// pseudo-terminal (the real serial backend then opens it) or in process (the
// session's backends are replaced by an in-process transport, port "SIM").
//
// Threading: a pseudo-terminal's server runs its own thread from Start until
// the line is destroyed.
#pragma once

#include <memory>

#include "session/open_session.h"

namespace mk27x::sim {

class VirtualSensor;

struct VirtualLineOptions {
    bool pty = true;
    // Frames per second of a stream (0 on a pseudo-terminal: as fast as the
    // line takes them).
    double stream_rate = 2000.0;
};

std::shared_ptr<VirtualLine> MakeVirtualLine(std::shared_ptr<VirtualSensor> sensor,
                                             VirtualLineOptions options = {});

}  // namespace mk27x::sim
