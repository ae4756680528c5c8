// Where the recording is published: `mqtt://[USER@]HOST[:PORT]/TOPIC-PREFIX`
// or `mqtts://…` (TLS). The port defaults to 1883 (mqtt) or 8883 (mqtts); the
// prefix is everything after the first '/' past the host, without a trailing
// '/', and holds no MQTT wildcard. A host may be an IPv6 address in brackets.
//
// The password never comes with the URL (it would show in the process list):
// see PublishSettings.
#pragma once

#include <optional>
#include <string>

namespace mk27x {

struct MqttTarget {
    bool tls = false;
    std::string user;  // empty: no user name sent
    std::string host;
    int port = 1883;
    std::string prefix;

    // The URL again, without the password (there is none in it anyway).
    std::string Text() const;
};

// The target of `url`; on a malformed URL nothing, with the reason in `error`.
std::optional<MqttTarget> ParseMqttUrl(const std::string& url, std::string* error = nullptr);

// A topic level made of a free text (a sensor's or a channel's name): MQTT's
// wildcards and the level separator become '_'; an empty text becomes "_".
std::string TopicLevel(const std::string& text);

}  // namespace mk27x
