// Port backends that hand out in-process transports to one virtual sensor, for
// the session and window tests; every transport opened is kept for inspection.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "in_process_transport.h"
#include "transport/sensor_port.h"
#include "virtual_sensor.h"

namespace mk27x::testing {

struct SimBackends {
    explicit SimBackends(sim::SensorConfig config = {}, std::chrono::milliseconds wait = {})
        : sensor(std::make_shared<sim::VirtualSensor>(config)), short_read_wait(wait) {}

    PortBackends Backends() {
        PortBackends backends;
        auto open = [this](std::uint32_t baud) -> std::shared_ptr<ByteTransport> {
            auto transport = std::make_shared<sim::InProcessTransport>(
                sensor, sim::InProcessOptions{baud, short_read_wait});
            opened.push_back(transport);
            return transport;
        };
        backends.open_serial = [open](const std::string&, std::uint32_t baud, std::string&) {
            return open(baud);
        };
        backends.open_usb = open;
        return backends;
    }

    std::shared_ptr<sim::VirtualSensor> sensor;
    std::chrono::milliseconds short_read_wait;
    std::vector<std::shared_ptr<sim::InProcessTransport>> opened;
};

// A virtual sensor's configuration at `address` and `baud` with serial number
// `serial`.
inline sim::SensorConfig SensorAt(std::uint8_t address, std::uint32_t baud, std::uint16_t serial) {
    sim::SensorConfig config;
    config.identity.serial = serial;
    config.address = address;
    config.baud = baud;
    return config;
}

}  // namespace mk27x::testing
