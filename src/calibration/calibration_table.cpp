#include "calibration/calibration_table.h"

#include <filesystem>
#include <fstream>
#include <streambuf>
#include <string_view>
#include <system_error>

#include "params/parameter_text.h"

namespace mk27x {
namespace {

// Characters 1 to 17 of a data line are not looked at.
constexpr std::size_t kFieldStart = 17;
// The longest data line, without its line end.
constexpr std::size_t kLongestDataLine = 23;
// Of a line, this many characters are kept: enough for the field of the
// longest message. The rest is read and counted only.
constexpr std::size_t kKeptCharacters = kFieldStart + kShownFieldLimit + 1;

struct Line {
    std::string text;    // the first characters, up to a NUL byte, at most kKeptCharacters
    std::size_t length;  // characters before the line end (a final CR dropped)
    bool has_nul;

    // Characters 18 on, as far as they were kept.
    std::string Field() const { return text.size() > kFieldStart ? text.substr(kFieldStart) : ""; }
};

// Reads the next line; nothing at the end of the stream. Never keeps more than
// kKeptCharacters of a line. Reading stops early once the line is sure to be
// refused and its message text is complete: at a NUL byte, and, when `limit`
// is given, once the line has more than `limit` characters. So an endless
// stream without a line end (a device, say) cannot hold the reader.
std::optional<Line> NextLine(std::streambuf& in, std::optional<std::size_t> limit) {
    using Traits = std::streambuf::traits_type;
    Line line{{}, 0, false};
    bool any = false;
    bool last_was_cr = false;
    auto take = [&line](char ch) {
        if (ch == '\0') line.has_nul = true;
        if (!line.has_nul && line.text.size() < kKeptCharacters) line.text.push_back(ch);
        ++line.length;
    };
    for (Traits::int_type c = in.sbumpc(); !Traits::eq_int_type(c, Traits::eof());
         c = in.sbumpc()) {
        any = true;
        const char ch = Traits::to_char_type(c);
        if (ch == '\n') break;
        // A carriage return counts only when something other than the line
        // feed follows it.
        if (last_was_cr) take('\r');
        last_was_cr = ch == '\r';
        if (!last_was_cr) take(ch);
        if (line.has_nul || (limit && line.length > *limit)) break;
    }
    if (!any) return std::nullopt;
    return line;
}

std::string ShownField(const std::string& field) {
    if (field.size() <= kShownFieldLimit) return field;
    return field.substr(0, kShownFieldLimit) + "...";
}

CalibrationFileResult Refuse(CalibrationRefusal message) {
    CalibrationFileResult result;
    result.error = std::move(message);
    return result;
}

}  // namespace

CalibrationRefusal CannotOpenFileRefusal(const std::string& path) {
    return {CalibrationRefusal::Kind::CannotOpen, "Cannot open file " + path + "."};
}

CalibrationRefusal ConversionErrorRefusal(const std::string& field) {
    return {CalibrationRefusal::Kind::ConversionError, InvalidIntegerMessage(ShownField(field))};
}

CalibrationFileResult ReadCalibration(std::istream& in, std::uint8_t release) {
    std::streambuf* buffer = in.rdbuf();
    if (buffer == nullptr) return Refuse(ConversionErrorRefusal(""));

    const std::optional<Line> header = NextLine(*buffer, std::nullopt);
    if (header && header->has_nul) return Refuse(ConversionErrorRefusal(header->Field()));

    CalibrationTable table(release);
    std::optional<std::int32_t> last;
    for (int i = 0; i < table.sizes.lines; ++i) {
        const std::optional<Line> line = header ? NextLine(*buffer, kKeptCharacters) : std::nullopt;
        if (!line) {
            // A short file: the missing lines repeat the last value. Without a
            // first value the field is empty.
            if (!last) return Refuse(ConversionErrorRefusal(""));
            for (int k = i; k < table.sizes.lines; ++k) table.entries[k] = *last;
            break;
        }
        const std::string field = line->Field();
        std::optional<std::int32_t> value;
        if (!line->has_nul && line->length <= kLongestDataLine) value = ParseNumberField(field);
        if (!value) return Refuse(ConversionErrorRefusal(field));
        table.entries[i] = *value;
        last = value;
    }
    return CalibrationFileResult{std::move(table), {}};
}

CalibrationFileResult ReadCalibrationFile(const std::string& path, std::uint8_t release) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return Refuse(CannotOpenFileRefusal(path));
    std::ifstream file(path, std::ios::in | std::ios::binary);
    if (!file.is_open()) return Refuse(CannotOpenFileRefusal(path));
    return ReadCalibration(file, release);
}

}  // namespace mk27x
