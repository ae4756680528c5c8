// The virtual sensor answering requests written as raw bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "virtual_sensor.h"

namespace mk27x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;

SensorConfig WithValue(std::int32_t value) {
    SensorConfig config;
    config.source.value = value;
    return config;
}

class SensorTest : public ::testing::Test {
protected:
    Bytes Send(const Bytes& request, std::uint32_t line_baud = VirtualSensor::kMatchingBaud) {
        return sensor.Feed(request, line_baud);
    }

    VirtualSensor sensor;
};

// --- identify and registers ----------------------------------------------------

TEST(SensorIdentify, ConfiguredIdentityLeastSignificantNibbleFirst) {
    SensorConfig config;
    config.identity = {
        .model = 0x5C, .release = 1, .serial = 0xBEEF, .base_mm = 0x0123, .range_mm = 0x0FA0};
    VirtualSensor sensor(config);
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x81}),
              (Bytes{0x8C, 0x85, 0x81, 0x80, 0x8F, 0x8E, 0x8E, 0x8B, 0x83, 0x82, 0x81, 0x80, 0x80,
                     0x8A, 0x8F, 0x80}));
}

TEST_F(SensorTest, FactoryImageReadsBack) {
    // Sampling period 500 = 0x01F4 at registers 0x08/0x09.
    EXPECT_EQ(Send({0x01, 0x82, 0x88, 0x80}), (Bytes{0x84, 0x8F}));
    EXPECT_EQ(Send({0x01, 0x82, 0x89, 0x80}), (Bytes{0x81, 0x80}));
    // Analog output range END 16384 high byte at 0x0F; 115200 baud (48) at 0x04.
    EXPECT_EQ(Send({0x01, 0x82, 0x8F, 0x80}), (Bytes{0x80, 0x84}));
    EXPECT_EQ(Send({0x01, 0x82, 0x84, 0x80}), (Bytes{0x80, 0x83}));
    // Packed registers: one border / knife, borders A = B = 1.
    EXPECT_EQ(Send({0x01, 0x82, 0x8E, 0x81}), (Bytes{0x80, 0x80}));
    EXPECT_EQ(Send({0x01, 0x82, 0x8F, 0x81}), (Bytes{0x80, 0x80}));
    // Only the low nibbles of request bytes count.
    EXPECT_EQ(Send({0x01, 0x82, 0xF8, 0xB0}), (Bytes{0x84, 0x8F}));
}

TEST_F(SensorTest, WriteHasNoReplyAndReadsBack) {
    // Etalon 0x1234: the high byte to 0x18 first, then the low byte to 0x17.
    EXPECT_TRUE(Send({0x01, 0x83, 0x88, 0x81, 0x82, 0x81}).empty());
    EXPECT_TRUE(Send({0x01, 0x83, 0x87, 0x81, 0x84, 0x83}).empty());
    EXPECT_EQ(Send({0x01, 0x82, 0x87, 0x81}), (Bytes{0x84, 0x83}));
    EXPECT_EQ(Send({0x01, 0x82, 0x88, 0x81}), (Bytes{0x82, 0x81}));
    // Packed: borders 3 / measure type 2 -> 0x22; border A 1 / border B 15 -> 0x0E.
    EXPECT_TRUE(Send({0x01, 0x83, 0x8E, 0x81, 0x82, 0x82}).empty());
    EXPECT_TRUE(Send({0x01, 0x83, 0x8F, 0x81, 0x8E, 0x80}).empty());
    EXPECT_EQ(Send({0x01, 0x82, 0x8E, 0x81}), (Bytes{0x82, 0x82}));
    EXPECT_EQ(Send({0x01, 0x82, 0x8F, 0x81}), (Bytes{0x8E, 0x80}));
}

// --- link settings -------------------------------------------------------------

TEST_F(SensorTest, AddressChangeTakesEffectAfterTheRequest) {
    EXPECT_TRUE(Send({0x01, 0x83, 0x83, 0x80, 0x85, 0x80}).empty());
    EXPECT_TRUE(Send({0x01, 0x81}).empty());
    EXPECT_EQ(Send({0x05, 0x82, 0x83, 0x80}), (Bytes{0x85, 0x80}));
    // 128 cannot be an address byte: stored, but the address stays 5.
    EXPECT_TRUE(Send({0x05, 0x83, 0x83, 0x80, 0x80, 0x88}).empty());
    EXPECT_EQ(Send({0x05, 0x82, 0x83, 0x80}), (Bytes{0x80, 0x88}));
}

