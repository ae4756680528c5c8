// Fuzz target: the decoders of the sensor's replies and the distance texts.
//
// Input: 16 reply bytes, then two 16-bit numbers (value, measuring range).
// Checked: the identity depends on the nibbles only (bits 4..7 of every reply
// byte are ignored) and re-encoding its fields gives the same nibbles back; a
// value of n nibbles fits n nibbles; a distance is finite and at most twice
// the range; its text reads back within half a thousandth and never as
// "-0.000".
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "protocol/codec.h"

namespace {

void PutNibbles(std::uint8_t* out, unsigned value, int count) {
    for (int k = 0; k < count; ++k)
        out[k] = static_cast<std::uint8_t>(0x80 | ((value >> (4 * k)) & 0xF));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t reply[mk27x::kIdentityReplyLength] = {};
    std::memcpy(reply, data, size < sizeof reply ? size : sizeof reply);

    for (std::size_t count = 0; count <= 7; ++count)
        if (mk27x::NibblesValue(reply, count) >= (1u << (4 * count))) std::abort();

    const mk27x::SensorIdentity id = mk27x::DecodeIdentity(reply);
    std::uint8_t flipped[mk27x::kIdentityReplyLength];
    for (std::size_t i = 0; i < sizeof reply; ++i)
        flipped[i] = static_cast<std::uint8_t>(reply[i] ^ 0xF0);
    if (!(mk27x::DecodeIdentity(flipped) == id)) std::abort();

    std::uint8_t encoded[mk27x::kIdentityReplyLength];
    PutNibbles(encoded + 0, id.Model, 2);
    PutNibbles(encoded + 2, id.Release, 2);
    PutNibbles(encoded + 4, id.SerialNumber, 4);
    PutNibbles(encoded + 8, id.BaseDistance, 4);
    PutNibbles(encoded + 12, id.MeasuringRange, 4);
    for (std::size_t i = 0; i < sizeof reply; ++i)
        if ((encoded[i] & 0xF) != (reply[i] & 0xF)) std::abort();

    if (size < sizeof reply + 4) return 0;
    const std::uint8_t* p = data + sizeof reply;
    const auto value = static_cast<std::uint16_t>(p[0] | p[1] << 8);
    const auto range = static_cast<std::uint16_t>(p[2] | p[3] << 8);
    const float mm = mk27x::DistanceMm(value, range);
    if (!std::isfinite(mm)) std::abort();
    if (std::fabs(mm) > 2.0 * std::abs(static_cast<std::int16_t>(range))) std::abort();

    const std::string text = mk27x::DistanceText(mm);
    if (text.rfind("-0.000", 0) == 0 && text.size() == 6) std::abort();
    const std::size_t point = text.find('.');
    if (point == std::string::npos || text.size() - point != 4) std::abort();
    const double back = std::strtod(text.c_str(), nullptr);
    if (std::fabs(back - mm) > 0.0005 + 1e-9 * std::fabs(mm)) std::abort();
    if (mk27x::DistanceReadout(mm) != text + " mm") std::abort();
    return 0;
}
