#include "recording/json_line.h"

#include "protocol/codec.h"

namespace mk27x {
namespace {

std::string Scalar(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

Json IdentityJson(const SensorIdentity& id) {
    return {{"model", id.Model},
            {"release", id.Release},
            {"serial", id.SerialNumber},
            {"base_mm", id.BaseDistance},
            {"range_mm", id.MeasuringRange}};
}

std::string JsonLine(const Json& value) {
    if (value.is_object()) {
        std::string text = "{";
        for (auto it = value.begin(); it != value.end(); ++it) {
            if (it != value.begin()) text += ", ";
            text += Scalar(it.key()) + ": " + JsonLine(it.value());
        }
        return text + "}";
    }
    if (value.is_array()) {
        std::string text = "[";
        for (std::size_t i = 0; i < value.size(); ++i) text += (i ? ", " : "") + JsonLine(value[i]);
        return text + "]";
    }
    return Scalar(value);
}

std::string JsonObjectLine(
    std::initializer_list<std::pair<std::string_view, std::string>> members) {
    std::string text = "{";
    for (const auto& [name, value] : members) {
        if (text.size() > 1) text += ", ";
        text += Scalar(std::string(name)) + ": " + value;
    }
    return text + "}";
}

}  // namespace mk27x
