#include "serve/modbus_map.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

namespace mk27x {
namespace {

void PutU32(std::uint16_t* at, std::uint32_t value) {
    at[0] = static_cast<std::uint16_t>(value >> 16);
    at[1] = static_cast<std::uint16_t>(value & 0xFFFF);
}

// Any NaN goes out as the one quiet NaN; beyond float's range, infinity.
float ModbusFloat(double value_mm) {
    constexpr double kMax = std::numeric_limits<float>::max();
    if (std::isnan(value_mm)) return std::numeric_limits<float>::quiet_NaN();
    if (value_mm > kMax) return std::numeric_limits<float>::infinity();
    if (value_mm < -kMax) return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value_mm);
}

}  // namespace

std::int32_t ModbusMicrometres(double value_mm) {
    if (std::isnan(value_mm)) return kModbusEmptyMicrometres;
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    const double um = std::round(value_mm * 1000.0);
    if (um >= kMax) return static_cast<std::int32_t>(kMax);
    if (um <= -kMax) return static_cast<std::int32_t>(-kMax);
    return static_cast<std::int32_t>(um);
}

ModbusMap EncodeModbusMap(const LineSnapshot& snapshot) {
    const std::size_t n = std::min(snapshot.items.size(), kModbusMaxItems);
    ModbusMap map;
    map.registers.assign(kModbusItemBase + kModbusItemStride * n, 0);
    map.inputs.assign(2 * n, 0);
    map.registers[0] = kModbusMapVersion;
    map.registers[1] = static_cast<std::uint16_t>(n);
    PutU32(&map.registers[2], snapshot.uptime_s);
    for (std::size_t i = 0; i < n; ++i) {
        const ItemSnapshot& item = snapshot.items[i];
        std::uint16_t* r = &map.registers[kModbusItemBase + kModbusItemStride * i];
        PutU32(r, std::bit_cast<std::uint32_t>(ModbusFloat(item.value_mm)));
        PutU32(r + 2, static_cast<std::uint32_t>(ModbusMicrometres(item.value_mm)));
        r[4] = static_cast<std::uint16_t>(item.state);
        r[5] = static_cast<std::uint16_t>(item.judgement);
        PutU32(r + 6, static_cast<std::uint32_t>(item.count));
        PutU32(r + 8, item.age_ms);
        const bool fresh = item.state == ItemState::Fresh;
        map.inputs[2 * i] = fresh;
        map.inputs[2 * i + 1] = fresh && (!item.limits || item.judgement == Judgement::Ok);
    }
    return map;
}

}  // namespace mk27x
