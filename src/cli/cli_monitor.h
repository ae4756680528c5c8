// mk27x monitor: several sensors at once (see group/sensor_group.h).
//
//   mk27x monitor --sensor NAME=PORT[@RATE][#ADDRESS]... [--channel NAME=EXPR...]
//                 [--seconds S] [--csv FILE] [--stats] [--json] [--simulator]
//                 [--poll-rate HZ]
//
// Connects every sensor, streams those alone on their line and polls those that
// share one, prints a row per common sample time, writes the CSV as it goes and
// the statistics per column at the end (and each sensor's losses). A sensor
// that stops answering is retried while the others go on (GroupRun); its loss
// and return are told on standard error. Exit 1 when a sensor cannot be opened
// or does not answer at the start, or is still lost at the end (its name heads
// the message), 2 for a usage error or a refused expression, 128 + the signal
// when stopped by one. The options are CLI11's, as for every other command.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace mk27x {

// Where "monitor" stands in `args` when it is the command, else nothing.
std::optional<std::size_t> MonitorCommandAt(const std::vector<std::string>& args);

// Runs the command; `args` without the program name, `at` the command's place.
int RunMonitor(const std::vector<std::string>& args, std::size_t at, CommandLineIo io);

std::string MonitorHelp();

}  // namespace mk27x
