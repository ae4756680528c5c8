#include "group/sensor_spec.h"

#include <algorithm>
#include <charconv>

#include "transport/port_name.h"

namespace mk27x {
namespace {

constexpr std::uint32_t kRates[] = {9600, 115200, 230400, 460800, 921600};

template <typename Number>
bool ParseWhole(const std::string& text, Number& n) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    return !text.empty() && ec == std::errc() && ptr == end;
}

bool IsNameChar(char c, bool first) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
           (!first && c >= '0' && c <= '9');
}

}  // namespace

bool IsGroupName(const std::string& name) {
    if (name.empty() || name.size() > 32) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (!IsNameChar(name[i], i == 0)) return false;
    return true;
}

std::optional<SensorSpec> ParseSensorSpec(const std::string& text, std::string& error) {
    const auto eq = text.find('=');
    if (eq == std::string::npos) {
        error = "expected NAME=PORT[@RATE][#ADDRESS], got '" + text + "'";
        return std::nullopt;
    }
    SensorSpec spec;
    spec.name = text.substr(0, eq);
    if (!IsGroupName(spec.name)) {
        error = "'" + spec.name + "' is not a sensor name (a letter, then letters, digits or _)";
        return std::nullopt;
    }
    std::string port = text.substr(eq + 1);
    if (const auto hash = port.rfind('#'); hash != std::string::npos) {
        int address = 0;
        if (!ParseWhole(port.substr(hash + 1), address) || address < 1 || address > 127) {
            error = "sensor " + spec.name + ": the address must be 1 to 127";
            return std::nullopt;
        }
        spec.address = static_cast<std::uint8_t>(address);
        port.resize(hash);
    }
    if (const auto at = port.rfind('@'); at != std::string::npos) {
        std::uint32_t baud = 0;
        if (!ParseWhole(port.substr(at + 1), baud) ||
            std::find(std::begin(kRates), std::end(kRates), baud) == std::end(kRates)) {
            error =
                "sensor " + spec.name + ": the rate must be 9600, 115200, 230400, 460800 or 921600";
            return std::nullopt;
        }
        spec.baud = baud;
        port.resize(at);
    }
    if (port.empty() || port == "tcp://" || port == "rfc2217://") {
        error = "sensor " + spec.name + " has no port";
        return std::nullopt;
    }
    spec.port = std::move(port);
    return spec;
}

std::string LineKey(const std::string& port) {
    const std::string path = SerialDevicePath(port);
    return path.empty() ? port : path;
}

std::vector<GroupLine> GroupLines(const std::vector<SensorSpec>& specs) {
    std::vector<GroupLine> lines;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const std::string key = LineKey(specs[i].port);
        auto line = std::find_if(lines.begin(), lines.end(),
                                 [&](const GroupLine& l) { return l.key == key; });
        if (line == lines.end()) line = lines.insert(lines.end(), GroupLine{key, {}});
        line->sensors.push_back(i);
    }
    return lines;
}

std::string CheckGroupNames(const std::vector<SensorSpec>& specs,
                            const std::vector<ChannelSpec>& channels) {
    for (std::size_t i = 0; i < specs.size(); ++i) {
        if (IsReservedChannelName(specs[i].name))
            return "a sensor may not be called " + specs[i].name;
        for (std::size_t j = 0; j < i; ++j)
            if (specs[i].name == specs[j].name) return "two sensors are named " + specs[i].name;
    }
    for (std::size_t c = 0; c < channels.size(); ++c) {
        const std::string& name = channels[c].name;
        const bool taken =
            std::any_of(specs.begin(), specs.end(),
                        [&](const SensorSpec& s) { return s.name == name; }) ||
            std::any_of(channels.begin(), channels.begin() + static_cast<std::ptrdiff_t>(c),
                        [&](const ChannelSpec& s) { return s.name == name; });
        if (taken) return "the name " + name + " is given twice";
    }
    return {};
}

std::string CheckGroup(const std::vector<SensorSpec>& specs,
                       const std::vector<ChannelSpec>& channels) {
    if (specs.empty()) return "no sensor given";
    if (std::string problem = CheckGroupNames(specs, channels); !problem.empty()) return problem;
    for (const GroupLine& line : GroupLines(specs)) {
        for (std::size_t a = 0; a < line.sensors.size(); ++a) {
            for (std::size_t b = 0; b < a; ++b) {
                const SensorSpec& x = specs[line.sensors[a]];
                const SensorSpec& y = specs[line.sensors[b]];
                if (x.baud != y.baud)
                    return "sensors " + y.name + " and " + x.name + " share " + line.key +
                           " but not its rate";
                if (x.address == y.address)
                    return "sensors " + y.name + " and " + x.name + " share " + line.key +
                           " and the address " + std::to_string(x.address);
            }
        }
    }
    return {};
}

}  // namespace mk27x
