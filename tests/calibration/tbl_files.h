// *.tbl files for the calibration tests, written into a temporary directory
// that is removed with the object.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "mk27x-tbl-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string Path(const std::string& name) const { return (path_ / name).string(); }
    // Writes `contents` byte for byte and returns the file's path.
    std::string Write(const std::string& name, const std::string& contents) const {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }

private:
    std::filesystem::path path_;
};

}  // namespace mk27x::testing