TEST_F(SensorTest, BaudChangeAndMismatchedRequestsIgnored) {
    // Register 0x04 = 96: 230400 baud. The write itself arrives at 115200.
    EXPECT_TRUE(Send({0x01, 0x83, 0x84, 0x80, 0x80, 0x86}, 115200).empty());
    EXPECT_TRUE(Send({0x01, 0x82, 0x84, 0x80}, 115200).empty());
    EXPECT_EQ(Send({0x01, 0x82, 0x84, 0x80}, 230400), (Bytes{0x80, 0x86}));
    // A byte at the wrong rate in the middle of a request spoils it.
    EXPECT_TRUE(Send({0x01, 0x82}, 230400).empty());
    EXPECT_TRUE(Send({0x84}, 9600).empty());
    EXPECT_TRUE(Send({0x80}, 230400).empty());
    // 0x80 (the low byte of 384) means 921600; 0 leaves the rate alone.
    EXPECT_TRUE(Send({0x01, 0x83, 0x84, 0x80, 0x80, 0x88}, 230400).empty());
    EXPECT_EQ(sensor.Baud(), 921600u);
    EXPECT_TRUE(Send({0x01, 0x83, 0x84, 0x80, 0x80, 0x80}, 921600).empty());
    EXPECT_EQ(sensor.Baud(), 921600u);
}

// --- FLASH ---------------------------------------------------------------------

TEST_F(SensorTest, FlashStoreEchoesAndSurvivesPowerCycle) {
    EXPECT_TRUE(Send({0x01, 0x83, 0x86, 0x80, 0x88, 0x80}).empty());  // averaging 8
    EXPECT_EQ(Send({0x01, 0x84, 0x8A, 0x8A}), (Bytes{0x8A, 0x8A}));
    EXPECT_TRUE(Send({0x01, 0x83, 0x86, 0x80, 0x83, 0x80}).empty());  // 3, not stored
    EXPECT_EQ(Send({0x01, 0x84, 0x81, 0x80}), (Bytes{0x80, 0x80}));   // no such operation
    sensor.PowerCycle();
    EXPECT_EQ(Send({0x01, 0x82, 0x86, 0x80}), (Bytes{0x88, 0x80}));
}

TEST_F(SensorTest, FactoryRestoreEchoesThenResetsAddressAndBaud) {
    EXPECT_TRUE(Send({0x01, 0x83, 0x88, 0x80, 0x8F, 0x8F}).empty());  // sampling period
    EXPECT_TRUE(Send({0x01, 0x83, 0x83, 0x80, 0x85, 0x80}).empty());  // address 5
    EXPECT_TRUE(Send({0x05, 0x83, 0x84, 0x80, 0x84, 0x80}).empty());  // 9600 baud
    EXPECT_EQ(Send({0x05, 0x84, 0x8A, 0x8A}, 9600), (Bytes{0x8A, 0x8A}));
    // The echo still goes out for the old address at the old rate.
    EXPECT_EQ(Send({0x05, 0x84, 0x89, 0x86}, 9600), (Bytes{0x89, 0x86}));
    EXPECT_EQ(sensor.Registers(), VirtualSensor::FactoryImage());
    EXPECT_EQ(sensor.FlashImage(), VirtualSensor::FactoryImage());
    EXPECT_TRUE(Send({0x05, 0x81}, 9600).empty());
    EXPECT_EQ(Send({0x01, 0x82, 0x88, 0x80}, 115200), (Bytes{0x84, 0x8F}));
}

// --- measuring, stream, teach --------------------------------------------------

TEST(SensorMeasure, SignedValuesLeastSignificantNibbleFirst) {
    VirtualSensor sensor(WithValue(16384));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x86}), (Bytes{0x80, 0x80, 0x80, 0x84}));
    sensor.SetSource(WithValue(-2).source);
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x8D}), (Bytes{0x8E, 0x8F, 0x8F, 0x8F}));
}

