#include "serve/modbus_map.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mk27x {
namespace {

std::uint32_t U32(const ModbusMap& map, std::size_t at) {
    return (std::uint32_t{map.registers[at]} << 16) | map.registers[at + 1];
}

ItemSnapshot Item(double mm, ItemState state = ItemState::Fresh) {
    ItemSnapshot item;
    item.value_mm = mm;
    item.state = state;
    return item;
}

TEST(ModbusMapTest, EmptyLineIsHeaderAndZeros) {
    LineSnapshot snapshot;
    snapshot.uptime_s = 0x12345678;
    const ModbusMap map = EncodeModbusMap(snapshot);
    ASSERT_EQ(map.registers.size(), 100u);
    EXPECT_TRUE(map.inputs.empty());
    EXPECT_EQ(map.registers[0], 1);
    EXPECT_EQ(map.registers[1], 0);
    EXPECT_EQ(map.registers[2], 0x1234);  // high word first
    EXPECT_EQ(map.registers[3], 0x5678);
    for (std::size_t r = 4; r < 100; ++r) EXPECT_EQ(map.registers[r], 0) << r;
}

TEST(ModbusMapTest, MicrometresRoundClampAndMarkEmpty) {
    EXPECT_EQ(ModbusMicrometres(25.0004), 25000);
    EXPECT_EQ(ModbusMicrometres(1.0625), 1063);  // halves away from zero
    EXPECT_EQ(ModbusMicrometres(-0.0625), -63);
    EXPECT_EQ(ModbusMicrometres(-0.0004), 0);
    EXPECT_EQ(ModbusMicrometres(2147483.647), 2147483647);
    EXPECT_EQ(ModbusMicrometres(2147483.648), 2147483647);
    EXPECT_EQ(ModbusMicrometres(1e300), 2147483647);
    EXPECT_EQ(ModbusMicrometres(-2147483.648), -2147483647);  // never the empty marker
    EXPECT_EQ(ModbusMicrometres(-std::numeric_limits<double>::infinity()), -2147483647);
    EXPECT_EQ(ModbusMicrometres(NAN), std::numeric_limits<std::int32_t>::min());
}

TEST(ModbusMapTest, ItemBlocksCarryValueStateJudgementCountAndAge) {
    LineSnapshot snapshot;
    ItemSnapshot a = Item(-12.5);
    a.limits = Limits{-20, -10};
    a.judgement = Judgement::Ok;
    a.count = 5'000'000'000;  // past 2^32: the low 32 bits, like any wrapping counter
    a.age_ms = 0xFFFFFFFF;
    ItemSnapshot b = Item(3.0);
    b.limits = Limits{4, 5};
    b.judgement = Judgement::Low;
    ItemSnapshot c = Item(NAN, ItemState::Lost);
    ItemSnapshot d = Item(1e39);                     // beyond float
    ItemSnapshot e = Item(7.0, ItemState::NoValue);  // stale, without limits
    snapshot.items = {a, b, c, d, e};
    const ModbusMap map = EncodeModbusMap(snapshot);
    ASSERT_EQ(map.registers.size(), 150u);
    EXPECT_EQ(map.registers[1], 5);

    EXPECT_EQ(U32(map, 100), 0xC1480000u);  // -12.5f
    EXPECT_EQ(static_cast<std::int32_t>(U32(map, 102)), -12500);
    EXPECT_EQ(map.registers[104], 0);
    EXPECT_EQ(map.registers[105], 1);
    EXPECT_EQ(U32(map, 106), 705032704u);
    EXPECT_EQ(U32(map, 108), 0xFFFFFFFFu);

    EXPECT_EQ(map.registers[115], 2);
    EXPECT_EQ(U32(map, 120), 0x7FC00000u);  // the quiet NaN
    EXPECT_EQ(U32(map, 122), 0x80000000u);
    EXPECT_EQ(map.registers[124], 2);
    EXPECT_EQ(map.registers[125], 0);
    EXPECT_EQ(U32(map, 130), 0x7F800000u);  // +infinity
    EXPECT_EQ(U32(map, 132), 0x7FFFFFFFu);
    EXPECT_EQ(map.registers[144], 1);

    // fresh / fresh and within limits: a ok, b low, c lost, d no limits, e stale
    const std::vector<std::uint8_t> inputs{1, 1, 1, 0, 0, 0, 1, 1, 0, 0};
    EXPECT_EQ(map.inputs, inputs);
}

TEST(ModbusMapTest, ItemsBeyondTheAddressSpaceAreLeftOut) {
    LineSnapshot snapshot;
    snapshot.items.resize(kModbusMaxItems + 1);
    const ModbusMap map = EncodeModbusMap(snapshot);
    EXPECT_EQ(map.registers.size(), 100 + 10 * kModbusMaxItems);
    EXPECT_LE(map.registers.size(), 65536u);
    EXPECT_EQ(map.registers[1], kModbusMaxItems);
}

}  // namespace
}  // namespace mk27x
