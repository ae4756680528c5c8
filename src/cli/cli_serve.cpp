#include "cli/cli_serve.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <iostream>
#include <ostream>

#include "cli/cli_http.h"
#include "link/port_backends.h"
#include "serve/modbus_server.h"
#include "service/line_service.h"
#include "service/notify.h"
#include "service/service_config.h"

namespace mk27x {
namespace {

struct ServeUsage {
    std::string text;
};

struct ServeOptions {
    std::optional<std::string> config_file;
    ServiceConfig overlay;
    bool simulator = false;
    bool help = false;
    bool hash_password = false;
};

// The Modbus view of --modbus / [modbus]: the Modbus server on the service's
// snapshot board.
class ModbusView final : public LineView {
public:
    ModbusView(const SnapshotBoard& board, const ListenAddress& listen)
        : server_(board, Settings(listen)) {}
    std::string Start() override {
        const ModbusStartOutcome outcome = server_.Start();
        return outcome ? std::string() : outcome.reason;
    }
    void Stop() override { server_.Stop(); }
    int ClientCount() const override { return server_.ClientCount(); }

private:
    static ModbusSettings Settings(const ListenAddress& listen) {
        ModbusSettings settings;
        settings.endpoint.host = listen.host;
        settings.endpoint.port = static_cast<std::uint16_t>(listen.port);
        return settings;
    }
    ModbusServer server_;
};

LineViewFactory ModbusViewFactory() {
    return [](SnapshotBoard& board, const ListenAddress& listen) {
        return std::make_unique<ModbusView>(board, listen);
    };
}

ServeOptions ParseServeOptions(const std::vector<std::string>& args, std::size_t at) {
    ServeOptions o;
    ServiceConfig& c = o.overlay;
    std::string error;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (i == at) continue;
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw ServeUsage{"option " + arg + " needs a value"};
            return args[++i];
        };
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--simulator") {
            o.simulator = true;
        } else if (arg == "--hash-password") {
            o.hash_password = true;
        } else if (arg == "--config") {
            o.config_file = value();
        } else if (arg == "--sensor") {
            const auto spec = ParseSensorSpec(value(), error);
            if (!spec) throw ServeUsage{error};
            c.sensors.push_back({*spec, {}});
        } else if (arg == "--channel") {
            const auto spec = ParseChannelSpec(value(), error);
            if (!spec) throw ServeUsage{error};
            c.channels.push_back({*spec, {}});
        } else if (arg == "--limit") {
            const auto limits = ParseLimitSpec(value(), error);
            if (!limits) throw ServeUsage{error};
            c.limits.push_back({*limits, {}});
        } else if (arg == "--record-dir") {
            c.record_dir = value();
        } else if (arg == "--rotate") {
            c.rotate = ParseRotate(value(), error);
            if (!c.rotate) throw ServeUsage{error};
        } else if (arg == "--keep") {
            c.keep = ParseKeep(value(), error);
            if (!c.keep) throw ServeUsage{error};
        } else if (arg == "--modbus") {
            c.modbus = ParseListen(value(), error);
            if (!c.modbus) throw ServeUsage{error};
        } else if (arg == "--poll-rate") {
            const std::string& text = value();
            double hz = 0;
            const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), hz);
            if (ec != std::errc() || ptr != text.data() + text.size() || !(hz > 0) ||
                !(hz <= 10000))
                throw ServeUsage{"--poll-rate must be positive and at most 10000"};
            c.poll_rate_hz = hz;
        } else if (std::string problem; ParsePublishOption(arg, value, c.publish, problem)) {
            if (!problem.empty()) throw ServeUsage{problem};
        } else if (ParseHttpOption(arg, value, c.http, problem)) {
            if (!problem.empty()) throw ServeUsage{problem};
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw ServeUsage{"unknown option " + arg};
        } else {
            throw ServeUsage{"serve takes no operand '" + arg + "'"};
        }
    }
    return o;
}

