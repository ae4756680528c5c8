// *.tbl files for the calibration tests (written into a TempDir).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace mk27x::testing {

// The first 17 characters of a data line: not looked at by the reader.
inline std::string LinePrefix(int i) {
    std::string prefix = "#" + std::to_string(i) + " d=0.000mm  ";
    prefix.resize(17, ' ');
    return prefix;
}

// A file body: a header line, then one line per field (prefix + field), each
// ended by `eol`.
inline std::string TblText(const std::vector<std::string>& fields, const std::string& eol = "\n") {
    std::string text = "MK27x calibration table, serial 1234" + eol;
    for (std::size_t i = 0; i < fields.size(); ++i)
        text += LinePrefix(static_cast<int>(i)) + fields[i] + eol;
    return text;
}

// A deterministic value for data line i, -99999 to 100000: negative numbers
// and values beyond 16 bits, all fitting the six characters of a field.
inline std::int32_t SampleValue(int i) {
    const std::uint32_t x = static_cast<std::uint32_t>(i) * 2654435761u;
    return static_cast<std::int32_t>((x >> 8) % 200000u) - 99999;
}

inline std::vector<std::string> SampleFields(int count) {
    std::vector<std::string> fields;
    fields.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) fields.push_back(std::to_string(SampleValue(i)));
    return fields;
}

}  // namespace mk27x::testing
