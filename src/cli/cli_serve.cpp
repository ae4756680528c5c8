#include "cli/cli_serve.h"

#include <unistd.h>

#include <iostream>
#include <ostream>

#include "cli/cli_group_options.h"
#include "cli/cli_http.h"
#include "group_simulators.h"
#include "serve/modbus_server.h"
#include "service/line_service.h"
#include "service/notify.h"
#include "service/service_config.h"
#include "transport/port_backends.h"

namespace mk27x {
namespace {

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

// The command's words: the group's options (see cli_group_options.h), given
// into the configuration that overlays the file's, and the service's own, one
// line each.
struct ServeParser {
    GroupCommandLine line{"serve", false};
    ServeOptions o;
    bool http_insecure = false;

    ServeParser() {
        ServiceConfig& c = o.overlay;
        line.Value("--config", [this](const std::string& v) { o.config_file = v; });
        line.Value("--limit", [&c](const std::string& v) {
            c.limits.push_back({ParsedValue(ParseLimitSpec, v), {}});
        });
        line.Value("--record-dir", [&c](const std::string& v) { c.record_dir = v; });
        line.Value("--rotate",
                   [&c](const std::string& v) { c.rotate = ParsedValue(ParseRotate, v); });
        line.Value("--keep", [&c](const std::string& v) { c.keep = ParsedValue(ParseKeep, v); });
        line.Value("--modbus",
                   [&c](const std::string& v) { c.modbus = ParsedValue(ParseListen, v); });
        line.Value("--http",
                   [&c](const std::string& v) { c.http.listen = ParsedValue(ParseListen, v); });
        line.Value("--http-users", [&c](const std::string& v) { c.http.users = v; });
        line.Value("--http-cert", [&c](const std::string& v) { c.http.cert = v; });
        line.Value("--http-key", [&c](const std::string& v) { c.http.key = v; });
        line.Flag("--http-insecure", http_insecure);
        line.Flag("--hash-password", o.hash_password);
    }

    ServeOptions Checked(const std::vector<std::string>& args) {
        const GroupChoice& g = line.Checked(args);
        o.help = g.help;
        o.simulator = g.simulator;
        ServiceConfig& c = o.overlay;
        for (const SensorSpec& spec : g.sensors) c.sensors.push_back({spec, {}});
        for (const ChannelSpec& spec : g.channels) c.channels.push_back({spec, {}});
        c.poll_rate_hz = g.poll_rate_hz;
        c.publish = g.publish;
        if (http_insecure) c.http.insecure = true;
        return o;
    }
};

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
    GroupSimulators simulators;
    LineService::Simulate simulate;
    if (simulator)
        simulate = [&simulators](std::vector<SensorSpec>& specs, std::string& error) {
            if (simulators.Start(specs)) return true;
            error = simulators.Error();
            return false;
        };
    LineService service(config, log, io.clock, RealPortBackends(), simulate, modbus);
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
    return ServeParser().line.CommandAt(args);
}

int RunServe(const std::vector<std::string>& args, std::size_t /*at*/, CommandLineIo io) {
    ServeOptions options;
    try {
        options = ServeParser().Checked(args);
    } catch (const UsageError& e) {
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

A sensor that stops answering, or cannot be opened at the start, is retried
once a second while everything else goes on ("B: No answer; retrying.", then
"B: back after 3.2 s."); its values and the channels over it are empty, its
Modbus state 2 (lost). Another sensor found at its place is refused ("B:
serial 4321 found, 1234 expected").

SIGHUP starts a new recording file; SIGTERM or SIGINT end the service: the
streams stopped, the files completed, MQTT told "offline". A full disk pauses
the recording (tried again every 10 s) and nothing else. Messages go to
standard error, with their syslog priority when that is the journal.

Exit status: 0 after SIGTERM or SIGINT, 1 when the service cannot start or
run on (the recording folder, a port to listen at, the broker refuses us), 2
on a refused configuration (FILE:LINE: reason, before anything is opened).
)";
}

}  // namespace mk27x
