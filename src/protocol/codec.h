// Pure codec functions of the sensor protocol: nibble bytes, the identification
// record, distances and their text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace mk27x {

// A request data byte carrying nibble n (0..15) in bits 0..3.
constexpr std::uint8_t NibbleByte(unsigned n) {
    return static_cast<std::uint8_t>(0x80 | (n & 0xF));
}
// Reply bytes carry their nibble in bits 0..3; the other bits do not matter.
constexpr unsigned Nibble(std::uint8_t byte) {
    return byte & 0xFu;
}

// Value of `count` reply bytes, least significant nibble first.
constexpr unsigned NibblesValue(const std::uint8_t* bytes, std::size_t count) {
    unsigned v = 0;
    for (std::size_t i = 0; i < count; ++i) v |= Nibble(bytes[i]) << (4 * i);
    return v;
}

// A reply counts only when every byte of it is a nibble byte (0x80..0x8F):
// anything else (stream frames, line noise, another device) is no reply.
constexpr bool IsNibbleByte(std::uint8_t byte) {
    return (byte & 0xF0) == 0x80;
}
constexpr bool AllNibbleBytes(const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (!IsNibbleByte(bytes[i])) return false;
    return true;
}

enum class Command : std::uint8_t {
    Identify = 1,
    ReadRegister = 2,
    WriteRegister = 3,
    Flash = 4,
    Measure = 6,
    StreamStart = 7,
    StreamStop = 8,
    CalibrationBlock = 10,
    Teach = 12,
    MeasureDev = 13,
};

constexpr std::uint8_t CommandByte(Command c) {
    return static_cast<std::uint8_t>(0x80 | static_cast<std::uint8_t>(c));
}

inline constexpr std::size_t kIdentityReplyLength = 16;

struct SensorIdentity {
    std::uint8_t Model = 0;
    std::uint8_t Release = 0;
    std::uint16_t SerialNumber = 0;
    std::uint16_t BaseDistance = 0;
    // Millimetres; every distance conversion takes it as a signed 16-bit number.
    std::uint16_t MeasuringRange = 0;

    std::int16_t SignedRange() const { return static_cast<std::int16_t>(MeasuringRange); }
    bool operator==(const SensorIdentity&) const = default;
};

SensorIdentity DecodeIdentity(const std::uint8_t (&reply)[kIdentityReplyLength]);

// Distance in mm of a 16-bit value in units of 1/16384 of the measuring range,
// both read as signed; computed in double, stored as float.
float DistanceMm(std::uint16_t value, std::uint16_t measuring_range);

// "12.345": fixed point, three decimals. The readouts append " mm".
std::string DistanceText(float mm);
std::string DistanceReadout(float mm);

}  // namespace mk27x
