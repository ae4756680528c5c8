// The real port backends: serial ports through termios, network serial ports
// over TCP (raw or RFC 2217), USB through libftdi1.
#pragma once

#include "transport/sensor_port.h"

namespace mk27x {

PortBackends RealPortBackends();

}  // namespace mk27x
