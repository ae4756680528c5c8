// mk27x serve: the line service (see service/line_service.h), run by systemd
// or by hand until SIGTERM or SIGINT.
//
//   mk27x serve [--config FILE] [--sensor NAME=PORT[@RATE][#ADDRESS]]...
//               [--channel NAME=EXPR]... [--limit NAME=LOW..HIGH]...
//               [--record-dir DIR] [--rotate 1h|15m|100MB] [--keep 14d|50GB]
//               [--publish URL] [--mqtt-...] [--modbus HOST:PORT]
//               [--poll-rate HZ] [--simulator]
//
// The options of the command line win over the file's. A configuration that
// is refused is told before anything is opened (FILE:LINE: reason) and ends
// with exit 2; a service that cannot start (the recording folder, a port to
// listen at) with exit 1; a stop by SIGTERM or SIGINT with exit 0, the files
// completed and MQTT told "offline". SIGHUP starts a new recording file. A
// sensor that cannot be opened or stops answering is retried meanwhile. The
// options are read as monitor's (see cli_group_options.h).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace mk27x {

// Where "serve" stands in `args` when it is the command, else nothing.
std::optional<std::size_t> ServeCommandAt(const std::vector<std::string>& args);

// Runs the service; `args` without the program name, `at` the command's place.
// SIGHUP comes as a count in `io.hangups`.
int RunServe(const std::vector<std::string>& args, std::size_t at, CommandLineIo io);

std::string ServeHelp();

}  // namespace mk27x
