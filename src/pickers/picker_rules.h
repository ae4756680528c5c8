// The arithmetic of the parameter pickers, free of widgets: how the
// synchronization mode and the output-logic boxes sit in their parameters'
// bits, how the range editor's whole percents map to the grid's thousandths,
// to the stored fractions of 16384 and to millimetres, and the geometry of the
// range editor's scale.
//
// Plain functions without state; callable from any thread.
#pragma once

#include <array>
#include <cstdint>

namespace mk27x {

// ---- Synchronization control byte -----------------------------------------

// Items of the synchronization picker, in order.
enum SynchroItem : int {
    kTimeSynchronization = 0,
    kTriggerSynchronization = 1,
    kNetSynchronization = 2,
};

// The item a stored value reads as: bit 2 set gives the net item whatever bit
// 0 holds, otherwise bit 0 chooses between time and trigger.
int SynchroItemOf(std::uint16_t value);
// `value` with the item's bits 2 and 0 written in; every other bit, the high
// byte included, is kept.
std::uint16_t WithSynchroItem(std::uint16_t value, int item);

// ---- OutLogic --------------------------------------------------------------

// The three output-logic bits 0, 1 and 2, as the check boxes show them.
using OutLogicBoxes = std::array<bool, 3>;

OutLogicBoxes OutLogicBoxesOf(std::uint16_t value);
// `value` with bits 0 to 2 set from the boxes; every other bit is kept.
std::uint16_t WithOutLogicBoxes(std::uint16_t value, const OutLogicBoxes& boxes);

// ---- Analog output range ---------------------------------------------------

// The scale maximum of the range editor.
inline constexpr std::int32_t kRangePercentMax = 100;
// The largest stored range value, the whole measuring range.
inline constexpr std::uint16_t kRangeValueMax = 16384;

// Whole percent from the grid's thousandths: (t + 5) / 10, truncated toward
// zero; not clamped.
std::int32_t RangePercentFromThousandths(std::int32_t thousandths);
// The stored value of a whole percent: (p * 163840 + 500) / 1000, truncated,
// i.e. p * 16384 / 100 rounded half up. A position outside 0 ... 100 (a grid
// text outside 0 ... 1000 that the mouse never touched) is taken as its
// nearer end, so the result always lies within the parameter's limits
// 0 ... 16384.
std::uint16_t RangeValueFromPercent(std::int32_t percent);
// A length of `percent` percent of a measuring range of `range_mm`
// millimetres, rounded to the nearest millimetre (halves away from zero); the
// sign follows the percent (and the range).
std::int64_t RangeLengthMm(std::int32_t percent, std::int16_t range_mm);

// Geometry of a scale `width` pixels wide with maximum `pos_max` (> 0): the
// usable span is U = width - 21 pixels starting at x = 10.
struct ScaleGeometry {
    int width;
    std::int32_t pos_max;

    int Span() const { return width - 21; }
    // x(p) = U * p / pos_max + 10, truncated toward zero. Positions far off the
    // scale are kept within a few widths of it so that they stay drawable.
    int X(std::int64_t position) const;
    // p(X) = (X - 10) * pos_max / U truncated toward zero, clamped to 0 ... pos_max.
    std::int32_t Position(int x) const;
};

}  // namespace mk27x
