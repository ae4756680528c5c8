#include "publish/publish_options.h"

#include <charconv>
#include <cstdlib>
#include <fstream>

namespace mk27x {

bool ParsePublishOption(const std::string& arg, const std::function<std::string()>& value,
                        PublishOptions& o, std::string& error) {
    if (arg == "--publish") {
        o.url = value();
    } else if (arg == "--mqtt-qos") {
        const std::string v = value();
        if (v != "0" && v != "1" && v != "2") error = "--mqtt-qos must be 0, 1 or 2";
        o.qos = v.empty() ? 1 : v[0] - '0';
    } else if (arg == "--mqtt-buffer-seconds") {
        const std::string v = value();
        double s = 0;
        const auto [ptr, ec] = std::from_chars(v.data(), v.data() + v.size(), s);
        if (ec != std::errc() || ptr != v.data() + v.size() || !(s > 0) || !(s <= 1e6))
            error = "--mqtt-buffer-seconds must be a number of seconds above 0, at most 1000000";
        o.buffer_seconds = s;
    } else if (arg == "--mqtt-cafile") {
        o.cafile = value();
    } else if (arg == "--mqtt-password-file") {
        o.password_file = value();
    } else if (arg == "--mqtt-password") {
        error = std::string("no password on the command line: use ") + kMqttPasswordVariable +
                " or --mqtt-password-file";
    } else {
        return false;
    }
    return true;
}

std::optional<PublishSettings> PublishSettingsFrom(const PublishOptions& o, std::string& error) {
    if (!o.url) {
        error = "the --mqtt options go with --publish URL";
        return std::nullopt;
    }
    const auto target = ParseMqttUrl(*o.url, &error);
    if (!target) {
        error = "--publish: " + error;
        return std::nullopt;
    }
    PublishSettings s;
    s.target = *target;
    if (o.qos) s.qos = *o.qos;
    if (o.buffer_seconds) s.buffer_seconds = *o.buffer_seconds;
    if (o.cafile) {
        if (!target->tls) {
            error = "--mqtt-cafile goes with an mqtts:// URL";
            return std::nullopt;
        }
        s.cafile = *o.cafile;
    }
    if (o.password_file) {
        std::ifstream in(*o.password_file);
        if (!in || !std::getline(in, s.password)) {
            error = "cannot read the password file " + *o.password_file;
            return std::nullopt;
        }
        if (!s.password.empty() && s.password.back() == '\r') s.password.pop_back();
        if (target->user.empty()) {
            error = "a password needs a user name: mqtt://USER@HOST/PREFIX";
            return std::nullopt;
        }
    } else {
        s.password = EnvironmentMqttPassword();
    }
    return s;
}

std::string EnvironmentMqttPassword() {
    const char* p = std::getenv(kMqttPasswordVariable);
    return p ? p : "";
}

}  // namespace mk27x
