// The pickers' arithmetic: the mode and logic bits leave every other bit
// alone, the range conversions at their edges, the millimetre labels and the
// scale geometry.
#include "pickers/picker_rules.h"

#include <gtest/gtest.h>

namespace mk27x {
namespace {

TEST(pickers_synchro_bits, StoredValueReadsAsItsItemWithBit2First) {
    EXPECT_EQ(SynchroItemOf(0x00), kTimeSynchronization);
    EXPECT_EQ(SynchroItemOf(0x01), kTriggerSynchronization);
    EXPECT_EQ(SynchroItemOf(0x04), kNetSynchronization);
    EXPECT_EQ(SynchroItemOf(0x05), kNetSynchronization);
    EXPECT_EQ(SynchroItemOf(0xF2), kTimeSynchronization);
    EXPECT_EQ(SynchroItemOf(0xFFFB), kTriggerSynchronization);  // all but bit 2
}

TEST(pickers_synchro_bits, ItemWritesBits2And0Only) {
    EXPECT_EQ(WithSynchroItem(0x05, kNetSynchronization), 0x04);
    EXPECT_EQ(WithSynchroItem(0x04, kTriggerSynchronization), 0x01);
    EXPECT_EQ(WithSynchroItem(0x00F2, kTimeSynchronization), 0x00F2);
    EXPECT_EQ(WithSynchroItem(0x00F2, kTriggerSynchronization), 0x00F3);
    EXPECT_EQ(WithSynchroItem(0x00F2, kNetSynchronization), 0x00F6);
    EXPECT_EQ(WithSynchroItem(0xA5F7, kTimeSynchronization), 0xA5F2);
    EXPECT_EQ(WithSynchroItem(0xA5F2, kNetSynchronization), 0xA5F6);
    EXPECT_EQ(WithSynchroItem(0xFFFF, kTriggerSynchronization), 0xFFFB);
    // Every value survives being read and written back unchanged apart from the
    // one combination that has no item of its own (bits 2 and 0 both set).
    for (unsigned v = 0; v <= 0xFFFF; v += 0x0101) {
        const auto value = static_cast<std::uint16_t>(v);
        const std::uint16_t back = WithSynchroItem(value, SynchroItemOf(value));
        EXPECT_EQ(back, (value & 0x05) == 0x05 ? value & ~0x01 : value) << v;
    }
}

TEST(pickers_outlogic_bits, BoxesOwnBits0To2AndNothingElse) {
    EXPECT_EQ(OutLogicBoxesOf(0xF8), (OutLogicBoxes{false, false, false}));
    EXPECT_EQ(OutLogicBoxesOf(0x05), (OutLogicBoxes{true, false, true}));
    EXPECT_EQ(OutLogicBoxesOf(0xFF02), (OutLogicBoxes{false, true, false}));
    EXPECT_EQ(WithOutLogicBoxes(0xF8, {true, true, true}), 0xFF);
    EXPECT_EQ(WithOutLogicBoxes(0xF8, {false, false, false}), 0xF8);
    EXPECT_EQ(WithOutLogicBoxes(0xABFF, {false, true, false}), 0xABFA);
    EXPECT_EQ(WithOutLogicBoxes(0x1200, {true, false, true}), 0x1205);
}

TEST(pickers_range_arithmetic, ThousandthsRoundToWholePercentWithoutClamping) {
    EXPECT_EQ(RangePercentFromThousandths(370), 37);
    EXPECT_EQ(RangePercentFromThousandths(800), 80);
    EXPECT_EQ(RangePercentFromThousandths(5), 1);
    EXPECT_EQ(RangePercentFromThousandths(4), 0);
    EXPECT_EQ(RangePercentFromThousandths(1000), 100);
    EXPECT_EQ(RangePercentFromThousandths(9999), 1000);
    EXPECT_EQ(RangePercentFromThousandths(-14), 0);  // truncated toward zero
    EXPECT_EQ(RangePercentFromThousandths(-16), -1);
    EXPECT_EQ(RangePercentFromThousandths(2147483647), 214748365);  // no overflow
}

TEST(pickers_range_arithmetic, PercentStoresRoundedFractionOf16384WithinTheLimits) {
    EXPECT_EQ(RangeValueFromPercent(0), 0);
    EXPECT_EQ(RangeValueFromPercent(1), 164);
    EXPECT_EQ(RangeValueFromPercent(33), 5407);
    EXPECT_EQ(RangeValueFromPercent(37), 6062);
    EXPECT_EQ(RangeValueFromPercent(50), 8192);
    EXPECT_EQ(RangeValueFromPercent(80), 13107);
    EXPECT_EQ(RangeValueFromPercent(100), 16384);
    // Positions off the scale would wrap around 16 bits; they store their end.
    EXPECT_EQ(RangeValueFromPercent(101), 16384);
    EXPECT_EQ(RangeValueFromPercent(1000), 16384);
    EXPECT_EQ(RangeValueFromPercent(-1), 0);
}

TEST(pickers_range_arithmetic, LengthsRoundToTheNearestMillimetreWithSign) {
    EXPECT_EQ(RangeLengthMm(37, 50), 19);  // 18.5
    EXPECT_EQ(RangeLengthMm(80, 50), 40);
    EXPECT_EQ(RangeLengthMm(43, 50), 22);    // 21.5
    EXPECT_EQ(RangeLengthMm(-43, 50), -22);  // begin right of end
    EXPECT_EQ(RangeLengthMm(33, 10), 3);     // 3.3
    EXPECT_EQ(RangeLengthMm(37, 10), 4);     // 3.7
    EXPECT_EQ(RangeLengthMm(-37, 10), -4);
    EXPECT_EQ(RangeLengthMm(100, 250), 250);
    EXPECT_EQ(RangeLengthMm(100, 32767), 32767);
    EXPECT_EQ(RangeLengthMm(214748365, 32767), 70366596760);  // no overflow
    EXPECT_EQ(RangeLengthMm(57, 0), 0);                       // no sensor identified yet
}

TEST(pickers_scale_geometry, PositionsAndPointerCoordinates) {
    const ScaleGeometry scale{689, 100};
    EXPECT_EQ(scale.Span(), 668);
    const int ticks[] = {10, 76, 143, 210, 277, 344, 410, 477, 544, 611, 678};
    for (int k = 0; k <= 10; ++k) EXPECT_EQ(scale.X(10 * k), ticks[k]) << k;
    EXPECT_EQ(scale.X(37), 257);
    EXPECT_EQ(scale.X(-1), 4);  // -6.68 truncated toward zero
    EXPECT_EQ(scale.X(150), 1012);
    EXPECT_EQ(scale.X(1000), 5 * 689);       // 6690, kept within a few widths
    EXPECT_EQ(scale.X(214748365), 5 * 689);  // far off the scale, kept drawable

    EXPECT_EQ(scale.Position(10), 0);
    EXPECT_EQ(scale.Position(9), 0);
    EXPECT_EQ(scale.Position(-500), 0);
    EXPECT_EQ(scale.Position(344), 50);
    EXPECT_EQ(scale.Position(257), 36);  // 36.98 truncated
    EXPECT_EQ(scale.Position(678), 100);
    EXPECT_EQ(scale.Position(677), 99);
    EXPECT_EQ(scale.Position(5000), 100);
}

}  // namespace
}  // namespace mk27x
