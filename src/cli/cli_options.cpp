#include "cli/cli_options.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <functional>
#include <map>
#include <memory>
#include <sstream>

#include "params/parameter_table.h"

#ifndef MK27X_VERSION
#define MK27X_VERSION "unknown"
#endif

namespace mk27x {
namespace {

constexpr std::size_t kHelpColumn = 27;

std::string BaudRateList() {
    std::string list;
    for (std::size_t i = 0; i < kBaudRates.size(); ++i) {
        if (i > 0) list += i + 1 < kBaudRates.size() ? ", " : " or ";
        list += std::to_string(kBaudRates[i]);
    }
    return list;
}

// A check of an option's value in the program's own words: the text must be a
// number of the option's type, then `problem` says what is wrong with the
// number (nothing when it is fine). Thrown as a UsageError, past CLI11's own
// wording.
template <typename Number>
CLI::Validator Checked(std::string option, std::function<std::string(Number)> problem) {
    return CLI::Validator(
        [option, problem](std::string& text) -> std::string {
            Number n{};
            const char* end = text.data() + text.size();
            const auto [ptr, ec] = std::from_chars(text.data(), end, n);
            if (ec != std::errc() || ptr != end)
                throw UsageError{"invalid value for " + option + ": " + text};
            if (std::string why = problem(n); !why.empty()) throw UsageError{why};
            return {};
        },
        "");
}

// CLI11's layout with the usage line first, and each command shown as it is
// typed ("stream --seconds S").
class HelpFormatter final : public CLI::Formatter {
public:
    std::map<const CLI::App*, std::string> signatures;

    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
        std::ostringstream out;
        out << make_usage(app, name) << '\n' << make_description(app);
        out << make_positionals(app) << make_groups(app, mode) << make_subcommands(app, mode);
        out << '\n' << make_footer(app);
        return out.str();
    }

    std::string make_usage(const CLI::App* app, std::string) const override {
        if (app->get_parent() == nullptr) return "Usage: mk27x [OPTIONS] COMMAND\n";
        return "Usage: mk27x [OPTIONS] " + Signature(app) + "\n";
    }

    std::string make_subcommand(const CLI::App* sub) const override {
        std::ostringstream out;
        CLI::detail::format_help(out, Signature(sub), sub->get_description(), get_column_width());
        return out.str();
    }

    // Options without CLI11's repetition mark ("--port PORT", not "PORT ...").
    std::string make_option_opts(const CLI::Option* opt) const override {
        return opt->get_type_size() == 0 ? std::string() : " " + opt->get_type_name();
    }

private:
    std::string Signature(const CLI::App* app) const {
        const auto it = signatures.find(app);
        return it != signatures.end() ? it->second : app->get_name();
    }
};

struct CommandLineParser {
    CLI::App app{"Talks to one MK27x laser distance sensor.", "mk27x"};
    std::shared_ptr<HelpFormatter> formatter = std::make_shared<HelpFormatter>();
    Options o;
    int address = 1;

    CommandLineParser() {
        formatter->column_width(kHelpColumn);
        app.formatter(formatter);
        // The options of the program may follow the command; what is left over
        // is reported in the words below.
        app.fallthrough();
        app.allow_extras();
        app.set_help_flag("-h,--help", "this text (COMMAND --help: the command's own)");
        app.set_version_flag("--version", std::string("mk27x ") + MK27X_VERSION,
                             "the program's version");
        app.add_option("--port", o.ports,
                       "COM1..COM4 (/dev/ttyS0..3), USB (the first FTDI adapter), a\n"
                       "serial device path, or a network serial server:\n"
                       "tcp://HOST:PORT (raw) or rfc2217://HOST:PORT; default USB")
            ->type_name("PORT")
            ->allow_extra_args(false);
        app.add_option("--baud", o.baud, BaudRateList() + "; default 115200")
            ->type_name("RATE")
            ->check(Checked<std::uint32_t>("--baud", [](std::uint32_t rate) {
                return std::find(kBaudRates.begin(), kBaudRates.end(), rate) != kBaudRates.end()
                           ? std::string()
                           : "--baud must be " + BaudRateList();
            }));
        app.add_option("--address", address, "the sensor's network address, 1 to 127; default 1")
            ->type_name("N")
            ->check(Checked<int>("--address", [](int a) {
                return a >= 1 && a <= 127 ? std::string() : "--address must be 1 to 127";
            }));
        app.add_flag("--json", o.json, "machine-readable output");
        app.add_flag("--simulator", o.simulator,
                     "talk to a virtual sensor served inside this program");
        app.add_option("--trace", o.trace,
                       "write every request and reply to FILE (microseconds,\n"
                       "direction, operation, bytes in hex)")
            ->type_name("FILE");
        app.footer(
            "Exit status: 0 on success, 1 when the port cannot be opened, the sensor does\n"
            "not answer or reports an error (the message on standard error), 2 on a usage\n"
            "error, a refused parameter text or calibration file, or a confirmation\n"
            "answered no.");
        AddCommands();
    }

