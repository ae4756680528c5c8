#include "pickers/picker_rules.h"

#include <algorithm>

namespace mk27x {

namespace {

constexpr std::uint16_t kBit0 = 0x01;
constexpr std::uint16_t kBit2 = 0x04;

std::uint16_t WithBit(std::uint16_t value, std::uint16_t bit, bool set) {
    return static_cast<std::uint16_t>(set ? (value | bit) : (value & ~bit));
}

}  // namespace

int SynchroItemOf(std::uint16_t value) {
    if (value & kBit2) return kNetSynchronization;
    return value & kBit0;
}

std::uint16_t WithSynchroItem(std::uint16_t value, int item) {
    if (item == kNetSynchronization) return WithBit(WithBit(value, kBit2, true), kBit0, false);
    return WithBit(WithBit(value, kBit2, false), kBit0, (item & 1) != 0);
}

OutLogicBoxes OutLogicBoxesOf(std::uint16_t value) {
    return {(value & 0x01) != 0, (value & 0x02) != 0, (value & 0x04) != 0};
}

std::uint16_t WithOutLogicBoxes(std::uint16_t value, const OutLogicBoxes& boxes) {
    for (std::size_t bit = 0; bit < boxes.size(); ++bit)
        value = WithBit(value, static_cast<std::uint16_t>(1u << bit), boxes[bit]);
    return value;
}

std::int32_t RangePercentFromThousandths(std::int32_t thousandths) {
    return static_cast<std::int32_t>((std::int64_t{thousandths} + 5) / 10);
}

std::uint16_t RangeValueFromPercent(std::int32_t percent) {
    const std::int64_t p = std::clamp(percent, 0, kRangePercentMax);
    return static_cast<std::uint16_t>((p * 163840 + 500) / 1000);
}

std::int64_t RangeLengthMm(std::int32_t percent, std::int16_t range_mm) {
    const std::int64_t hundredths = std::int64_t{percent} * range_mm;
    const std::int64_t half = hundredths < 0 ? -50 : 50;
    return (hundredths + half) / 100;
}

int ScaleGeometry::X(std::int64_t position) const {
    const std::int64_t x = std::int64_t{Span()} * position / pos_max + 10;
    return static_cast<int>(std::clamp<std::int64_t>(x, -4 * std::int64_t{width}, 5 * width));
}

std::int32_t ScaleGeometry::Position(int x) const {
    const std::int64_t p = (std::int64_t{x} - 10) * pos_max / Span();
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(p, 0, pos_max));
}

}  // namespace mk27x