TEST(SensorMeasure, RampAdvancesOncePerMeasurement) {
    VirtualSensor sensor;
    sensor.SetSource({.kind = MeasurementSource::Kind::kRamp,
                      .value = 0x100,
                      .amplitude = 0x40,
                      .period = 4,
                      .noise = 0,
                      .seed = 1});
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x86}), (Bytes{0x80, 0x80, 0x81, 0x80}));  // 0x100
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x86}), (Bytes{0x80, 0x81, 0x81, 0x80}));  // 0x110
    EXPECT_EQ(sensor.PeekMeasurement(), 0x120);
    sensor.Feed(Bytes{0x01, 0x86, 0x01, 0x86});
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x86}), (Bytes{0x80, 0x80, 0x81, 0x80}));  // wrapped
}

TEST(SensorMeasure, NoisySineIsBoundedAndRepeatsWithItsSeed) {
    auto run = [](std::uint32_t seed) {
        VirtualSensor sensor;
        sensor.SetSource({.kind = MeasurementSource::Kind::kSine,
                          .value = 1000,
                          .amplitude = 500,
                          .period = 16,
                          .noise = 20,
                          .seed = seed});
        std::vector<std::int16_t> values;
        for (int i = 0; i < 32; ++i) {
            const Bytes r = sensor.Feed(Bytes{0x01, 0x86});
            values.push_back(static_cast<std::int16_t>((r[0] & 0xF) | (r[1] & 0xF) << 4 |
                                                       (r[2] & 0xF) << 8 | (r[3] & 0xF) << 12));
        }
        return values;
    };
    const auto a = run(7);
    EXPECT_EQ(a, run(7));
    EXPECT_NE(a, run(8));
    EXPECT_NEAR(a[4], 1500, 20);   // crest
    EXPECT_NEAR(a[12], 500, 20);   // trough
    EXPECT_NEAR(a[16], 1000, 20);  // next period
}

TEST(SensorStream, FramesCarryTagsThatChangeEveryFrame) {
    VirtualSensor sensor(WithValue(0x4000));
    Bytes out;
    EXPECT_EQ(sensor.ProduceStream(out, 4), 0u);  // not streaming yet
    EXPECT_TRUE(sensor.Feed(Bytes{0x01, 0x87}).empty());
    EXPECT_EQ(sensor.ProduceStream(out, 3), 3u);
    EXPECT_EQ(out, (Bytes{0x00, 0x00, 0x00, 0x04, 0x10, 0x10, 0x10, 0x14, 0x20, 0x20, 0x20, 0x24}));
    out.clear();
    ASSERT_EQ(sensor.ProduceStream(out, 17), 17u);  // across the wrap of the tag
    int previous_tag = 2;
    for (std::size_t i = 0; i < out.size(); i += 4) {
        const int tag = out[i] >> 4;
        EXPECT_NE(tag, previous_tag) << "frame " << i / 4;
        for (std::size_t k = 1; k < 4; ++k) EXPECT_EQ(out[i + k] >> 4, tag);
        previous_tag = tag;
    }
    EXPECT_TRUE(sensor.Feed(Bytes{0x01, 0x88}).empty());
    EXPECT_EQ(sensor.ProduceStream(out, 4), 0u);
}

TEST(SensorTeach, StoresTheCurrentMeasurementAsEtalon) {
    VirtualSensor sensor(WithValue(0x1234));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x8C}), (Bytes{0x8C, 0x80}));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x82, 0x87, 0x81}), (Bytes{0x84, 0x83}));
    EXPECT_EQ(sensor.Feed(Bytes{0x01, 0x82, 0x88, 0x81}), (Bytes{0x82, 0x81}));
}

// --- calibration blocks ----------------------------------------------------------

// One calibration block as the program sends it, built independently here: per
// value the high byte first, each byte low nibble first; then the block number
// and the trailer.
Bytes CalibrationBlock(std::uint8_t block) {
    Bytes b;
    for (int k = 0; k < 512; ++k) {
        const auto v = static_cast<std::uint16_t>(k == 0 ? 1234 : k * 131 - 7000);
        const std::uint8_t hi = v >> 8;
        const std::uint8_t lo = v & 0xFF;
        b.insert(b.end(), {std::uint8_t(0x80 | (hi & 0xF)), std::uint8_t(0x80 | (hi >> 4)),
                           std::uint8_t(0x80 | (lo & 0xF)), std::uint8_t(0x80 | (lo >> 4))});
    }
    b.insert(b.end(),
             {std::uint8_t(0x80 | (block & 0xF)), std::uint8_t(0x80 | (block >> 4)), 0x8A, 0x8A});
    return b;
}

