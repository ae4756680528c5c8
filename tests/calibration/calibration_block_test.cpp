// The 2052-byte calibration block, byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "calibration/calibration_block.h"

namespace mk27x {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ValueBytes(const CalibrationBlock& block, std::size_t k) {
    return Bytes(block.begin() + 4 * k, block.begin() + 4 * k + 4);
}

TEST(CalibrationBlock, ValuesHighByteFirstLowNibbleFirstOnlyTheLow16Bits) {
    std::array<std::int32_t, kCalibrationBlockValues> values{};
    values[0] = 1234;  // 0x04D2
    values[1] = -1;
    values[2] = 65536;
    values[3] = 0x12345678;  // low 16 bits 0x5678
    values[511] = 0xABCD;
    const CalibrationBlock block = BuildCalibrationBlock(values, 0);
    EXPECT_EQ(ValueBytes(block, 0), (Bytes{0x84, 0x80, 0x82, 0x8D}));
    EXPECT_EQ(ValueBytes(block, 1), (Bytes{0x8F, 0x8F, 0x8F, 0x8F}));
    EXPECT_EQ(ValueBytes(block, 2), (Bytes{0x80, 0x80, 0x80, 0x80}));
    EXPECT_EQ(ValueBytes(block, 3), (Bytes{0x86, 0x85, 0x88, 0x87}));
    EXPECT_EQ(ValueBytes(block, 4), (Bytes{0x80, 0x80, 0x80, 0x80}));
    EXPECT_EQ(ValueBytes(block, 511), (Bytes{0x8B, 0x8A, 0x8D, 0x8C}));
}

TEST(CalibrationBlock, TrailerCarriesTheBlockNumberLowNibbleFirst) {
    const std::array<std::int32_t, kCalibrationBlockValues> zeros{};
    const CalibrationBlock b17 = BuildCalibrationBlock(zeros, 17);
    EXPECT_EQ(Bytes(b17.begin() + 2048, b17.end()), (Bytes{0x81, 0x81, 0x8A, 0x8A}));
    const CalibrationBlock b81 = BuildCalibrationBlock(zeros, 81);
    EXPECT_EQ(Bytes(b81.begin() + 2048, b81.end()), (Bytes{0x81, 0x85, 0x8A, 0x8A}));
    const CalibrationBlock b0 = BuildCalibrationBlock(zeros, 0);
    EXPECT_EQ(Bytes(b0.begin() + 2048, b0.end()), (Bytes{0x80, 0x80, 0x8A, 0x8A}));
}

TEST(CalibrationBlock, TableBlockTakesItsOwn512EntriesAndNoMore) {
    CalibrationTable table(1);
    for (std::size_t i = 0; i < table.entries.size(); ++i)
        table.entries[i] = static_cast<std::int32_t>(i * 7);
    const CalibrationBlock block = BuildCalibrationBlock(table, 5);
    // Entry 2560 = 17920 = 0x4600; entry 3071 = 21497 = 0x53F9.
    EXPECT_EQ(ValueBytes(block, 0), (Bytes{0x86, 0x84, 0x80, 0x80}));
    EXPECT_EQ(ValueBytes(block, 511), (Bytes{0x83, 0x85, 0x89, 0x8F}));
    for (std::uint8_t byte : block) ASSERT_EQ(byte & 0x80, 0x80);

    // The last block of the table reaches past its end: the rest are zeros.
    const CalibrationBlock last = BuildCalibrationBlock(table, 195);    // entries 99840..100351
    EXPECT_EQ(ValueBytes(last, 159), (Bytes{0x8E, 0x8A, 0x89, 0x85}));  // 699993 = 0xAAE59
    EXPECT_EQ(ValueBytes(last, 160), (Bytes{0x80, 0x80, 0x80, 0x80}));
    EXPECT_EQ(ValueBytes(last, 511), (Bytes{0x80, 0x80, 0x80, 0x80}));
}

}  // namespace
}  // namespace mk27x
