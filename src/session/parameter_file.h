// Parameter files: the working set of the 20 parameters saved to a JSON
// document and loaded back, to give many sensors the same settings.
//
//   {
//     "format": "mk27x-parameters", "version": 1,
//     "program": "MK27x-SP 0.1", "time": "2024-05-01T12:00:00Z",
//     "sensor": {"model": 27, "release": 2, "serial": 1234, "base_mm": 100,
//                "range_mm": 50},                      (null when not known)
//     "parameters": [{"index": 0, "name": "Sensor On/Off", "value": 1,
//                     "text": "on"}, ... all 20 in order]
//   }
//
// "value" is the raw 16-bit working value; "text" what the grid shows, for the
// reader of the file (it is not read back). Reading is strict and bounded (size,
// nesting, string length): the format and version, all 20 entries with their
// index and name, and each value against its row: the row's limits, a pick-list
// row only a value its list offers (or the row's default), the picker rows one
// byte. The first bad entry is reported by name with the reason, and a bad file
// changes nothing. Writing goes to a temporary file that is then renamed over
// the target, so an existing file is never left half-written.
//
// Threading: plain functions; ApplyParameterFile asks on the caller's thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "params/parameter_table.h"
#include "protocol/codec.h"

namespace mk27x {

inline constexpr std::string_view kParameterFileFormat = "mk27x-parameters";
inline constexpr int kParameterFileVersion = 1;
inline constexpr std::size_t kMaxParameterFileBytes = 64 * 1024;

struct ParameterFile {
    int version = kParameterFileVersion;
    std::string program;
    std::string time;
    std::optional<SensorIdentity> sensor;
    std::array<std::uint16_t, kParameterCount> values{};
};

struct ParameterFileResult {
    bool ok = false;
    // Why the file was refused (the first bad entry by name and the reason).
    std::string error;
    ParameterFile file;
};

// The document for a working set; `time` as written into it.
std::string ParameterFileText(const ParameterSet& values,
                              const std::optional<SensorIdentity>& sensor, const std::string& time);
// The current UTC time as "YYYY-MM-DDThh:mm:ssZ".
std::string ParameterFileTime();

ParameterFileResult ParseParameterFile(std::string_view text);
ParameterFileResult ReadParameterFile(const std::string& path);
// Writes through a temporary file renamed over `path`; false with `error` set
// when it failed (an existing file is then unchanged).
bool WriteParameterFile(const std::string& path, const std::string& text, std::string& error);

// Why `value` does not fit row `index`; empty when it does.
std::string ParameterValueProblem(int index, std::uint16_t value);

// Takes the file's 20 values into `values` (the spare entry is kept). When both
// the file's sensor and `current` are known and their models differ, asks
// `other_model` (file's model, sensor's model) first (empty: yes); false, with
// nothing changed, when it says no.
bool ApplyParameterFile(const ParameterFile& file, const std::optional<SensorIdentity>& current,
                        ParameterSet& values,
                        const std::function<bool(int file_model, int sensor_model)>& other_model);

}  // namespace mk27x
