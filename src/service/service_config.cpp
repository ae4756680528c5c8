#include "service/service_config.h"

#include <toml++/toml.h>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <functional>
#include <map>

namespace mk27x {
namespace {

struct Refused {
    ConfigError error;
};

struct Unit {
    const char* name;
    double factor;
};

// NUMBER UNIT, the unit one of `units`; the value in the unit's base.
std::optional<double> ReadQuantity(const std::string& text, std::initializer_list<Unit> units) {
    double n = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (ptr == text.data() || ec != std::errc() || !(n > 0) || !std::isfinite(n))
        return std::nullopt;
    const std::string unit(ptr, end);
    for (const Unit& u : units)
        if (unit == u.name) return n * u.factor;
    return std::nullopt;
}

constexpr std::initializer_list<Unit> kTimeUnits = {
    {"s", 1}, {"m", 60}, {"min", 60}, {"h", 3600}, {"d", 86400}};
constexpr std::initializer_list<Unit> kSizeUnits = {
    {"kB", 1e3},     {"MB", 1e6},        {"GB", 1e9},           {"TB", 1e12},
    {"KiB", 1024.0}, {"MiB", 1048576.0}, {"GiB", 1073741824.0}, {"TiB", 1099511627776.0}};

// A period of whole seconds, at least `least`, or a size of at least a kB.
bool ReadPeriodOrSize(const std::string& text, std::chrono::seconds least,
                      std::chrono::seconds& period, std::uint64_t& bytes) {
    if (const auto s = ReadQuantity(text, kTimeUnits)) {
        if (*s < static_cast<double>(least.count()) || *s > 1e9 || *s != std::floor(*s))
            return false;
        period = std::chrono::seconds(static_cast<std::int64_t>(*s));
        return true;
    }
    if (const auto b = ReadQuantity(text, kSizeUnits)) {
        if (*b < 1000 || *b > 1e18) return false;
        bytes = static_cast<std::uint64_t>(*b);
        return true;
    }
    return false;
}

ConfigOrigin At(const std::string& file, const toml::node& node) {
    return {file, static_cast<int>(node.source().begin.line)};
}

[[noreturn]] void Refuse(const ConfigOrigin& at, std::string reason) {
    throw Refused{{at, std::move(reason)}};
}

// The reader of one file: a handler per key of each table.
class ConfigReader {
public:
    explicit ConfigReader(std::string file) : file_(std::move(file)) {}

    ServiceConfig Read(const toml::table& root) {
        using Handler = std::function<void(const toml::table&)>;
        // Every table (or array of tables) the file may have: new sections
        // are a line here.
        const std::map<std::string, Handler> sections = {
            {"sensor", [this](const toml::table& t) { Sensor(t); }},
            {"channel", [this](const toml::table& t) { Channel(t); }},
            {"record", [this](const toml::table& t) { Record(t); }},
            {"publish", [this](const toml::table& t) { Publish(t); }},
            {"modbus", [this](const toml::table& t) { Modbus(t); }},
            {"http", [this](const toml::table& t) { Http(t); }},
        };
        const std::map<std::string, bool> arrays = {{"sensor", true}, {"channel", true}};
        for (const auto& [key, node] : root) {
            const std::string name(key.str());
            if (name == "poll_rate") {
                config_.poll_rate_hz = Number(node, name);
                if (!(*config_.poll_rate_hz > 0) || !(*config_.poll_rate_hz <= 10000))
                    Refuse(At(file_, node), "poll_rate must be positive and at most 10000");
                continue;
            }
            const auto section = sections.find(name);
            if (section == sections.end()) Refuse(At(file_, node), "unknown key " + name);
            const bool many = arrays.count(name) != 0;
            if (many && node.is_array_of_tables()) {
                for (const toml::node& t : *node.as_array()) section->second(*t.as_table());
            } else if (!many && node.is_table()) {
                section->second(*node.as_table());
            } else {
                Refuse(At(file_, node), many ? name + " must be written [[" + name + "]]"
                                             : name + " must be a table [" + name + "]");
            }
        }
        return std::move(config_);
    }

private:
    using Keys = std::map<std::string, std::function<void(const toml::node&)>>;

