#include "params/parameter_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mk27x {
namespace {

constexpr int kEtalon = 9, kLowLimit = 16, kUpLimit = 17;

TEST(ParameterText, StartUpTextsWithoutSensor) {
    const std::array<std::string, kParameterCount> expected{
        "on", "0", "1", "9600",  "1", "500", "0", "1000", "1", "0",
        "1",  "0", "0", "knife", "0", "0",   "0", "0",    "0", "0"};
    EXPECT_EQ(ParameterTexts(DefaultParameterSet(), 0), expected);
}

TEST(ParameterText, ValueToText) {
    const struct {
        int index;
        std::uint16_t value;
        std::int16_t range;
        std::string_view text;
    } cases[] = {
        // clang-format off
        {kSensorOnOff, 0, 0, "off"},      {kSensorOnOff, 2, 0, "on"},
        {kDiaCorrection, 0xFFFF, 0, "-1"}, {kDiaCorrection, 0x8000, 0, "-32768"},
        {kUartBaudrate, 48, 0, "115200"}, {kSamplingPeriod, 65535, 0, "65535"},
        {kMeasureType, 4, 0, "Border_B"}, {kMeasureType, 5, 0, "5"}, {kMeasureType, 7, 0, "7"},
        {kRangeEnd, 16384, 0, "1000"}, {kRangeEnd, 8192, 0, "500"}, {kRangeEnd, 130, 0, "8"},
        {kRangeEnd, 16383, 0, "1000"}, {kRangeBegin, 0, 0, "0"}, {kRangeBegin, 65535, 0, "4000"},
        {kEtalon, 16384, 50, "50000"}, {kEtalon, 8192, 50, "25000"}, {kEtalon, 3, 50, "9"},
        {kLowLimit, 16384, 250, "250000"}, {kUpLimit, 65535, 0, "0"},
        {kUpLimit, 65535, 32767, "131066000"},
        // a negative range goes through the same floor arithmetic
        {kEtalon, 3, -50, "-9"}, {kEtalon, 65535, -32768, "-131070000"},
        // clang-format on
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParameterText(c.index, c.value, c.range), c.text)
            << "row " << c.index << " value " << c.value << " R " << c.range;
    }
    // A rejected entry of a range row comes back truncated, not rounded.
    EXPECT_EQ(PutBackText(kRangeBegin, 130, 0), "7");
    EXPECT_EQ(PutBackText(kRangeEnd, 16383, 0), "999");
}

TEST(ParameterText, NumberToValue) {
    const struct {
        DisplayForm form;
        std::int32_t n;
        std::int16_t range;
        std::optional<std::int64_t> wide;
    } cases[] = {
        // clang-format off
        {DisplayForm::RangeFraction, 500, 0, 8192}, {DisplayForm::RangeFraction, 7, 0, 115},
        {DisplayForm::RangeFraction, 1000, 0, 16384}, {DisplayForm::RangeFraction, 0, 0, 0},
        {DisplayForm::Distance, 25000, 50, 8192}, {DisplayForm::Distance, 25000, -50, -8192},
        {DisplayForm::Distance, 65535, 16, 67108}, {DisplayForm::Distance, 25000, 0, std::nullopt},
        {DisplayForm::Baud, 115200, 0, 48}, {DisplayForm::Baud, 2399, 0, 0},
        {DisplayForm::Decimal, 65536, 0, 65536}, {DisplayForm::SignedDecimal, -9999, 0, -9999},
        {DisplayForm::Switch, 1, 0, std::nullopt},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.n);
        EXPECT_EQ(WideValueFromNumber(c.form, c.n, c.range), c.wide);
        const std::optional<std::uint16_t> kept =
            c.wide ? std::optional<std::uint16_t>(*c.wide & 0xFFFF) : std::nullopt;
        EXPECT_EQ(ValueFromNumber(c.form, c.n, c.range), kept);
    }
    EXPECT_EQ(LimitQuantity(DisplayForm::RangeFraction, 1001), 16400);
    EXPECT_EQ(LimitQuantity(DisplayForm::RangeFraction, -1), -17);
    EXPECT_EQ(LimitQuantity(DisplayForm::Distance, 65536), 65536);
}

