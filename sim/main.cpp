// mk27x-sim: a virtual MK27x sensor on a pseudo-terminal.
//
// Prints the slave device path on the first line of stdout, then serves the
// sensor until SIGINT or SIGTERM.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pty_server.h"
#include "virtual_sensor.h"

namespace {

using mk27x::sim::Faults;
using mk27x::sim::MeasurementSource;
using mk27x::sim::PtySensorServer;
using mk27x::sim::PtyServerOptions;
using mk27x::sim::SensorConfig;
using mk27x::sim::VirtualSensor;

constexpr const char* kUsage = R"(Usage: mk27x-sim [options]

Serves a virtual MK27x laser distance sensor on a new pseudo-terminal. The
slave device path is printed on the first line of standard output; open it as
the sensor's serial port. Runs until SIGINT or SIGTERM.

Identity (reported by the identify command):
  --model N            model number, 0..255 (default 27)
  --release N          release, 0..255 (default 2)
  --serial N           serial number, 0..65535 (default 1234)
  --base MM            base distance in mm (default 100)
  --range MM           measuring range in mm (default 50)

Line:
  --address N          network address, 1..127 (default 1)
  --baud N             the sensor's rate (default 115200); requests sent at any
                       other rate (the slave's termios speed) are ignored
  --link PATH          also make PATH a symbolic link to the slave device
                       (an existing link is replaced; removed at exit)

Measurement source, raw units of 1/16384 of the range, signed 16-bit:
  --source KIND        constant | ramp | sine (default constant)
  --value N            constant value, ramp start or sine centre (default 8192)
  --amplitude N        ramp height or sine amplitude (default 0)
  --period N           ramp or sine period in samples (default 100)
  --noise N            uniform noise of +-N added to every sample (default 0)
  --seed N             seed of the noise generator (default 1)
  Every measurement reply and every stream frame takes the next sample.

Stream:
  --stream-rate N|max  frames per second while streaming (default: one every
                       "Sampling period" microseconds, 2000 for its default
                       500, at most what the line carries);
                       max = as fast as the pseudo-terminal accepts

Fault injection:
  --silent-after N           swallow every request after the first N
  --short-reply CMD          cut replies to command CMD (0x81..0x8D or code 1..13)
  --short-reply-length N     ... to N bytes (default: one byte less)
  --stream-garbage-every K   every K-th frame gets a stray byte with a foreign tag
  --stream-byte-bits N       bits set in every stream byte (128: bit 7 set)
  --stream-stop-after N      the stream falls silent after N frames
  --stream-pause-at N        after N frames of each stream, send nothing for a
                             while: the frames due meanwhile are lost, then the
                             stream goes on at its rate
  --stream-pause-ms MS       ... for MS milliseconds (default 1000)

  --help               this text
  --version            the program's version
)";

bool ParseInt(std::string_view text, long long min, long long max, long long& out) {
    const std::string s(text);
    if (s.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0' || v < min || v > max) return false;
    out = v;
    return true;
}

struct Settings {
    SensorConfig config;
    PtyServerOptions server;
    std::optional<std::string> link;
};

// Returns nullopt (after printing why) on a bad command line; exits on --help
// and --version.
std::optional<Settings> ParseArgs(int argc, char** argv) {
    Settings st;
    Faults& faults = st.config.faults;
    MeasurementSource& src = st.config.source;
    faults.stream_pause_ms = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string_view opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::cout << kUsage;
            std::exit(0);
        }
        if (opt == "--version") {
            std::cout << "mk27x-sim " MK27X_VERSION "\n";
            std::exit(0);
        }
        if (i + 1 >= argc) {
            std::cerr << "mk27x-sim: unknown option or missing value: " << opt << "\n";
            return std::nullopt;
        }
        const std::string_view arg = argv[++i];
        long long v = 0;
        auto num = [&](long long min, long long max) {
            if (ParseInt(arg, min, max, v)) return true;
            std::cerr << "mk27x-sim: bad value for " << opt << ": " << arg << "\n";
            return false;
        };
        constexpr long long kInt32Max = std::numeric_limits<std::int32_t>::max();
        constexpr long long kUint32Max = std::numeric_limits<std::uint32_t>::max();
        bool ok = true;
        if (opt == "--model") {
            ok = num(0, 255) && (st.config.identity.model = static_cast<std::uint8_t>(v), true);
        } else if (opt == "--release") {
            ok = num(0, 255) && (st.config.identity.release = static_cast<std::uint8_t>(v), true);
        } else if (opt == "--serial") {
            ok = num(0, 65535) && (st.config.identity.serial = static_cast<std::uint16_t>(v), true);
        } else if (opt == "--base") {
            ok =
                num(0, 65535) && (st.config.identity.base_mm = static_cast<std::uint16_t>(v), true);
        } else if (opt == "--range") {
            ok = num(0, 65535) &&
                 (st.config.identity.range_mm = static_cast<std::uint16_t>(v), true);
        } else if (opt == "--address") {
            ok = num(1, 127) && (st.config.address = static_cast<std::uint8_t>(v), true);
        } else if (opt == "--baud") {
            ok = num(1, 4000000) && (st.config.baud = static_cast<std::uint32_t>(v), true);
        } else if (opt == "--link") {
            st.link = std::string(arg);
        } else if (opt == "--source") {
            if (arg == "constant") {
                src.kind = MeasurementSource::Kind::kConstant;
            } else if (arg == "ramp") {
                src.kind = MeasurementSource::Kind::kRamp;
            } else if (arg == "sine") {
                src.kind = MeasurementSource::Kind::kSine;
            } else {
                std::cerr << "mk27x-sim: --source must be constant, ramp or sine\n";
                ok = false;
            }
        } else if (opt == "--value") {
            ok = num(-32768, 32767) && (src.value = static_cast<std::int32_t>(v), true);
        } else if (opt == "--amplitude") {
            ok = num(-65535, 65535) && (src.amplitude = static_cast<std::int32_t>(v), true);
        } else if (opt == "--period") {
            ok = num(1, kUint32Max) && (src.period = static_cast<std::uint32_t>(v), true);
        } else if (opt == "--noise") {
            ok = num(0, 32767) && (src.noise = static_cast<std::int32_t>(v), true);
        } else if (opt == "--seed") {
            ok = num(0, kUint32Max) && (src.seed = static_cast<std::uint32_t>(v), true);
        } else if (opt == "--stream-rate") {
            if (arg == "max") {
                st.server.stream_rate = 0.0;
            } else {
                ok = num(1, 10000000) && (st.server.stream_rate = static_cast<double>(v), true);
            }
        } else if (opt == "--silent-after") {
            ok = num(0, kUint32Max) &&
                 (faults.silent_after_requests = static_cast<std::uint32_t>(v), true);
        } else if (opt == "--short-reply") {
            ok = num(0, 255) && (faults.short_reply_command = static_cast<std::uint8_t>(v), true);
        } else if (opt == "--short-reply-length") {
            ok = num(0, 16) && (faults.short_reply_length = static_cast<std::size_t>(v), true);
        } else if (opt == "--stream-byte-bits") {
            ok = num(0, 255) && (faults.stream_byte_bits = static_cast<std::uint8_t>(v), true);
        } else if (opt == "--stream-garbage-every") {
            ok = num(0, kInt32Max) &&
                 (faults.stream_garbage_every = static_cast<std::uint32_t>(v), true);
        } else if (opt == "--stream-pause-at") {
            ok = num(0, std::numeric_limits<long long>::max()) &&
                 (faults.stream_pause_at_frames = static_cast<std::uint64_t>(v), true);
        } else if (opt == "--stream-pause-ms") {
            ok =
                num(0, kInt32Max) && (faults.stream_pause_ms = static_cast<std::uint32_t>(v), true);
        } else if (opt == "--stream-stop-after") {
            ok = num(0, std::numeric_limits<long long>::max()) &&
                 (faults.stream_stop_after_frames = static_cast<std::uint64_t>(v), true);
        } else {
            std::cerr << "mk27x-sim: unknown option: " << opt << " (see --help)\n";
            ok = false;
        }
        if (!ok) return std::nullopt;
    }
    return st;
}

