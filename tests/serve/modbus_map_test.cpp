#include "serve/modbus_map.h"

#include <gtest/gtest.h>

#include <limits>

namespace mk27x {
namespace {

TEST(ModbusMapTest, EmptyLineIsHeaderAndZerosAndTooManyItemsAreLeftOut) {
    LineSnapshot snapshot;
    snapshot.uptime_s = 0x12345678;
    ModbusMap map = EncodeModbusMap(snapshot);
    std::vector<std::uint16_t> expected(100, 0);
    expected[0] = 1;
    expected[2] = 0x1234;  // high word first
    expected[3] = 0x5678;
    EXPECT_EQ(map.registers, expected);
    EXPECT_TRUE(map.inputs.empty());
    snapshot.items.resize(kModbusMaxItems + 1);
    map = EncodeModbusMap(snapshot);
    EXPECT_EQ(map.registers.size(), 100 + 10 * kModbusMaxItems);
    EXPECT_LE(map.registers.size(), 65536u);
    EXPECT_EQ(map.registers[1], kModbusMaxItems);
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
    snapshot.items.resize(5);
    ItemSnapshot &a = snapshot.items[0], &b = snapshot.items[1], &c = snapshot.items[2];
    a.value_mm = -12.5;
    a.state = b.state = ItemState::Fresh;
    a.judgement = Judgement::Ok;
    a.limits = Limits{-20, -10};
    a.count = 5'000'000'000;  // past 2^32: the low 32 bits, like any wrapping counter
    a.age_ms = 0xFFFFFFFF;
    b.value_mm = 3;
    b.limits = Limits{4, 5};
    b.judgement = Judgement::Low;
    c.state = ItemState::Lost;
    snapshot.items[3].value_mm = 1e39;  // beyond float, fresh, without limits
    snapshot.items[3].state = ItemState::Fresh;
    snapshot.items[4].value_mm = 7;  // stale (no value within two periods)
    const ModbusMap map = EncodeModbusMap(snapshot);
    ASSERT_EQ(map.registers.size(), 150u);
    EXPECT_EQ(map.registers[1], 5);
    const auto block = [&](int i) {
        return std::vector<std::uint16_t>(map.registers.begin() + 100 + 10 * i,
                                          map.registers.begin() + 110 + 10 * i);
    };
    using R = std::vector<std::uint16_t>;
    // mm (float), um (int32), state, judgement, count, age; high words first
    EXPECT_EQ(block(0), (R{0xC148, 0, 0xFFFF, 0xCF2C, 0, 1, 0x2A05, 0xF200, 0xFFFF, 0xFFFF}));
    EXPECT_EQ(block(1), (R{0x4040, 0, 0, 0x0BB8, 0, 2, 0, 0, 0, 0}));
    EXPECT_EQ(block(2), (R{0x7FC0, 0, 0x8000, 0, 2, 0, 0, 0, 0, 0}));       // quiet NaN, empty
    EXPECT_EQ(block(3), (R{0x7F80, 0, 0x7FFF, 0xFFFF, 0, 0, 0, 0, 0, 0}));  // +inf, clamped
    EXPECT_EQ(block(4), (R{0x40E0, 0, 0, 0x1B58, 1, 0, 0, 0, 0, 0}));
    // fresh / fresh and within limits: a ok, b low, c lost, no limits, stale
    EXPECT_EQ(map.inputs, (std::vector<std::uint8_t>{1, 1, 1, 0, 0, 0, 1, 1, 0, 0}));
}

}  // namespace
}  // namespace mk27x