    void Keyed(const toml::table& table, const std::string& section, const Keys& keys) {
        for (const auto& [key, node] : table) {
            const auto k = keys.find(std::string(key.str()));
            if (k == keys.end())
                Refuse(At(file_, node),
                       "unknown key " + std::string(key.str()) + " in [" + section + "]");
            k->second(node);
        }
    }

    std::string Text(const toml::node& node, const std::string& key) {
        const auto v = node.value_exact<std::string>();
        if (!v) Refuse(At(file_, node), key + " must be a string");
        return *v;
    }
    std::int64_t Integer(const toml::node& node, const std::string& key) {
        const auto v = node.value_exact<std::int64_t>();
        if (!v) Refuse(At(file_, node), key + " must be an integer");
        return *v;
    }
    double Number(const toml::node& node, const std::string& key) {
        if (!node.is_number()) Refuse(At(file_, node), key + " must be a number");
        return *node.value<double>();
    }
    Limits LimitPair(const toml::node& node) {
        const toml::array* a = node.as_array();
        if (!a || a->size() != 2 || !(*a)[0].is_number() || !(*a)[1].is_number())
            Refuse(At(file_, node), "limits must be [LOW, HIGH] in mm");
        const Limits limits{*(*a)[0].value<double>(), *(*a)[1].value<double>()};
        if (std::string problem = CheckLimits(limits); !problem.empty())
            Refuse(At(file_, node), problem);
        return limits;
    }
    ConfigOrigin Need(const toml::table& table, const char* key, const std::string& section) {
        if (!table.contains(key)) Refuse(At(file_, table), "[" + section + "] needs " + key);
        return At(file_, *table.get(key));
    }

    void Sensor(const toml::table& t) {
        std::string name, port;
        std::int64_t baud = kGroupDefaultBaud, address = kGroupDefaultAddress;
        std::optional<Limits> limits;
        ConfigOrigin limits_at;
        Keyed(t, "[sensor]",
              {{"name", [&](const toml::node& n) { name = Text(n, "name"); }},
               {"port", [&](const toml::node& n) { port = Text(n, "port"); }},
               {"baud", [&](const toml::node& n) { baud = Integer(n, "baud"); }},
               {"address", [&](const toml::node& n) { address = Integer(n, "address"); }},
               {"limits", [&](const toml::node& n) {
                    limits = LimitPair(n);
                    limits_at = At(file_, n);
                }}});
        const ConfigOrigin at = Need(t, "name", "[sensor]");
        Need(t, "port", "[sensor]");
        std::string error;
        const auto spec = ParseSensorSpec(
            name + "=" + port + "@" + std::to_string(baud) + "#" + std::to_string(address), error);
        if (!spec) Refuse(at, error);
        config_.sensors.push_back({*spec, at});
        if (limits) config_.limits.push_back({{name, *limits}, limits_at});
    }

    void Channel(const toml::table& t) {
        ChannelSpec spec;
        std::optional<Limits> limits;
        ConfigOrigin limits_at;
        Keyed(
            t, "[channel]",
            {{"name", [&](const toml::node& n) { spec.name = Text(n, "name"); }},
             {"expression", [&](const toml::node& n) { spec.expression = Text(n, "expression"); }},
             {"limits", [&](const toml::node& n) {
                  limits = LimitPair(n);
                  limits_at = At(file_, n);
              }}});
        const ConfigOrigin at = Need(t, "name", "[channel]");
        Need(t, "expression", "[channel]");
        config_.channels.push_back({spec, at});
        if (limits) config_.limits.push_back({{spec.name, *limits}, limits_at});
    }

    void Record(const toml::table& t) {
        std::string error;
        Keyed(t, "record",
              {{"folder", [&](const toml::node& n) { config_.record_dir = Text(n, "folder"); }},
               {"rotate",
                [&](const toml::node& n) {
                    config_.rotate = ParseRotate(Text(n, "rotate"), error);
                    if (!config_.rotate) Refuse(At(file_, n), error);
                }},
               {"keep", [&](const toml::node& n) {
                    config_.keep = ParseKeep(Text(n, "keep"), error);
                    if (!config_.keep) Refuse(At(file_, n), error);
                }}});
    }

