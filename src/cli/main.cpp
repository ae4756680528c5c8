// mk27x: the command line of the MK27x setup program (see cli/cli.h).
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_serve.h"
#include "platform/clock.h"

namespace {

std::atomic<int> stop_signal{0};
std::atomic<int> hangups{0};
static_assert(std::atomic<int>::is_always_lock_free);

// The first signal asks the command to stop cleanly; a second ends the program
// at once.
extern "C" void OnStopSignal(int signal) {
    int none = 0;
    if (!stop_signal.compare_exchange_strong(none, signal))
        ::_exit(mk27x::SignalExitStatus(signal));
}

// The service takes SIGHUP as "start a new recording file".
extern "C" void OnHangup(int) {
    hangups.fetch_add(1);
}

void InstallStopSignals(bool hangup_reopens) {
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
    if (hangup_reopens) {
        action.sa_handler = OnHangup;
        sigaction(SIGHUP, &action, nullptr);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::istream* ask = ::isatty(STDIN_FILENO) ? &std::cin : nullptr;
    const bool serve = mk27x::ServeCommandAt(args).has_value();
    InstallStopSignals(serve);
    mk27x::CommandLineIo io{std::cout, std::cerr, mk27x::SystemClock::Instance(), ask};
    io.show_progress = ::isatty(STDERR_FILENO) != 0;
    io.stop_signal = &stop_signal;
    if (serve) io.hangups = &hangups;
    return mk27x::RunCommandLine(args, io);
}
