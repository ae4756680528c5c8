// The calibration block: 512 table values as 2052 nibble bytes, the form in
// which the sensor takes its calibration table one block at a time.
//
// Bytes 4k..4k+3 carry value k of the block (the low 16 bits of its table
// entry): bits 8-11, 12-15, 0-3, 4-7, each as 0x80 | nibble, so the high byte
// comes first and within each byte the low nibble. Then the block number's
// bits 0-3 and 4-7 the same way, and the trailer 0x8A 0x8A.
//
// Threading: pure functions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "calibration/calibration_table.h"

namespace mk27x {

inline constexpr std::size_t kCalibrationBlockSize = 2052;
inline constexpr std::uint8_t kCalibrationTrailer = 0x8A;

using CalibrationBlock = std::array<std::uint8_t, kCalibrationBlockSize>;

// Block `block` of 512 values.
CalibrationBlock BuildCalibrationBlock(
    std::span<const std::int32_t, kCalibrationBlockValues> values, int block);
// Block `block` of the table: entries 512 * block to 512 * block + 511 (entries
// beyond the table count as 0).
CalibrationBlock BuildCalibrationBlock(const CalibrationTable& table, int block);

}  // namespace mk27x