TEST(ParameterText, TextToValue) {
    const struct {
        int index;
        std::string_view text;
        std::int16_t range;
        TextOutcome outcome;
        std::uint16_t value;  // the current value is always 3
    } cases[] = {
        // clang-format off
        {kSensorOnOff, "off", 0, TextOutcome::Converted, 0},
        {kSensorOnOff, "0", 0, TextOutcome::Converted, 1},
        {kMeasureType, "knife", 0, TextOutcome::Converted, 0},
        {kMeasureType, "Border_B", 0, TextOutcome::Converted, 4},
        {kMeasureType, "Average", 0, TextOutcome::NotAName, 3},
        {kMeasureType, "1", 0, TextOutcome::NotAName, 3},
        {kUartBaudrate, "115200", 0, TextOutcome::Converted, 48},
        {kRangeBegin, "500", 0, TextOutcome::Converted, 8192},
        {kDiaCorrection, "-9999", 0, TextOutcome::Converted, 0xD8F1},
        {kSamplingPeriod, "12a", 0, TextOutcome::NotAnInteger, 3},
        {kEtalon, "25000", 50, TextOutcome::Converted, 8192},
        {kEtalon, "25000", 0, TextOutcome::NoMeasuringRange, 3},
        // clang-format on
    };
    for (const auto& c : cases) {
        const TextValue r = ParameterValueFromText(c.index, c.text, 3, c.range);
        EXPECT_EQ(r.outcome, c.outcome) << c.text;
        EXPECT_EQ(r.value, c.value) << c.text;
    }
}

TEST(ParameterText, ParseIntegerEdges) {
    struct Case {
        std::string_view text;
        std::optional<std::int32_t> n;
    };
    const Case cases[] = {
        // clang-format off
        {"0", 0}, {"-9999", -9999}, {"007", 7}, {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"+7", std::nullopt}, {"  42", std::nullopt}, {"$FF", std::nullopt},
        {"0x1f", std::nullopt}, {"-$10", std::nullopt}, {"--5", std::nullopt},
        {"", std::nullopt}, {"-", std::nullopt}, {"42 ", std::nullopt}, {"5-3", std::nullopt},
        {"12a", std::nullopt}, {"- 5", std::nullopt}, {"1.5", std::nullopt},
        {"2147483648", std::nullopt}, {"-2147483649", std::nullopt},
        {"99999999999999999999", std::nullopt},
        // clang-format on
    };
    for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text), c.n) << '"' << c.text << '"';
    // A calibration file's field also takes blanks, "+" and hexadecimal.
    const Case fields[] = {
        // clang-format off
        {"+7", 7}, {"  42", 42}, {"$FF", 255}, {"0x1f", 31}, {"-$10", -16},
        {"-2147483648", INT32_MIN}, {"42 ", std::nullopt}, {"$", std::nullopt},
        {"0x", std::nullopt}, {"$G", std::nullopt}, {"2147483648", std::nullopt},
        // clang-format on
    };
    for (const auto& c : fields) EXPECT_EQ(ParseNumberField(c.text), c.n) << '"' << c.text << '"';
    EXPECT_EQ(InvalidIntegerMessage("12a"), "'12a' is not a valid integer value");
}

TEST(ParameterText, PickLists) {
    EXPECT_EQ(PickListItems(kUartBaudrate),
              (std::vector<std::string>{"9600", "115200", "230400", "460800", "921600"}));
    const auto borders = PickListItems(kBorderB);
    EXPECT_EQ(borders.size(), 15u);
    EXPECT_EQ(borders[9], "10");
    EXPECT_EQ(PickListItems(kNetworkAddress).back(), "127");
    EXPECT_TRUE(PickListItems(kSamplingPeriod).empty());

    // A numeric list is expanded only up to a bound, whatever number it names.
    EXPECT_EQ(ExpandPickList("1..65536").size(), 65536u);
    EXPECT_EQ(ExpandPickList("1..65537"), std::vector<std::string>{"1..65537"});
    EXPECT_EQ(ExpandPickList("1..2147483647"), std::vector<std::string>{"1..2147483647"});
    EXPECT_EQ(ExpandPickList("1..0"), std::vector<std::string>{"1..0"});
    EXPECT_EQ(ExpandPickList("a,,b"), (std::vector<std::string>{"a", "", "b"}));
}

}  // namespace
}  // namespace mk27x
