// The words of the mk27x command line: its options, its commands with their
// own options and help, and the checks of every value before anything is sent
// (CLI11).
//
//   mk27x [--port PORT] [--baud RATE] [--address N] [--json] [--simulator]
//         [--trace FILE] COMMAND [its options and operands]
//
// The options before the command may also follow it ("identify --json").
//
// Threading: plain functions; callable from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli_publish.h"

namespace mk27x {

// The command line cannot be run as written: the text says why (exit 2).
struct UsageError {
    std::string text;
};

struct Options {
    std::string port = "USB";
    std::uint32_t baud = 115200;
    std::uint8_t address = 1;
    bool json = false;
    bool simulator = false;
    std::string command;
    // set: NAME=TEXT...; upload, backup, clone: the file.
    std::vector<std::string> operands;
    std::optional<long> count;
    std::optional<double> seconds;
    // Every --port given, in order (search tries them all; the others use the
    // last).
    std::vector<std::string> ports;
    bool full = false;
    std::string trace;
    std::optional<std::string> csv;
    bool stats = false;
    // stream --publish URL and its --mqtt options.
    PublishOptions publish;
    // The help or the version asked for: printed (exit 0) instead of a command.
    std::optional<std::string> answer;
};

// `args` without the program name. Throws UsageError.
Options ParseOptions(const std::vector<std::string>& args);

// The help text of `mk27x --help`.
std::string CommandLineHelp();

}  // namespace mk27x
