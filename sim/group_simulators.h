// A virtual sensor for every sensor of a group, one pseudo-terminal for every
// line; each sensor measures a wave of its own, so that channels are not
// trivially zero. The front ends' --simulator.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "group/sensor_spec.h"

namespace mk27x {

namespace sim {
class PtySensorServer;
}

class GroupSimulators {
public:
    GroupSimulators();
    ~GroupSimulators();
    GroupSimulators(const GroupSimulators&) = delete;
    GroupSimulators& operator=(const GroupSimulators&) = delete;

    // Starts the servers and points the specs' ports at them; false when one
    // could not start (the reason in Error()).
    bool Start(std::vector<SensorSpec>& specs);
    const std::string& Error() const { return error_; }

private:
    std::vector<std::unique_ptr<sim::PtySensorServer>> servers_;
    std::string error_;
};

}  // namespace mk27x