    CLI::App* Command(const std::string& name, const std::string& signature,
                      const std::string& description) {
        CLI::App* command = app.add_subcommand(name, description);
        command->group("Commands");
        command->allow_extras();
        formatter->signatures[command] = signature;
        return command;
    }

    void Operands(CLI::App* command, const std::string& name) {
        command->add_option(name, o.operands)->type_name("");
    }

    void RecordingOptions(CLI::App* command) {
        command
            ->add_option("--csv", o.csv,
                         "every distance with its time written to FILE as CSV:\n"
                         "index,time,seconds,mm (ISO 8601 UTC time with\n"
                         "microseconds, seconds since the first sample); a\n"
                         "named pipe too. A write that fails ends the\n"
                         "recording (exit 1)")
            ->type_name("FILE");
        command->add_flag("--stats", o.stats,
                          "the statistics at the end: count, mean, standard\n"
                          "deviation, min, max, peak-to-peak, rate and gaps\n"
                          "(--json: {\"statistics\": {...}})");
    }

    // stream: publishing to an MQTT broker. The password is never an option.
    void PublishingOptions(CLI::App* command) {
        command
            ->add_option("--publish", o.publish.url,
                         "publish the samples to an MQTT broker:\n"
                         "mqtt://[USER@]HOST[:PORT]/PREFIX, or mqtts://... for\n"
                         "TLS; topics PREFIX/SERIAL/identity, status, samples,\n"
                         "statistics; the password from MK27X_MQTT_PASSWORD")
            ->type_name("URL");
        command
            ->add_option("--mqtt-password-file", o.publish.password_file,
                         "the password on FILE's first line instead")
            ->type_name("FILE");
        command
            ->add_option("--mqtt-cafile", o.publish.cafile,
                         "the CA certificates of an mqtts broker (default: the\n"
                         "system's)")
            ->type_name("FILE");
        command->add_option("--mqtt-qos", o.publish.qos, "default 1")
            ->type_name("0|1|2")
            ->check(Checked<int>("--mqtt-qos", [](int q) {
                return q >= 0 && q <= 2 ? std::string() : "--mqtt-qos must be 0, 1 or 2";
            }));
        command
            ->add_option("--mqtt-buffer-seconds", o.publish.buffer_seconds,
                         "the samples kept while the broker cannot be\n"
                         "reached, oldest dropped first; default 600")
            ->type_name("S")
            ->check(Checked<double>("--mqtt-buffer-seconds", [](double s) {
                return s > 0 && s <= 1e6
                           ? std::string()
                           : "--mqtt-buffer-seconds must be a number of seconds above 0, at "
                             "most 1000000";
            }));
    }