std::string Describe(const ServiceConfig& c, bool modbus, const HttpView* http) {
    std::string text = "serving " + std::to_string(c.sensors.size()) + " sensors and " +
                       std::to_string(c.channels.size()) + " channels";
    if (c.record_dir) text += "; recording in " + *c.record_dir;
    if (c.publish.url) text += "; publishing to " + *c.publish.url;
    if (c.modbus && modbus)
        text += "; Modbus at " + c.modbus->host + ":" + std::to_string(c.modbus->port);
    if (http) text += "; the page at " + http->Url();
    return text;
}

int Serve(const ServiceConfig& config, bool simulator, CommandLineIo io) {
    StreamLog log(io.err, IsJournalStream(STDERR_FILENO));
    Notify notify(io.clock);
    const LineViewFactory modbus = ModbusViewFactory();
    // The page's feed is made before the service, whose group holds it as a
    // sink; its server is stopped before the service, whose status it reads.
    std::unique_ptr<HttpView> http;
    if (const auto options = HttpOptionsFrom(config)) {
        http = std::make_unique<HttpView>(*options, config);
        std::string warning;
        CheckHttpOptions(*options, warning);
        if (!warning.empty()) log.Say(LogLevel::Warning, warning);
    }
    LineService service(config, log, io.clock, RealPortBackends(), simulator, modbus);
    struct StopPage {
        HttpView* view;
        ~StopPage() {
            if (view) view->Stop();
        }
    } stop_page{http.get()};
    if (http) service.AttachRows(http->Feed());
    auto stopping = [&] { return io.stop_signal && io.stop_signal->load() != 0; };
    if (!service.Start()) {
        service.Stop();
        return stopping() ? kExitOk : kExitNoSensor;
    }
    if (http) {
        if (const std::string reason = http->Start(service); !reason.empty()) {
            log.Say(LogLevel::Error, "the page cannot be served: " + reason);
            service.Stop();
            return kExitNoSensor;
        }
    }
    log.Say(LogLevel::Info, Describe(config, static_cast<bool>(modbus), http.get()));
    notify.Ready(service.Summary());
    int hangups = io.hangups ? io.hangups->load() : 0;
    std::string summary = service.Summary();
    int status = kExitOk;
    while (!stopping()) {
        if (io.hangups && io.hangups->load() != hangups) {
            hangups = io.hangups->load();
            log.Say(LogLevel::Info, "SIGHUP: a new recording file");
            service.NewRecordingFile();
        }
        if (!service.Tick()) {
            status = kExitNoSensor;
            break;
        }
        notify.Watchdog();
        if (std::string now = service.Summary(); now != summary) {
            summary = std::move(now);
            notify.Status(summary);
        }
    }
    notify.Stopping();
    if (http) http->Stop();
    service.Stop();
    return status;
}

}  // namespace

std::optional<std::size_t> ServeCommandAt(const std::vector<std::string>& args) {
    static const char* const kWithValue[] = {"--port",        "--baud",
                                             "--address",     "--trace",
                                             "--config",      "--sensor",
                                             "--channel",     "--limit",
                                             "--record-dir",  "--rotate",
                                             "--keep",        "--modbus",
                                             "--poll-rate",   "--publish",
                                             "--mqtt-qos",    "--mqtt-buffer-seconds",
                                             "--mqtt-cafile", "--mqtt-password-file",
                                             "--http",        "--http-users",
                                             "--http-cert",   "--http-key"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() > 1 && arg[0] == '-') {
            if (std::find(std::begin(kWithValue), std::end(kWithValue), arg) !=
                std::end(kWithValue))
                ++i;
            continue;
        }
        if (arg == "serve") return i;
        return std::nullopt;
    }
    return std::nullopt;
}

