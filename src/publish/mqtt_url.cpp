#include "publish/mqtt_url.h"

#include <charconv>

namespace mk27x {
namespace {

std::optional<MqttTarget> Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return std::nullopt;
}

}  // namespace

std::string MqttTarget::Text() const {
    std::string text = tls ? "mqtts://" : "mqtt://";
    if (!user.empty()) text += user + "@";
    text += host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return text + ":" + std::to_string(port) + "/" + prefix;
}

std::optional<MqttTarget> ParseMqttUrl(const std::string& url, std::string* error) {
    MqttTarget t;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        t.tls = true;
        t.port = 8883;
        rest = url.substr(8);
    } else {
        return Fail(error, "the URL must start with mqtt:// or mqtts://");
    }
    const auto slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    t.prefix = slash == std::string::npos ? "" : rest.substr(slash + 1);
    while (!t.prefix.empty() && t.prefix.back() == '/') t.prefix.pop_back();
    if (t.prefix.empty()) return Fail(error, "the URL needs a topic prefix: mqtt://HOST/PREFIX");
    if (t.prefix.find_first_of("+#") != std::string::npos)
        return Fail(error, "the topic prefix must not hold + or #");

    const auto at = authority.rfind('@');
    if (at != std::string::npos) {
        t.user = authority.substr(0, at);
        authority.erase(0, at + 1);
        if (t.user.empty()) return Fail(error, "empty user name before @");
        if (t.user.find(':') != std::string::npos)
            return Fail(error,
                        "no password in the URL: use MK27X_MQTT_PASSWORD or --mqtt-password-file");
    }
    std::string port;
    if (!authority.empty() && authority[0] == '[') {
        const auto close = authority.find(']');
        if (close == std::string::npos) return Fail(error, "unclosed [ in the host");
        t.host = authority.substr(1, close - 1);
        const std::string after = authority.substr(close + 1);
        if (!after.empty() && after[0] != ':') return Fail(error, "text after the host's ]");
        if (!after.empty()) port = after.substr(1);
        if (after == ":") return Fail(error, "empty port");
    } else {
        const auto colon = authority.find(':');
        t.host = authority.substr(0, colon);
        if (colon != std::string::npos) {
            port = authority.substr(colon + 1);
            if (port.empty()) return Fail(error, "empty port");
        }
    }
    if (t.host.empty()) return Fail(error, "the URL needs a host");
    if (!port.empty()) {
        int n = 0;
        const auto [ptr, ec] = std::from_chars(port.data(), port.data() + port.size(), n);
        if (ec != std::errc() || ptr != port.data() + port.size() || n < 1 || n > 65535)
            return Fail(error, "the port must be 1 to 65535: " + port);
        t.port = n;
    }
    return t;
}

std::string TopicLevel(const std::string& text) {
    if (text.empty()) return "_";
    std::string level = text;
    for (char& c : level)
        if (c == '/' || c == '+' || c == '#' || c == '\0') c = '_';
    return level;
}

}  // namespace mk27x
