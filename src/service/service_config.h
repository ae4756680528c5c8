// The line service's configuration: a TOML file (--config FILE) and the
// command line's options, which win over the file's.
//
//   poll_rate = 20                      # polling cycles per second on a shared line
//   [[sensor]]                          # one per sensor, in the rows' order
//   name = "A"
//   port = "/dev/ttyUSB0"
//   baud = 921600                       # default 115200
//   address = 1                         # default 1
//   limits = [24.5, 25.5]               # optional, mm
//   [[channel]]
//   name = "thickness"
//   expression = "120 - A - B"
//   limits = [11.95, 12.05]
//   [record]
//   folder = "/var/lib/mk27x/line1"
//   rotate = "1h"                       # 15m, 1h, 1d ... or 100MB, 1GB ...
//   keep = "14d"                        # by age, or "50GB" by total size
//   [publish]
//   url = "mqtt://broker.local/plant/line1"
//   qos = 1
//   buffer_seconds = 600
//   cafile = "/etc/ssl/plant-ca.pem"
//   password_file = "/etc/mk27x/mqtt-password"
//   [modbus]
//   listen = "0.0.0.0:502"
//   [http]
//   listen = "0.0.0.0:8443"             # a port alone: 127.0.0.1
//   users = "/etc/mk27x/http-users"     # NAME:HASH lines (mk27x serve --hash-password)
//   cert = "/etc/mk27x/line1.crt"       # TLS with key
//   key = "/etc/mk27x/line1.key"
//   insecure = false                    # plain HTTP off loopback
//
// Sensors, channels and limits given on the command line replace those of the
// file with the same name and add the others; every other option replaces the
// file's value. Whatever is refused (an unknown table or key, a value of the
// wrong type, a sensor, channel, limit, rotate or keep that does not read) is
// told with the file and line it came from, before anything is opened.
//
// Threading: plain functions of the calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "group/channel.h"
#include "group/sensor_spec.h"
#include "publish/publish_options.h"
#include "service/limits.h"

namespace mk27x {

// Where a setting came from: a file and line, or the command line (no file).
struct ConfigOrigin {
    std::string file;
    int line = 0;
};

struct ConfigError {
    ConfigOrigin at;
    std::string reason;
    // "FILE:LINE: reason", or the reason alone for the command line.
    std::string Text() const;
};

// When a recording file ends: at every wall-clock boundary of a period (on the
// hour for 1h, counted in UTC from midnight), or at a size.
struct RotateRule {
    std::chrono::seconds period{0};  // 0: by size
    std::uint64_t bytes = 0;
    bool operator==(const RotateRule&) const = default;
};
// Which files are kept: those written within an age, or the newest within a
// total size.
struct KeepRule {
    std::chrono::seconds age{0};  // 0: by size
    std::uint64_t bytes = 0;
    bool operator==(const KeepRule&) const = default;
};

// "15m", "1h", "1d" (at least a minute) or "100MB", "1GB", "512kB" (at least a kB;
// kB, MB, GB, TB in powers of 1000, KiB, MiB, GiB, TiB of 1024).
std::optional<RotateRule> ParseRotate(const std::string& text, std::string& error);
// "14d", "36h" or "50GB" as above.
std::optional<KeepRule> ParseKeep(const std::string& text, std::string& error);

// [HOST:]PORT, [IPV6]:PORT; a port alone listens at 127.0.0.1.
struct ListenAddress {
    std::string host;
    int port = 0;
};
std::optional<ListenAddress> ParseListen(const std::string& text, std::string& error);

// The page's settings ([http] and the --http options).
struct HttpConfig {
    std::optional<ListenAddress> listen;
    std::optional<std::string> users;
    std::optional<std::string> cert;
    std::optional<std::string> key;
    std::optional<bool> insecure;
    ConfigOrigin at;  // where [http] or its last option came from
};

inline constexpr std::chrono::seconds kDefaultRotate = std::chrono::hours(1);

struct ServiceConfig {
    struct Sensor {
        SensorSpec spec;
        ConfigOrigin at;
    };
    struct ChannelEntry {
        ChannelSpec spec;
        ConfigOrigin at;
    };
    struct LimitEntry {
        NamedLimits limits;
        ConfigOrigin at;
    };
    std::vector<Sensor> sensors;
    std::vector<ChannelEntry> channels;
    std::vector<LimitEntry> limits;
    std::optional<double> poll_rate_hz;
    std::optional<std::string> record_dir;
    std::optional<RotateRule> rotate;
    std::optional<KeepRule> keep;
    PublishOptions publish;
    std::optional<ListenAddress> modbus;
    HttpConfig http;
    // Where the publishing options came from, for the check of the URL.
    ConfigOrigin publish_at;

    std::vector<SensorSpec> SensorSpecs() const;
    std::vector<ChannelSpec> ChannelSpecs() const;
    // The limits of an item, if it has them.
    std::optional<Limits> LimitsOf(const std::string& name) const;
};

// Reads the TOML file; nothing, with `error` at its line, when it is refused.
std::optional<ServiceConfig> ReadServiceConfig(const std::string& path, ConfigError& error);

// `over` (the command line) laid over `base` (the file).
ServiceConfig MergeConfig(ServiceConfig base, const ServiceConfig& over);

// The whole checked: the group sound, names unique, every channel compiled
// over the sensors' names, every limit naming a sensor or channel. Nothing
// when sound, else the first fault at its origin.
std::optional<ConfigError> CheckServiceConfig(const ServiceConfig& config);

}  // namespace mk27x