// Points `link` at `target`, replacing an existing symbolic link but nothing else.
bool MakeLink(const std::string& link, const std::string& target) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            std::cerr << "mk27x-sim: " << link << " exists and is not a symbolic link\n";
            return false;
        }
        ::unlink(link.c_str());
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        std::cerr << "mk27x-sim: cannot create " << link << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return true;
}

// Removes `link` if it still points at `target`.
void RemoveLink(const std::string& link, const std::string& target) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0) return;
    if (std::string(buf, static_cast<std::size_t>(n)) == target) ::unlink(link.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::optional<Settings> settings = ParseArgs(argc, argv);
    if (!settings) return 2;

    // Block the stop signals before any thread starts; the main thread waits for
    // them with sigwait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    auto sensor = std::make_shared<VirtualSensor>(settings->config);
    PtySensorServer server(sensor, settings->server);
    if (!server.Start()) {
        std::cerr << "mk27x-sim: " << server.Error() << "\n";
        return 1;
    }
    const std::string slave = server.SlavePath();
    if (settings->link && !MakeLink(*settings->link, slave)) {
        server.Stop();
        return 1;
    }
    std::cout << slave << std::endl;

    int signal_number = 0;
    sigwait(&stop_signals, &signal_number);

    server.Stop();
    if (settings->link) RemoveLink(*settings->link, slave);
    return 0;
}
