#include "transport/port_name.h"

namespace mk27x {

std::string SerialDevicePath(const std::string& port_name) {
    if (!port_name.empty() && port_name.front() == '/') return port_name;
    if (port_name.size() == 4 && port_name.compare(0, 3, "COM") == 0 && port_name[3] >= '1' &&
        port_name[3] <= '4') {
        return "/dev/ttyS" + std::string(1, static_cast<char>(port_name[3] - 1));
    }
    return {};
}

}  // namespace mk27x
