// The exit statuses of the mk27x command line.
#pragma once

namespace mk27x {

inline constexpr int kExitOk = 0;
// The port cannot be opened, the sensor does not answer or reports an error.
inline constexpr int kExitNoSensor = 1;
// A usage error, a refused parameter text or file, a confirmation answered no.
inline constexpr int kExitUsage = 2;

// The exit status of a command stopped by `signal`: 128 + its number.
constexpr int SignalExitStatus(int signal) {
    return 128 + signal;
}

}  // namespace mk27x
