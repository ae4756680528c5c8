// The command line's words for a recording file its writer gave up on.
//
// Threading: any thread.
#pragma once

#include <string>
#include <system_error>

#include "recording/file_writer.h"

namespace mk27x {

// "mk27x: cannot write out.csv: No space left on device" (no line end).
inline std::string FileFailureText(const FileStatus& status) {
    std::string reason;
    switch (status.failed) {
        case FileStep::Overflow:
            reason = "the disk did not keep up (" + std::to_string(kFileQueueBound >> 20) +
                     " MiB of rows waited to be written); the recording ended there";
            break;
        case FileStep::None:
            break;
        default:
            reason = std::error_code(status.error, std::generic_category()).message();
            break;
    }
    const char* what = status.failed == FileStep::Open ? "cannot create " : "cannot write ";
    return "mk27x: " + std::string(what) + status.path + ": " + reason;
}

}  // namespace mk27x
