// The Modbus map of a line snapshot: what a PLC reads from the line service,
// encoded without any I/O so that every request is answered from one snapshot.
//
// Addresses are 0-based; function codes 3 (holding) and 4 (input registers)
// read the same registers:
//   0            map version (kModbusMapVersion)
//   1            number of items N (the sensors in order, then the channels)
//   2..3         seconds since the service started, uint32, high word first
//   4..99        0
//   100 + 10*i   item i:
//     +0..+1     the latest value in mm, IEEE float32, high word first; NaN
//                when empty
//     +2..+3     the same in micrometres, int32, high word first, rounded to
//                the nearest and held within +-2147483647; -2147483648 when
//                empty
//     +4         state (ItemState: 0 fresh, 1 no value, 2 lost, 3 channel
//                empty)
//     +5         judgement (Judgement: 0 none, 1 ok, 2 low, 3 high)
//     +6..+7     values since the start, uint32, high word first (wraps
//                around after 2^32 like any counter a PLC takes differences of)
//     +8..+9     age of the value in ms, uint32, high word first
// Discrete inputs: 2*i "item i fresh", 2*i + 1 "item i fresh and within its
// limits (or without limits)".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "serve/line_snapshot.h"

namespace mk27x {

inline constexpr std::uint16_t kModbusMapVersion = 1;
inline constexpr int kModbusItemBase = 100;
inline constexpr int kModbusItemStride = 10;
inline constexpr std::int32_t kModbusEmptyMicrometres = INT32_MIN;
// The items 16-bit register addresses reach; later ones are not in the map.
inline constexpr std::size_t kModbusMaxItems = (65536 - kModbusItemBase) / kModbusItemStride;

struct ModbusMap {
    std::vector<std::uint16_t> registers;  // 100 + 10*N
    std::vector<std::uint8_t> inputs;      // 2*N, each 0 or 1
};

ModbusMap EncodeModbusMap(const LineSnapshot& snapshot);

// A value in mm as the map's micrometres (kModbusEmptyMicrometres for NaN).
std::int32_t ModbusMicrometres(double value_mm);

}  // namespace mk27x