    void AddCommands() {
        Command("identify", "identify",
                "model, release, serial number, base distance, range\n"
                "(--json: {\"model\": 27, \"release\": 2, \"serial\": 1234,\n"
                " \"base_mm\": 80, \"range_mm\": 50})");
        Command("params", "params",
                "the 20 parameters read from the sensor (--json: a list\n"
                "of {\"index\", \"name\", \"value\", \"text\"})");
        Operands(Command("set", "set NAME=TEXT...",
                         "NAME a parameter name as the window shows it (quote\n"
                         "names with spaces) or its index 0..19; TEXT what an\n"
                         "operator would type in the cell. Every text is checked\n"
                         "before anything is sent; then the writes, 100 ms, and\n"
                         "the parameters read back and printed as by params"),
                 "NAME=TEXT");
        Command("flash", "flash", "the sensor stores its parameters in FLASH");
        Command("restore", "restore",
                "the sensor restores its factory parameters (and the\n"
                "link goes back to 115200 baud, address 1)\n"
                "(both ask for confirmation when standard input is a\n"
                "terminal)");
        Operands(Command("upload", "upload FILE.tbl",
                         "writes a calibration table into the sensor in\n"
                         "acknowledged blocks (progress on a terminal)"),
                 "FILE.tbl");
        CLI::App* measure = Command("measure", "measure --count N",
                                    "N measurements 50 ms apart, one distance (mm) a line\n"
                                    "(--json: {\"mm\": 25.0} a line); --csv FILE, --stats");
        measure->add_option("--count", o.count, "the number of measurements")
            ->type_name("N")
            ->check(Checked<long>("--count", [](long n) {
                return n >= 1 ? std::string() : "--count must be at least 1";
            }));
        RecordingOptions(measure);
        CLI::App* stream = Command("stream", "stream --seconds S",
                                   "the sensor's stream for S seconds, one distance a line,\n"
                                   "then stream stop; --csv FILE, --stats");
        stream->add_option("--seconds", o.seconds, "how long the stream runs")
            ->type_name("S")
            ->check(Checked<double>("--seconds", [](double s) {
                if (!(s > 0)) return std::string("--seconds must be positive");
                // Bounded so that the end time stays far inside the clock's
                // range (infinity or 1e300 would otherwise end the stream at
                // once).
                if (!(s <= 1e6)) return std::string("--seconds must be at most 1000000");
                return std::string();
            }));
        RecordingOptions(stream);
        PublishingOptions(stream);
        Command("teach", "teach",
                "the sensor's teach function; \"Teaching complete.\" on\n"
                "standard error, then the parameters read back and\n"
                "printed as by params");
        Command("search", "search [--full]",
                "look for sensors: address 1 at every rate (--full:\n"
                "addresses 1 to 127) on each --port given (default\n"
                "COM1..COM4 and USB); one line per sensor (--json: an\n"
                "object a line); exit 1 when none answers")
            ->add_flag("--full", o.full, "addresses 1 to 127 instead of 1 alone");
        Operands(Command("backup", "backup FILE.json",
                         "read the sensor's parameters into a parameter file"),
                 "FILE.json");
        Operands(Command("clone", "clone FILE.json",
                         "write a parameter file's set to the sensor as Load\n"
                         "All does, read back, print every parameter that\n"
                         "differs (exit 1 if one does)"),
                 "FILE.json");
        // Listed here for the usage text; its command line is its own.
        Command("monitor", "monitor --sensor NAME=PORT...",
                "several sensors at once on one timeline, with\n"
                "computed channels (monitor --help: its options)");
    }

    // What CLI11 leaves to the program: the arguments nobody took, and the
    // operands and options each command needs.
    void CheckCommand() {
        const auto chosen = app.get_subcommands();
        if (!chosen.empty()) o.command = chosen.front()->get_name();
        for (const std::string& extra : app.remaining(true)) {
            if (extra == "--mqtt-password")
                throw UsageError{std::string("no password on the command line: use ") +
                                 kMqttPasswordVariable + " or --mqtt-password-file"};
            if (extra.size() > 1 && extra[0] == '-') throw UsageError{"unknown option " + extra};
            if (o.command.empty()) throw UsageError{"unknown command '" + extra + "'"};
            throw UsageError{o.command + " takes no operands"};
        }
        if (o.command.empty()) throw UsageError{"no command given"};
        const std::string& c = o.command;
        if (c == "upload" && o.operands.size() != 1) throw UsageError{"upload needs one FILE.tbl"};
        if (c == "measure" && !o.count) throw UsageError{"measure needs --count N"};
        if (c == "stream" && !o.seconds) throw UsageError{"stream needs --seconds S"};
        if ((c == "backup" || c == "clone") && o.operands.size() != 1)
            throw UsageError{c + " needs FILE.json"};
        if (!o.ports.empty()) o.port = o.ports.back();
        o.address = static_cast<std::uint8_t>(address);
    }
};

// The reason for a malformed line: CLI11's own, but an option without its
// value in the program's words.
std::string ParseErrorText(const CLI::ParseError& e) {
    const std::string text = e.what();
    if (e.get_name() == "ArgumentMismatch" && text.rfind("--", 0) == 0)
        return "option " + text.substr(0, text.find(':')) + " needs a value";
    return text;
}

}  // namespace

Options ParseOptions(const std::vector<std::string>& args) {
    CommandLineParser parser;
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        parser.app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        parser.o.answer = parser.app.help();
        return parser.o;
    } catch (const CLI::CallForVersion& e) {
        parser.o.answer = std::string(e.what()) + "\n";
        return parser.o;
    } catch (const CLI::ParseError& e) {
        throw UsageError{ParseErrorText(e)};
    }
    parser.CheckCommand();
    return parser.o;
}

std::string CommandLineHelp() {
    return CommandLineParser().app.help();
}

}  // namespace mk27x
