// Fuzz target: the *.tbl reader on arbitrary file contents. The first byte
// picks the sensor's Release (odd: 1, even: 2); the rest is the file.
//
// Checked: the reader never reads beyond its input, a refused file always
// carries the conversion error of a field no longer than the shown limit, and
// an accepted table has nothing past the lines it reads.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "calibration/calibration_table.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t release = (data[0] & 1) ? 1 : 2;
    std::istringstream in(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    const mk27x::CalibrationFileResult result = mk27x::ReadCalibration(in, release);

    if (!result.ok()) {
        const std::string& text = result.error.text;
        const std::string suffix = "' is not a valid integer value";
        if (text.size() < suffix.size() + 1 || text.front() != '\'' ||
            text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
            std::abort();
        if (text.size() > 1 + mk27x::kShownFieldLimit + 3 + suffix.size()) std::abort();
        if (result.error.kind != mk27x::CalibrationRefusal::Kind::ConversionError) std::abort();
        return 0;
    }
    const mk27x::CalibrationTable& table = *result.table;
    if (table.sizes != mk27x::CalibrationSizesFor(release)) std::abort();
    if (table.entries.size() != mk27x::kCalibrationTableEntries) std::abort();
    for (std::size_t i = static_cast<std::size_t>(table.sizes.lines); i < table.entries.size(); ++i)
        if (table.entries[i] != 0) std::abort();
    return 0;
}
