// mk27x: the command line of the MK27x setup program (see cli/cli.h).
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "platform/clock.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::istream* ask = ::isatty(STDIN_FILENO) ? &std::cin : nullptr;
    return mk27x::RunCommandLine(args, {std::cout, std::cerr, mk27x::SystemClock::Instance(), ask});
}
