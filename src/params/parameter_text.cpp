#include "params/parameter_text.h"

#include <cstddef>
#include <limits>

namespace mk27x {

namespace {

constexpr std::int64_t kFullScale = 16384;  // a distance register's unit is R / 16384
constexpr std::int64_t kBaudUnit = 2400;

// Division rounding toward minus infinity; b != 0. The operands stay far from
// the 64-bit limits (at most about 2^51), so neither a / b nor a % b overflows.
constexpr std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if (a % b != 0 && ((a < 0) != (b < 0))) --q;
    return q;
}

const ParameterRow& Row(int index) {
    return ParameterTable.at(static_cast<std::size_t>(index));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::int64_t RangeFractionRounded(std::uint16_t value) {
    return (std::int64_t{value} * 10000 / kFullScale + 5) / 10;
}

std::int64_t RangeFractionTruncated(std::uint16_t value) {
    return std::int64_t{value} * 1000 / kFullScale;
}

std::int64_t DistanceMicrometres(std::uint16_t value, std::int16_t range) {
    // |v * R * 1000| < 2^16 * 2^15 * 2^10 = 2^41.
    return FloorDiv(std::int64_t{value} * range * 1000 + kFullScale / 2, kFullScale);
}

std::string DisplayText(DisplayForm form, std::uint16_t value, std::int16_t range) {
    switch (form) {
        case DisplayForm::Decimal:
            return std::to_string(value);
        case DisplayForm::SignedDecimal:
            return std::to_string(static_cast<std::int16_t>(value));
        case DisplayForm::Switch:
            return value == 0 ? "off" : "on";
        case DisplayForm::Baud:
            return std::to_string(value * kBaudUnit);
        case DisplayForm::RangeFraction:
            return std::to_string(RangeFractionRounded(value));
        case DisplayForm::Distance:
            return std::to_string(DistanceMicrometres(value, range));
        case DisplayForm::MeasureType:
            if (value < kMeasureTypeNames.size()) return std::string(kMeasureTypeNames[value]);
            return std::to_string(value);
    }
    return std::to_string(value);
}

std::string ParameterText(int index, std::uint16_t value, std::int16_t range) {
    return DisplayText(Row(index).form, value, range);
}

std::array<std::string, kParameterCount> ParameterTexts(const ParameterSet& values,
                                                        std::int16_t range) {
    std::array<std::string, kParameterCount> texts;
    for (int i = 0; i < kParameterCount; ++i) texts[i] = ParameterText(i, values[i], range);
    return texts;
}

std::string PutBackText(int index, std::uint16_t value, std::int16_t range) {
    if (Row(index).form == DisplayForm::RangeFraction) {
        return std::to_string(RangeFractionTruncated(value));
    }
    return ParameterText(index, value, range);
}

namespace {

// The digits of `text` from `pos` to its end in `base`, with the sign given; no
// result without digits, for any other character or outside 32 bits.
std::optional<std::int32_t> ParseDigits(std::string_view text, std::size_t pos, bool negative,
                                        int base) {
    if (pos == text.size()) return std::nullopt;
    // Accumulate the magnitude; the limit lets -2147483648 through.
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t magnitude = 0;
    for (; pos < text.size(); ++pos) {
        const int digit = HexDigit(text[pos]);
        if (digit < 0 || digit >= base) return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > kLimit) return std::nullopt;
    }
    const std::int64_t n = negative ? -magnitude : magnitude;
    if (n > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return static_cast<std::int32_t>(n);
}

}  // namespace

std::optional<std::int32_t> ParseInteger(std::string_view text) {
    const bool negative = text.starts_with('-');
    return ParseDigits(text, negative ? 1 : 0, negative, 10);
}

std::optional<std::int32_t> ParseNumberField(std::string_view text) {
    std::size_t pos = 0;
    while (pos < text.size() && text[pos] == ' ') ++pos;

    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }

    int base = 10;
    if (pos < text.size() && text[pos] == '$') {
        base = 16;
        ++pos;
    } else if (pos + 1 < text.size() && text[pos] == '0' &&
               (text[pos + 1] == 'x' || text[pos + 1] == 'X')) {
        base = 16;
        pos += 2;
    }
    return ParseDigits(text, pos, negative, base);
}

std::string InvalidIntegerMessage(std::string_view text) {
    std::string message = "'";
    message += text;
    message += "' is not a valid integer value";
    return message;
}

bool IsNumericForm(DisplayForm form) {
    return form != DisplayForm::Switch && form != DisplayForm::MeasureType;
}

std::int64_t LimitQuantity(DisplayForm form, std::int32_t n) {
    if (form == DisplayForm::RangeFraction) return FloorDiv(std::int64_t{n} * kFullScale, 1000);
    return n;
}

std::optional<std::int64_t> WideValueFromNumber(DisplayForm form, std::int32_t n,
                                                std::int16_t range) {
    // |n * 16384| < 2^31 * 2^14 = 2^45.
    switch (form) {
        case DisplayForm::Decimal:
        case DisplayForm::SignedDecimal:
            return n;
        case DisplayForm::Baud:
            return n / kBaudUnit;
        case DisplayForm::RangeFraction:
            return FloorDiv(std::int64_t{n} * kFullScale + 500, 1000);
        case DisplayForm::Distance:
            if (range == 0) return std::nullopt;
            return FloorDiv(FloorDiv(std::int64_t{n} * kFullScale, range) + 500, 1000);
        case DisplayForm::Switch:
        case DisplayForm::MeasureType:
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<std::uint16_t> ValueFromNumber(DisplayForm form, std::int32_t n, std::int16_t range) {
    const auto wide = WideValueFromNumber(form, n, range);
    if (!wide) return std::nullopt;
    // Conversion to an unsigned type is modular: the low 16 bits.
    return static_cast<std::uint16_t>(*wide);
}

TextValue ValueFromText(DisplayForm form, std::string_view text, std::uint16_t current,
                        std::int16_t range) {
    if (form == DisplayForm::Switch) {
        return {TextOutcome::Converted, static_cast<std::uint16_t>(text == "off" ? 0 : 1)};
    }
    if (form == DisplayForm::MeasureType) {
        for (std::size_t i = 0; i < kMeasureTypeNames.size(); ++i) {
            if (text == kMeasureTypeNames[i]) {
                return {TextOutcome::Converted, static_cast<std::uint16_t>(i)};
            }
        }
        return {TextOutcome::NotAName, current};
    }
    const auto n = ParseInteger(text);
    if (!n) return {TextOutcome::NotAnInteger, current};
    const auto value = ValueFromNumber(form, *n, range);
    if (!value) return {TextOutcome::NoMeasuringRange, current};
    return {TextOutcome::Converted, *value};
}

TextValue ParameterValueFromText(int index, std::string_view text, std::uint16_t current,
                                 std::int16_t range) {
    return ValueFromText(Row(index).form, text, current, range);
}

std::vector<std::string> ExpandPickList(std::string_view list) {
    std::vector<std::string> items;
    if (list.empty()) return items;
    if (list.starts_with("1..")) {
        if (const auto last = ParseInteger(list.substr(3));
            last && *last >= 1 && *last <= kMaxPickListItems) {
            items.reserve(static_cast<std::size_t>(*last));
            for (std::int32_t k = 1; k <= *last; ++k) items.push_back(std::to_string(k));
            return items;
        }
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t comma = list.find(',', start);
        items.emplace_back(list.substr(start, comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return items;
}

std::vector<std::string> PickListItems(int index) {
    return ExpandPickList(Row(index).pick_list);
}

}  // namespace mk27x
