// Port names and the devices they stand for, apart from the backends that open
// them (so that a caller checking a name needs no termios). Pure functions.
#pragma once

#include <string>

namespace mk27x {

// The device opened for a port name: "COM1".."COM4" are /dev/ttyS0../dev/ttyS3,
// a name starting with '/' is taken as the device path; anything else has no
// device (empty result).
std::string SerialDevicePath(const std::string& port_name);

}  // namespace mk27x
