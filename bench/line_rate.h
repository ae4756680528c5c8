// The line-rate set-up of the session benchmarks: a virtual sensor streaming
// as fast as 921600 Bd carries its frames, and a session connected to it.
#pragma once

#include <cstdint>
#include <string>

#include "session/session.h"
#include "virtual_sensor.h"

namespace mk27x::bench {

inline constexpr std::uint32_t kBaud = 921600;
inline constexpr double kLineFrameRate = kBaud / 44.0;  // 4 bytes of 11 bits (8E1)

// A sensor at kBaud measuring a sine of 4000 +/- 3000 over `period` samples.
inline sim::SensorConfig LineRateSensor(std::uint32_t period = 5000) {
    sim::SensorConfig config;
    config.baud = kBaud;
    config.source.kind = sim::MeasurementSource::Kind::kSine;
    config.source.value = 4000;
    config.source.amplitude = 3000;
    config.source.period = period;
    return config;
}

// Points `session` at `port` at kBaud, starts it and connects; true when it
// is connected.
inline bool ConnectAtLineRate(SensorSession& session, const std::string& port) {
    session.SetPortName(port);
    session.SetBaudRate(kBaud);
    session.Start();
    return session.Connect() == ConnectOutcome::Connected;
}

}  // namespace mk27x::bench
