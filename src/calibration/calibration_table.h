// The calibration table and its file: CalibrationTable holds the values read
// from a *.tbl file, ReadCalibrationFile reads one.
//
// A *.tbl file is text: a header line, then data lines whose characters from
// the 18th on hold one integer (decimal with optional sign and leading blanks,
// or hexadecimal after "$" or "0x"; nothing may follow it). A line ends with a
// line feed; one carriage return before it is dropped. The number of data lines
// read depends on the sensor's Release: 41740 for Release 1, 15900 otherwise;
// further lines are not looked at. A file that ends early repeats the last
// value read for every missing line.
//
// Anything else is refused, with the text the window shows, before a single
// byte goes to the sensor:
//  - a file that cannot be opened: "Cannot open file <name>.";
//  - a data line that is no number: the conversion error
//    "'<field>' is not a valid integer value". A line shorter than 18
//    characters has an empty field; a line longer than 23 characters is one
//    line (never split) and always refused with its field; a line holding a
//    NUL byte (the header included) is refused with its field up to that byte;
//    an empty or header-only file has no first value, which reads as an empty
//    field. A field longer than kShownFieldLimit is shown cut, with "...".
//
// Threading: plain functions and values; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace mk27x {

inline constexpr std::size_t kCalibrationTableEntries = 100000;
// Values per calibration block.
inline constexpr int kCalibrationBlockValues = 512;

// Data lines read and blocks sent, by the sensor's Release.
struct CalibrationSizes {
    int lines;
    int blocks;
    bool operator==(const CalibrationSizes&) const = default;
};
constexpr CalibrationSizes CalibrationSizesFor(std::uint8_t release) {
    return release == 1 ? CalibrationSizes{41740, 82} : CalibrationSizes{15900, 30};
}

// The values for one sensor: 100000 entries, zero where no line filled them.
// Entry i holds data line i + 1 of the file. Only the low 16 bits of an entry
// are sent.
struct CalibrationTable {
    explicit CalibrationTable(std::uint8_t release)
        : sizes(CalibrationSizesFor(release)), entries(kCalibrationTableEntries, 0) {}

    CalibrationSizes sizes;
    std::vector<std::int32_t> entries;
};

// Why a file is refused: the reader's words, and which of the program's two
// reports they belong to (the session shows them).
struct CalibrationRefusal {
    enum class Kind {
        CannotOpen,       // "Cannot open file <name>."
        ConversionError,  // the general error report's conversion error
    };
    Kind kind = Kind::CannotOpen;
    std::string text;
    bool operator==(const CalibrationRefusal&) const = default;
};

// A field text longer than this is cut (and marked with "...") in the message.
inline constexpr std::size_t kShownFieldLimit = 64;

// Either the table or why the file is refused.
struct CalibrationFileResult {
    std::optional<CalibrationTable> table;
    CalibrationRefusal error;  // meaningful when there is no table

    bool ok() const { return table.has_value(); }
};

// Reads the file `path` for a sensor of the given Release.
CalibrationFileResult ReadCalibrationFile(const std::string& path, std::uint8_t release);
// Reads the contents of a file from a stream (opened in binary mode).
CalibrationFileResult ReadCalibration(std::istream& in, std::uint8_t release);

// "Cannot open file <path>.".
CalibrationRefusal CannotOpenFileRefusal(const std::string& path);
// The conversion error of a field.
CalibrationRefusal ConversionErrorRefusal(const std::string& field);

}  // namespace mk27x