    void Publish(const toml::table& t) {
        PublishOptions& p = config_.publish;
        config_.publish_at = At(file_, t);
        Keyed(t, "publish",
              {{"url",
                [&](const toml::node& n) {
                    p.url = Text(n, "url");
                    config_.publish_at = At(file_, n);
                }},
               {"qos",
                [&](const toml::node& n) {
                    p.qos = static_cast<int>(Integer(n, "qos"));
                    if (*p.qos < 0 || *p.qos > 2) Refuse(At(file_, n), "qos must be 0, 1 or 2");
                }},
               {"buffer_seconds",
                [&](const toml::node& n) {
                    p.buffer_seconds = Number(n, "buffer_seconds");
                    if (!(*p.buffer_seconds > 0))
                        Refuse(At(file_, n), "buffer_seconds must be positive");
                }},
               {"cafile", [&](const toml::node& n) { p.cafile = Text(n, "cafile"); }},
               {"password_file",
                [&](const toml::node& n) { p.password_file = Text(n, "password_file"); }}});
    }

    void Modbus(const toml::table& t) {
        std::string error;
        Keyed(t, "modbus", {{"listen", [&](const toml::node& n) {
                                 config_.modbus = ParseListen(Text(n, "listen"), error);
                                 if (!config_.modbus) Refuse(At(file_, n), error);
                             }}});
    }

    void Http(const toml::table& t) {
        HttpConfig& h = config_.http;
        h.at = At(file_, t);
        std::string error;
        Keyed(t, "http",
              {{"listen",
                [&](const toml::node& n) {
                    h.listen = ParseListen(Text(n, "listen"), error);
                    if (!h.listen) Refuse(At(file_, n), error);
                }},
               {"users", [&](const toml::node& n) { h.users = Text(n, "users"); }},
               {"cert", [&](const toml::node& n) { h.cert = Text(n, "cert"); }},
               {"key", [&](const toml::node& n) { h.key = Text(n, "key"); }},
               {"insecure", [&](const toml::node& n) {
                    const auto v = n.value_exact<bool>();
                    if (!v) Refuse(At(file_, n), "insecure must be true or false");
                    h.insecure = *v;
                }}});
    }

    std::string file_;
    ServiceConfig config_;
};

template <typename Entry, typename Name>
void Overlay(std::vector<Entry>& base, const std::vector<Entry>& over, Name name) {
    for (const Entry& e : over) {
        const auto same = std::find_if(base.begin(), base.end(),
                                       [&](const Entry& b) { return name(b) == name(e); });
        if (same != base.end())
            *same = e;
        else
            base.push_back(e);
    }
}

}  // namespace

std::string ConfigError::Text() const {
    return at.file.empty() ? reason : at.file + ":" + std::to_string(at.line) + ": " + reason;
}

std::optional<RotateRule> ParseRotate(const std::string& text, std::string& error) {
    RotateRule r;
    if (ReadPeriodOrSize(text, std::chrono::minutes(1), r.period, r.bytes)) return r;
    error =
        "rotate must be a period of whole seconds, at least 1m (15m, 1h, 1d) or a size of at "
        "least 1kB (100MB, 1GB), not '" +
        text + "'";
    return std::nullopt;
}

std::optional<KeepRule> ParseKeep(const std::string& text, std::string& error) {
    KeepRule k;
    if (ReadPeriodOrSize(text, std::chrono::minutes(1), k.age, k.bytes)) return k;
    error =
        "keep must be an age of at least 1m (14d, 36h) or a total size of at least 1kB "
        "(50GB), not '" +
        text + "'";
    return std::nullopt;
}

std::optional<ListenAddress> ParseListen(const std::string& text, std::string& error) {
    const std::size_t colon = text.rfind(':');
    ListenAddress a;
    if (colon == std::string::npos) {
        // A port alone: loopback, the network only when named.
        a.host = "127.0.0.1";
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), a.port);
        if (!text.empty() && ec == std::errc() && ptr == text.data() + text.size() && a.port > 0 &&
            a.port < 65536)
            return a;
    } else if (colon > 0) {
        a.host = text.substr(0, colon);
        if (a.host.size() > 2 && a.host.front() == '[' && a.host.back() == ']')
            a.host = a.host.substr(1, a.host.size() - 2);
        const std::string port = text.substr(colon + 1);
        const auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), a.port);
        if (!port.empty() && ec == std::errc() && ptr == port.data() + port.size() && a.port > 0 &&
            a.port < 65536 && a.host.find_first_of("[]") == std::string::npos)
            return a;
    }
    error = "listen must be [HOST:]PORT (port 1 to 65535), not '" + text + "'";
    return std::nullopt;
}

