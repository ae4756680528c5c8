// Texts of the parameter grid: a parameter value shown in its row's display
// form, a cell text turned back into a value, the integer reading of cell texts
// and the items of the rows' pick lists.
//
// Every conversion is exact integer arithmetic in 64 bits. R, the measuring
// range in millimetres, is the identified sensor's MeasuringRange read as a
// signed 16-bit number; it is 0 until a sensor has been identified.
//
// A negative R (no real sensor reports one) goes through the same formulas
// with floor division, so a distance shows negative micrometres and a
// micrometre text converts through a negative range; nothing special-cases
// it, and no input can overflow. Only R = 0 is special: the text of a distance
// is then "0" and a distance text has no value.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/parameter_table.h"

namespace mk27x {

// Names of "Measure type" 0 to 4, in value order.
inline constexpr std::array<std::string_view, 5> kMeasureTypeNames{"knife", "substrate", "average",
                                                                   "Border_A", "Border_B"};

// ---- Value to text -------------------------------------------------------

// Thousandths of the measuring range, rounded: floor((floor(v*10000/16384)+5)/10).
std::int64_t RangeFractionRounded(std::uint16_t value);
// Thousandths of the measuring range, truncated: floor(v*1000/16384). This is
// the text a range row gets back when its entry is rejected.
std::int64_t RangeFractionTruncated(std::uint16_t value);
// Micrometres, rounded half up: floor((v*R*1000 + 8192)/16384). 0 when R is 0.
std::int64_t DistanceMicrometres(std::uint16_t value, std::int16_t range);

// The text of a value in the given form. R matters only to Distance.
std::string DisplayText(DisplayForm form, std::uint16_t value, std::int16_t range);
// The grid text of parameter `index` (0..19) holding `value`.
std::string ParameterText(int index, std::uint16_t value, std::int16_t range);
// The grid texts of parameters 0..19 of a value set (the spare entry is not shown).
std::array<std::string, kParameterCount> ParameterTexts(const ParameterSet& values,
                                                        std::int16_t range);
// The text a rejected or empty entry of row `index` is replaced by: the display
// text, except that the range rows truncate instead of rounding (130 gives "7"
// here, "8" in the grid).
std::string PutBackText(int index, std::uint16_t value, std::int16_t range);

// ---- Integer reading -----------------------------------------------------

// Reads a cell text as a whole number: decimal digits with an optional leading
// "-", nothing before or after them (no blanks, no "+", no hexadecimal). The
// result must fit a signed 32-bit integer. No result for an empty text, a lone
// sign, a sign inside the number, any other character or an out-of-range number.
std::optional<std::int32_t> ParseInteger(std::string_view text);
// Reads a calibration file's value field: leading blanks are skipped, then an
// optional "+" or "-", then either decimal digits or hexadecimal digits after
// "$", "0x" or "0X". Nothing may follow the digits, trailing blanks included;
// the result must fit a signed 32-bit integer.
std::optional<std::int32_t> ParseNumberField(std::string_view text);
// The conversion error for a text ParseInteger (or ParseNumberField) rejects:
// "'<text>' is not a valid integer value".
std::string InvalidIntegerMessage(std::string_view text);

// ---- Number to value -----------------------------------------------------

// True for the forms whose text is read as a number (all but Switch and
// MeasureType, whose texts are words).
bool IsNumericForm(DisplayForm form);

// The quantity a bounded row holds against its limits for the entered number
// n: floor(n*16384/1000) for RangeFraction, n itself for every other form (a
// distance row checks the micrometre number, not the converted value).
std::int64_t LimitQuantity(DisplayForm form, std::int32_t n);

// The full-width value for the entered number n, before it is kept in 16 bits:
//   Decimal, SignedDecimal  n
//   Baud                    n / 2400, truncated
//   RangeFraction           floor((n*16384 + 500) / 1000)
//   Distance                floor((floor(n*16384/R) + 500) / 1000)
// No result for Distance while R is 0, nor for the word forms. Callers that
// must reject results outside 16 bits test this one.
std::optional<std::int64_t> WideValueFromNumber(DisplayForm form, std::int32_t n,
                                                std::int16_t range);
// As WideValueFromNumber, kept in 16 bits (the low 16 bits, so -1 becomes 0xFFFF).
std::optional<std::uint16_t> ValueFromNumber(DisplayForm form, std::int32_t n, std::int16_t range);

// ---- Text to value -------------------------------------------------------

enum class TextOutcome {
    Converted,         // `value` holds the new value
    NotAnInteger,      // a numeric form's text is no integer (see ParseInteger)
    NoMeasuringRange,  // a distance text while R is 0
    NotAName,          // a measure type text that is none of kMeasureTypeNames
};

struct TextValue {
    TextOutcome outcome;
    std::uint16_t value;  // the new value when Converted, else the current one

    bool converted() const { return outcome == TextOutcome::Converted; }
};

// The value the text of a cell in the given form stands for:
//   Switch       0 for "off", 1 for any other text
//   MeasureType  the position of the text among kMeasureTypeNames (the
//                current one's included); any other text is NotAName
//   numeric      ValueFromNumber of the parsed number
// Limits are not checked here.
TextValue ValueFromText(DisplayForm form, std::string_view text, std::uint16_t current,
                        std::int16_t range);
// The same for parameter `index` (0..19), in its row's form.
TextValue ParameterValueFromText(int index, std::string_view text, std::uint16_t current,
                                 std::int16_t range);

// ---- Pick lists ----------------------------------------------------------

// The most items a "1..N" list expands to: one per 16-bit register value.
inline constexpr std::int32_t kMaxPickListItems = 65536;

// The items of a pick list as the table writes it: "1..N" gives "1" to "N" for
// N up to kMaxPickListItems, anything else (a larger N included) is split at
// commas. An empty list has no items.
std::vector<std::string> ExpandPickList(std::string_view list);
// The items of row `index`'s pick list (empty for rows without one).
std::vector<std::string> PickListItems(int index);

}  // namespace mk27x
