#include "calibration/calibration_block.h"

#include <algorithm>

#include "protocol/codec.h"

namespace mk27x {

CalibrationBlock BuildCalibrationBlock(
    std::span<const std::int32_t, kCalibrationBlockValues> values, int block) {
    CalibrationBlock out{};
    for (std::size_t k = 0; k < values.size(); ++k) {
        const auto v = static_cast<std::uint16_t>(static_cast<std::uint32_t>(values[k]) & 0xFFFF);
        out[4 * k + 0] = NibbleByte(v >> 8);
        out[4 * k + 1] = NibbleByte(v >> 12);
        out[4 * k + 2] = NibbleByte(v);
        out[4 * k + 3] = NibbleByte(v >> 4);
    }
    const auto b = static_cast<unsigned>(block);
    out[2048] = NibbleByte(b);
    out[2049] = NibbleByte(b >> 4);
    out[2050] = kCalibrationTrailer;
    out[2051] = kCalibrationTrailer;
    return out;
}

CalibrationBlock BuildCalibrationBlock(const CalibrationTable& table, int block) {
    std::array<std::int32_t, kCalibrationBlockValues> values{};
    const std::size_t first =
        static_cast<std::size_t>(std::max(block, 0)) * kCalibrationBlockValues;
    if (first < table.entries.size()) {
        const std::size_t count =
            std::min<std::size_t>(kCalibrationBlockValues, table.entries.size() - first);
        std::copy_n(table.entries.begin() + static_cast<std::ptrdiff_t>(first), count,
                    values.begin());
    }
    return BuildCalibrationBlock(values, block);
}

}  // namespace mk27x
