// The mk27x command line: a second front end on the sensor session, for scripts
// and test benches.
//
//   mk27x [--port PORT] [--baud RATE] [--address N] [--json] [--simulator]
//         [--trace FILE] COMMAND
//
// Commands: identify, params, set NAME=TEXT..., flash, restore, teach,
// upload FILE.tbl, measure --count N, stream --seconds S (both with --csv FILE
// and --stats), search [--full], backup FILE.json, clone FILE.json; --help
// (each command has its own) and --version (cli/cli_options.h). Exit status
// 0 on success, 1 when the port cannot be opened or the sensor does not answer
// (the program's message on standard error), 2 on a usage error (including a
// parameter text that is refused).
//
// measure, stream, upload, search and clone stop cleanly when a signal is
// reported through `CommandLineIo::stop_signal`: a stream is told to stop and
// its reader joined, an upload ends after the block in flight, the CSV file is
// completed and the statistics printed; the status is then 128 + the signal.
//
// Threading: RunCommandLine runs on the calling thread; during `stream` the
// session's reader thread writes the distances to `out`, and nothing else
// writes to it meanwhile.
#pragma once

#include <atomic>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "platform/clock.h"
#include "platform/message_box.h"

namespace mk27x {

// The message boxes of the command line (a carriage return starts a new line):
// success notes (no icon) on `notes` (standard output, or standard error when
// the output is JSON), errors and warnings on standard error. A confirmation is asked on `ask` when
// there is one (a terminal) and otherwise taken as OK without a word.
class StreamMessageBox final : public MessageBox {
public:
    StreamMessageBox(std::ostream& notes, std::ostream& err, std::istream* ask)
        : out_(notes), err_(err), ask_(ask) {}
    int Show(const std::string& text, const std::string& caption, unsigned flags) override;

private:
    std::ostream& out_;
    std::ostream& err_;
    std::istream* ask_;
};

struct CommandLineIo {
    std::ostream& out;
    std::ostream& err;
    Clock& clock;
    // Where confirmations are answered: standard input when it is a terminal.
    std::istream* ask = nullptr;
    // Standard error is a terminal: progress lines go there.
    bool show_progress = false;
    // The number of a signal (SIGINT, SIGTERM, SIGHUP) that asks the command to
    // stop, 0 while none has come; set from a signal handler.
    const std::atomic<int>* stop_signal = nullptr;
    // SIGHUPs that came, for a command that takes SIGHUP as "reopen" (serve)
    // rather than as a stop.
    const std::atomic<int>* hangups = nullptr;
};

// `args` without the program name.
int RunCommandLine(const std::vector<std::string>& args, CommandLineIo io);

// A distance as JSON number: three decimals, trailing zeros dropped down to one
// ("25.0", "12.345", "-0.003").
std::string JsonDistance(float mm);

}  // namespace mk27x
