#include "protocol/codec.h"

#include <cstdio>
#include <string_view>

namespace mk27x {

SensorIdentity DecodeIdentity(const std::uint8_t (&reply)[kIdentityReplyLength]) {
    SensorIdentity id;
    id.Model = static_cast<std::uint8_t>(NibblesValue(reply + 0, 2));
    id.Release = static_cast<std::uint8_t>(NibblesValue(reply + 2, 2));
    id.SerialNumber = static_cast<std::uint16_t>(NibblesValue(reply + 4, 4));
    id.BaseDistance = static_cast<std::uint16_t>(NibblesValue(reply + 8, 4));
    id.MeasuringRange = static_cast<std::uint16_t>(NibblesValue(reply + 12, 4));
    return id;
}

float DistanceMm(std::uint16_t value, std::uint16_t measuring_range) {
    const double v = static_cast<std::int16_t>(value);
    const double r = static_cast<std::int16_t>(measuring_range);
    return static_cast<float>(v * r / 16384.0);
}

std::string DistanceText(float mm) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(mm));
    // A value that rounds to zero reads "0.000", never "-0.000".
    if (text[0] == '-' &&
        std::string_view(text + 1).find_first_not_of("0.") == std::string_view::npos)
        return text + 1;
    return text;
}

std::string DistanceReadout(float mm) {
    return DistanceText(mm) + " mm";
}

}  // namespace mk27x
