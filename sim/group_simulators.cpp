#include "group_simulators.h"

#include <cstdint>

#include "pty_server.h"
#include "virtual_sensor.h"

namespace mk27x {

GroupSimulators::GroupSimulators() = default;
GroupSimulators::~GroupSimulators() = default;

bool GroupSimulators::Start(std::vector<SensorSpec>& specs) {
    for (const GroupLine& line : GroupLines(specs)) {
        std::vector<std::shared_ptr<sim::VirtualSensor>> sensors;
        for (const std::size_t i : line.sensors) {
            sim::SensorConfig config;
            config.address = specs[i].address;
            config.baud = specs[i].baud;
            config.identity.serial = static_cast<std::uint16_t>(1001 + i);
            config.source.kind = sim::MeasurementSource::Kind::kSine;
            config.source.value = 6000 + 1500 * static_cast<std::int32_t>(i % 6);
            config.source.amplitude = 300 + 150 * static_cast<std::int32_t>(i % 4);
            config.source.period = 4000 + 1000 * static_cast<std::uint32_t>(i % 5);
            config.source.noise = 3;
            config.source.seed = static_cast<std::uint32_t>(i + 1);
            sensors.push_back(std::make_shared<sim::VirtualSensor>(config));
        }
        servers_.push_back(std::make_unique<sim::PtySensorServer>(sensors));
        if (!servers_.back()->Start()) {
            error_ = servers_.back()->Error();
            return false;
        }
        for (const std::size_t i : line.sensors) specs[i].port = servers_.back()->SlavePath();
    }
    return true;
}

}  // namespace mk27x
