// The publishing options as the front ends take them, apart from any parser:
//
//   --publish URL               mqtt://[USER@]HOST[:PORT]/PREFIX or mqtts://...
//   --mqtt-qos 0|1|2            default 1
//   --mqtt-buffer-seconds S     the queue's bound while the broker is away
//   --mqtt-cafile FILE          mqtts: the CA certificates to trust
//   --mqtt-password-file FILE   the password on its first line; otherwise the
//                               environment's MK27X_MQTT_PASSWORD
//
// The password is never taken from the command line.
//
// Threading: the calling thread.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "publish/mqtt_publisher.h"

namespace mk27x {

inline constexpr const char* kMqttPasswordVariable = "MK27X_MQTT_PASSWORD";

struct PublishOptions {
    std::optional<std::string> url;
    std::optional<int> qos;
    std::optional<double> buffer_seconds;
    std::optional<std::string> cafile;
    std::optional<std::string> password_file;
    bool Any() const { return url || qos || buffer_seconds || cafile || password_file; }
};

// True when `arg` is one of the options above; its value from `value`. A bad
// value leaves its reason in `error`.
bool ParsePublishOption(const std::string& arg, const std::function<std::string()>& value,
                        PublishOptions& options, std::string& error);

// The publisher's settings, with the password read; nothing (the reason in
// `error`) when the URL or the password file is not usable.
std::optional<PublishSettings> PublishSettingsFrom(const PublishOptions& options,
                                                   std::string& error);

// The password of the environment (MK27X_MQTT_PASSWORD), empty when unset.
std::string EnvironmentMqttPassword();

}  // namespace mk27x