std::vector<SensorSpec> ServiceConfig::SensorSpecs() const {
    std::vector<SensorSpec> out;
    for (const Sensor& s : sensors) out.push_back(s.spec);
    return out;
}

std::vector<ChannelSpec> ServiceConfig::ChannelSpecs() const {
    std::vector<ChannelSpec> out;
    for (const ChannelEntry& c : channels) out.push_back(c.spec);
    return out;
}

std::optional<Limits> ServiceConfig::LimitsOf(const std::string& name) const {
    for (const LimitEntry& l : limits)
        if (l.limits.name == name) return l.limits.limits;
    return std::nullopt;
}

std::optional<ServiceConfig> ReadServiceConfig(const std::string& path, ConfigError& error) {
    try {
        const toml::table root = toml::parse_file(path);
        return ConfigReader(path).Read(root);
    } catch (const toml::parse_error& e) {
        error = {{path, static_cast<int>(e.source().begin.line)}, std::string(e.description())};
    } catch (const Refused& r) {
        error = r.error;
    }
    return std::nullopt;
}

ServiceConfig MergeConfig(ServiceConfig base, const ServiceConfig& over) {
    Overlay(base.sensors, over.sensors, [](const auto& e) { return e.spec.name; });
    Overlay(base.channels, over.channels, [](const auto& e) { return e.spec.name; });
    Overlay(base.limits, over.limits, [](const auto& e) { return e.limits.name; });
    if (over.poll_rate_hz) base.poll_rate_hz = over.poll_rate_hz;
    if (over.record_dir) base.record_dir = over.record_dir;
    if (over.rotate) base.rotate = over.rotate;
    if (over.keep) base.keep = over.keep;
    if (over.modbus) base.modbus = over.modbus;
    HttpConfig& h = base.http;
    const HttpConfig& o = over.http;
    if (o.listen || o.users || o.cert || o.key || o.insecure) h.at = o.at;
    if (o.listen) h.listen = o.listen;
    if (o.users) h.users = o.users;
    if (o.cert) h.cert = o.cert;
    if (o.key) h.key = o.key;
    if (o.insecure) h.insecure = o.insecure;
    PublishOptions& p = base.publish;
    const PublishOptions& q = over.publish;
    if (q.Any()) base.publish_at = over.publish_at;
    if (q.url) p.url = q.url;
    if (q.qos) p.qos = q.qos;
    if (q.buffer_seconds) p.buffer_seconds = q.buffer_seconds;
    if (q.cafile) p.cafile = q.cafile;
    if (q.password_file) p.password_file = q.password_file;
    return base;
}

std::optional<ConfigError> CheckServiceConfig(const ServiceConfig& config) {
    const std::vector<SensorSpec> specs = config.SensorSpecs();
    if (std::string problem = CheckGroup(specs); !problem.empty()) {
        // The sensor the fault is about, when the text names one.
        ConfigOrigin at = config.sensors.empty() ? ConfigOrigin{} : config.sensors.back().at;
        for (const auto& s : config.sensors)
            if (problem.find(s.spec.name) != std::string::npos) at = s.at;
        return ConfigError{at, problem};
    }
    std::vector<std::string> names;
    for (const auto& s : config.sensors) {
        if (IsReservedChannelName(s.spec.name))
            return ConfigError{s.at, "a sensor may not be called " + s.spec.name};
        names.push_back(s.spec.name);
    }
    std::vector<std::string> taken = names;
    for (const auto& c : config.channels) {
        if (std::find(taken.begin(), taken.end(), c.spec.name) != taken.end())
            return ConfigError{c.at, "the name " + c.spec.name + " is given twice"};
        taken.push_back(c.spec.name);
        ChannelError error;
        if (!Channel::Compile(c.spec, names, error))
            return ConfigError{c.at, ChannelErrorText(c.spec, error)};
    }
    for (const auto& l : config.limits)
        if (std::find(taken.begin(), taken.end(), l.limits.name) == taken.end())
            return ConfigError{
                l.at, "limits for " + l.limits.name + ", which is neither a sensor nor a channel"};
    return std::nullopt;
}

}  // namespace mk27x