TEST_F(SensorTest, CalibrationBlockAcknowledgedAndKept) {
    const Bytes block = CalibrationBlock(17);
    ASSERT_EQ(block.size(), 2052u);
    // The builder itself: 1234 travels as 84 80 82 8D; block 17 ends 81 81 8A 8A.
    EXPECT_EQ(Bytes(block.begin(), block.begin() + 4), (Bytes{0x84, 0x80, 0x82, 0x8D}));
    EXPECT_EQ(Bytes(block.end() - 4, block.end()), (Bytes{0x81, 0x81, 0x8A, 0x8A}));

    EXPECT_TRUE(Send({0x01, 0x8A}).empty());
    EXPECT_TRUE(Send(Bytes(block.begin(), block.end() - 1)).empty());
    EXPECT_EQ(Send({block.back()}), (Bytes{0x8A, 0x8A}));

    const auto kept = sensor.CalibrationBlock(17);
    ASSERT_TRUE(kept.has_value());
    EXPECT_EQ((*kept)[0], 1234);
    EXPECT_EQ((*kept)[1], static_cast<std::uint16_t>(-6869));
    EXPECT_EQ((*kept)[511], 131 * 511 - 7000);
    EXPECT_EQ(Send({0x01, 0x82, 0x88, 0x80}), (Bytes{0x84, 0x8F}));
}

TEST_F(SensorTest, CalibrationBlockWithBadTrailerRejected) {
    Bytes request{0x01, 0x8A};
    const Bytes block = CalibrationBlock(3);
    request.insert(request.end(), block.begin(), block.end());
    request.back() = 0x8B;
    EXPECT_EQ(Send(request), (Bytes{0x80, 0x80}));
    EXPECT_TRUE(sensor.CalibrationBlocks().empty());
    // An address byte abandons a block in progress.
    request.resize(1000);
    EXPECT_TRUE(Send(request).empty());
    EXPECT_EQ(Send({0x01, 0x86}).size(), 4u);
    EXPECT_TRUE(sensor.CalibrationBlocks().empty());
}

// --- framing -------------------------------------------------------------------

TEST_F(SensorTest, RequestsToAnotherAddressAreConsumedSilently) {
    Bytes other{0x02, 0x83, 0x88, 0x80, 0x85, 0x80};  // write to sensor 2
    const Bytes block = CalibrationBlock(9);          // full of command-like bytes
    other.insert(other.end(), {0x02, 0x8A});
    other.insert(other.end(), block.begin(), block.end());
    other.insert(other.end(), {0x02, 0x84, 0x89, 0x86});  // a factory restore for sensor 2
    EXPECT_TRUE(Send(other).empty());
    EXPECT_EQ(sensor.RequestsServed(), 0u);
    EXPECT_TRUE(sensor.CalibrationBlocks().empty());
    EXPECT_EQ(Send({0x01, 0x82, 0x88, 0x80}), (Bytes{0x84, 0x8F}));
}

TEST_F(SensorTest, PartialAndUnknownRequestsAreDropped) {
    // A write cut short by the next address byte does not happen.
    EXPECT_EQ(Send({0x01, 0x83, 0x88, 0x80, 0x01, 0x82, 0x88, 0x80}), (Bytes{0x84, 0x8F}));
    // Codes 0, 5, 9, 11, 14 and 15 are no commands; their bytes are ignored.
    for (std::uint8_t cmd : {0x80, 0x85, 0x89, 0x8B, 0x8E, 0x8F}) {
        EXPECT_TRUE(Send({0x01, cmd, 0x81, 0x86, 0x81}).empty()) << int(cmd);
    }
    EXPECT_TRUE(Send({0x81, 0x86}).empty());  // nibbles without an address
    EXPECT_EQ(sensor.RequestsServed(), 1u);
    EXPECT_EQ(sensor.Receive(0x01), Bytes{});
    EXPECT_EQ(sensor.Receive(0x81).size(), 16u);
}

}  // namespace
}  // namespace mk27x::sim
