// The sensors of a group as the operator names them: NAME=PORT[@RATE][#ADDRESS],
// e.g. "A=/dev/ttyUSB0@921600", "B=tcp://line3-gateway:4001#3", "C=USB".
//
// PORT is a port as the program takes it everywhere ("COM1".."COM4", "USB", a
// device path, "tcp://HOST:PORT", "rfc2217://HOST:PORT"); RATE one of the
// sensor's baud rates (default 115200), ADDRESS its network address 1..127
// (default 1). The rate and the address are taken from the end of the text, so
// the ':' of a network port stays with the port.
//
// Sensors whose ports name the same line ("COM1" and "/dev/ttyS0" are one line)
// share it: they must agree on the rate and differ in the address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "group/channel.h"

namespace mk27x {

inline constexpr std::uint32_t kGroupDefaultBaud = 115200;
inline constexpr std::uint8_t kGroupDefaultAddress = 1;

struct SensorSpec {
    std::string name;
    std::string port;
    std::uint32_t baud = kGroupDefaultBaud;
    std::uint8_t address = kGroupDefaultAddress;
    bool operator==(const SensorSpec&) const = default;
};

// A name of a sensor or channel: a letter or '_', then letters, digits, '_'.
bool IsGroupName(const std::string& name);

// Parses one spec; on failure returns nothing and says why in `error`.
std::optional<SensorSpec> ParseSensorSpec(const std::string& text, std::string& error);

// The line a port name stands for: "COM1" and "/dev/ttyS0" are the same.
std::string LineKey(const std::string& port);

// The sensors of one line, by their index in the group, in the order given.
struct GroupLine {
    std::string key;
    std::vector<std::size_t> sensors;
};
std::vector<GroupLine> GroupLines(const std::vector<SensorSpec>& specs);

// The names of a group's sensors and channels: none given twice, no sensor
// named as one of the expression parser's functions or constants. Empty when
// sound, else why not.
std::string CheckGroupNames(const std::vector<SensorSpec>& specs,
                            const std::vector<ChannelSpec>& channels);

// Checks a whole group: at least one sensor, the names (CheckGroupNames),
// sensors sharing a line at one rate and at different addresses. Empty when
// sound, else why not.
std::string CheckGroup(const std::vector<SensorSpec>& specs,
                       const std::vector<ChannelSpec>& channels = {});

}  // namespace mk27x
