// Fuzz target: a calibration block built from arbitrary values, sent to the
// virtual sensor, must be accepted and decoded to exactly the low 16 bits of
// each value under its block number.
//
// Input: the block number (one byte), then up to 512 values of four bytes each
// (little-endian); missing values are 0.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "calibration/calibration_block.h"
#include "virtual_sensor.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int block_number = data[0];
    std::array<std::int32_t, mk27x::kCalibrationBlockValues> values{};
    for (std::size_t k = 0; k < values.size() && 1 + 4 * k + 4 <= size; ++k) {
        const std::uint8_t* p = data + 1 + 4 * k;
        values[k] = static_cast<std::int32_t>(p[0] | p[1] << 8 | p[2] << 16 |
                                              static_cast<std::uint32_t>(p[3]) << 24);
    }
    const mk27x::CalibrationBlock block = mk27x::BuildCalibrationBlock(values, block_number);
    for (std::uint8_t byte : block)
        if ((byte & 0x80) == 0) std::abort();

    mk27x::sim::VirtualSensor sensor;
    std::vector<std::uint8_t> request{sensor.Address(), 0x8A};
    request.insert(request.end(), block.begin(), block.end());
    const std::vector<std::uint8_t> reply = sensor.Feed(request);
    if (reply.size() != 2 || (reply[0] & 0xF) != 0xA || (reply[1] & 0xF) != 0xA) std::abort();

    const auto held = sensor.CalibrationBlock(static_cast<std::uint8_t>(block_number));
    if (!held) std::abort();
    for (std::size_t k = 0; k < values.size(); ++k)
        if ((*held)[k] !=
            static_cast<std::uint16_t>(static_cast<std::uint32_t>(values[k]) & 0xFFFF))
            std::abort();
    return 0;
}