int RunServe(const std::vector<std::string>& args, std::size_t at, CommandLineIo io) {
    ServeOptions options;
    try {
        options = ParseServeOptions(args, at);
    } catch (const ServeUsage& e) {
        io.err << "mk27x: " << e.text << "\nTry 'mk27x serve --help'.\n";
        return kExitUsage;
    }
    if (options.help) {
        io.out << ServeHelp();
        return kExitOk;
    }
    if (options.hash_password) return RunHashPassword(std::cin, STDIN_FILENO, io.out, io.err);
    ServiceConfig config;
    if (options.config_file) {
        ConfigError error;
        auto read = ReadServiceConfig(*options.config_file, error);
        if (!read) {
            io.err << "mk27x: " << error.Text() << '\n';
            return kExitUsage;
        }
        config = std::move(*read);
    }
    config = MergeConfig(std::move(config), options.overlay);
    if (const auto error = CheckServiceConfig(config)) {
        io.err << "mk27x: " << error->Text() << '\n';
        return kExitUsage;
    }
    if (config.publish.Any()) {
        std::string error;
        if (!PublishSettingsFrom(config.publish, error)) {
            io.err << "mk27x: " << ConfigError{config.publish_at, error}.Text() << '\n';
            return kExitUsage;
        }
    }
    if (const auto http = HttpOptionsFrom(config)) {
        std::string warning;
        if (const std::string refused = CheckHttpConfig(*http, warning); !refused.empty()) {
            io.err << "mk27x: " << ConfigError{config.http.at, refused}.Text() << '\n';
            return kExitUsage;
        }
    }
    return Serve(config, options.simulator, io);
}

std::string ServeHelp() {
    return R"(Usage: mk27x serve [--config FILE] [OPTIONS]

The line service: a group of MK27x sensors kept running (under systemd, or by
hand until Ctrl-C), its rows recorded to rolling CSV files, published to an
MQTT broker and judged against limits.

  --config FILE     the line's configuration (TOML: [[sensor]], [[channel]],
                    [record], [publish], [modbus], [http]); the options below win
                    over it
  --sensor NAME=PORT[@RATE][#ADDRESS]
  --channel NAME=EXPR
  --poll-rate HZ    as for mk27x monitor
  --limit NAME=LOW..HIGH
                    the limits of a sensor or channel in mm: every row is
                    judged ok, low, high (or none when the value is empty)
  --record-dir DIR  the rows as the CSV of mk27x monitor --csv, in files of
                    DIR named by their first row's UTC time
                    (2026-12-11T10-00-00Z.csv)
  --rotate R        a new file at every wall-clock boundary of a period (15m,
                    1h: on the hour, 1d: at midnight UTC) or at a size (100MB,
                    1GB); default 1h
  --keep K          files older than an age (14d) or beyond a total size
                    (50GB), oldest first, are deleted; default: all kept
  --publish URL     every sensor and channel to an MQTT broker, with
                    --mqtt-qos, --mqtt-buffer-seconds, --mqtt-cafile and
                    --mqtt-password-file as for stream
  --modbus [HOST:]PORT
                    the line's values to Modbus TCP clients (127.0.0.1
                    unless a host is given; 0.0.0.0 serves every network)
  --http [HOST:]PORT
                    the line's page in a browser: every sensor and channel
                    live, a chart, statistics, the recordings to download
                    and the service's status (127.0.0.1 unless a host is
                    given); read-only
  --http-users FILE the page's users, NAME:HASH lines; required on any
                    address but loopback
  --http-cert FILE, --http-key FILE
                    the page over TLS (PEM); required off loopback unless
                    --http-insecure: plain HTTP, warned of at every start
  --hash-password   reads a password from standard input and prints its
                    yescrypt hash for a NAME:HASH line of the users file
  --simulator       every sensor a virtual sensor of its own

SIGHUP starts a new recording file; SIGTERM or SIGINT end the service: the
streams stopped, the files completed, MQTT told "offline". A full disk pauses
the recording (tried again every 10 s) and nothing else. Messages go to
standard error, with their syslog priority when that is the journal.

Exit status: 0 after SIGTERM or SIGINT, 1 when the service cannot start or
run on (a sensor cannot be opened or stops answering, the broker refuses us),
2 on a refused configuration (FILE:LINE: reason, before anything is opened).
)";
}

}  // namespace mk27x
