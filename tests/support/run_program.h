// A program run as a script runs it: through the shell, its standard output
// captured.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace mk27x::testing {

// Runs `command` with /bin/sh; what it writes to its standard output, and its
// exit status in `status`.
inline std::string Capture(const std::string& command, int& status) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    status = WEXITSTATUS(::pclose(pipe));
    return out;
}

}  // namespace mk27x::testing
