// Fuzz target: the parameter file reader on any text a file may hold.
//
// Input: the file's text.
// Checked: a file that loads holds only values its rows accept; written back,
// it loads again with the same values, sensor and time (the writer and the
// reader agree on everything the reader takes).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "session/parameter_file.h"

using namespace mk27x;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ParameterFileResult r = ParseParameterFile(text);
    if (!r.ok) {
        if (r.error.empty()) std::abort();
        return 0;
    }
    ParameterSet values{};
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (!ParameterValueProblem(i, r.file.values[k]).empty()) std::abort();
        values[k] = r.file.values[k];
    }
    const ParameterFileResult again =
        ParseParameterFile(ParameterFileText(values, r.file.sensor, r.file.time));
    if (!again.ok || again.file.values != r.file.values || again.file.sensor != r.file.sensor ||
        again.file.time != r.file.time)
        std::abort();
    return 0;
}
