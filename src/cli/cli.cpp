#include "cli/cli.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <sstream>

#include "cli/cli_files.h"
#include "cli/cli_monitor.h"
#include "cli/cli_publish.h"
#include "link/codec.h"
#include "link/port_backends.h"
#include "link/recording.h"
#include "link/sample_file.h"
#include "params/parameter_entry.h"
#include "params/commit_rule.h"
#include "params/parameter_table.h"
#include "params/parameter_text.h"
#include "pty_server.h"
#include "session/parameter_file.h"
#include "session/session.h"
#include "session/session_tasks.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

constexpr std::uint32_t kRates[] = {9600, 115200, 230400, 460800, 921600};

struct UsageError {
    std::string text;
};

// A parameter text that does not convert: refused with the conversion error.
struct RefusedText {
    std::string text;
};

struct Options {
    std::string port = "USB";
    std::uint32_t baud = 115200;
    std::uint8_t address = 1;
    bool json = false;
    bool simulator = false;
    bool help = false;
    std::string command;
    std::vector<std::string> operands;
    std::optional<long> count;
    std::optional<double> seconds;
    // search, backup, clone, --trace
    std::vector<std::string> ports;
    bool full = false;
    std::string trace;
    std::optional<std::string> csv;
    bool stats = false;
    PublishOptions publish;
};

template <typename Number>
Number ParseNumber(const std::string& text, const std::string& option) {
    Number n{};
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (ec != std::errc() || ptr != end)
        throw UsageError{"invalid value for " + option + ": " + text};
    return n;
}

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw UsageError{"option " + arg + " needs a value"};
            return args[++i];
        };
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--stats") {
            o.stats = true;
        } else if (arg == "--csv") {
            o.csv = value();
        } else if (arg == "--simulator") {
            o.simulator = true;
        } else if (arg == "--port") {
            o.port = value();
            o.ports.push_back(o.port);
        } else if (arg == "--full") {
            o.full = true;
        } else if (arg == "--trace") {
            o.trace = value();
        } else if (arg == "--baud") {
            o.baud = ParseNumber<std::uint32_t>(value(), arg);
            if (std::find(std::begin(kRates), std::end(kRates), o.baud) == std::end(kRates))
                throw UsageError{"--baud must be 9600, 115200, 230400, 460800 or 921600"};
        } else if (arg == "--address") {
            const int a = ParseNumber<int>(value(), arg);
            if (a < 1 || a > 127) throw UsageError{"--address must be 1 to 127"};
            o.address = static_cast<std::uint8_t>(a);
        } else if (arg == "--count") {
            o.count = ParseNumber<long>(value(), arg);
            if (*o.count < 1) throw UsageError{"--count must be at least 1"};
        } else if (arg == "--seconds") {
            o.seconds = ParseNumber<double>(value(), arg);
            if (!(*o.seconds > 0)) throw UsageError{"--seconds must be positive"};
            // Bounded so that the end time stays far inside the clock's range
            // (infinity or 1e300 would otherwise end the stream at once).
            if (!(*o.seconds <= 1e6)) throw UsageError{"--seconds must be at most 1000000"};
        } else if (std::string error; ParsePublishOption(arg, value, o.publish, error)) {
            if (!error.empty()) throw UsageError{error};
        } else if (arg.size() > 1 && arg[0] == '-' && o.command != "set") {
            throw UsageError{"unknown option " + arg};
        } else if (o.command.empty()) {
            o.command = arg;
        } else {
            o.operands.push_back(arg);
        }
    }
    return o;
}

std::string DistanceLine(float mm, bool json) {
    return json ? "{\"mm\": " + JsonDistance(mm) + "}" : DistanceText(mm);
}

// Prints every distance of the recording, one line each.
class DistancePrinter final : public RecordingSink {
public:
    DistancePrinter(std::ostream& out, bool json) : out_(out), json_(json) {}
    void Add(std::span<const RecordedSample> samples) override {
        for (const RecordedSample& s : samples) out_ << DistanceLine(s.mm, json_) << '\n';
    }
    void End() override { out_.flush(); }
    void Flush() override { out_.flush(); }

private:
    std::ostream& out_;
    bool json_;
};

// A sink attached for the life of a scope.
class RecordingScope {
public:
    RecordingScope(Recording& recording, RecordingSink& sink) : recording_(recording), sink_(sink) {
        recording_.Attach(sink_);
    }
    ~RecordingScope() { recording_.Detach(sink_); }
    RecordingScope(const RecordingScope&) = delete;
    RecordingScope& operator=(const RecordingScope&) = delete;

private:
    Recording& recording_;
    RecordingSink& sink_;
};

using Assignment = ParameterEntry;

std::vector<Assignment> ParseAssignments(const std::vector<std::string>& operands) {
    if (operands.empty()) throw UsageError{"set needs NAME=TEXT"};
    std::vector<Assignment> list;
    for (const std::string& op : operands) {
        const auto eq = op.find('=');
        if (eq == std::string::npos) throw UsageError{"expected NAME=TEXT, got '" + op + "'"};
        const auto index = ParameterIndexByName(op.substr(0, eq));
        if (!index) throw UsageError{"no parameter named '" + op.substr(0, eq) + "'"};
        const std::string text = op.substr(eq + 1);
        if (std::string error = EntryFormError(*index, text); !error.empty())
            throw RefusedText{error};
        list.push_back({*index, text});
    }
    return list;
}

class CommandLine {
public:
    CommandLine(const Options& options, CommandLineIo io)
        // With --json, standard output carries JSON only: notes go to standard error.
        : o_(options), io_(io), messages_(options.json ? io.err : io.out, io.err, io.ask) {}

    int Run() {
        if (o_.command == "identify" || o_.command == "params" || o_.command == "set" ||
            o_.command == "flash" || o_.command == "restore" || o_.command == "teach") {
            if (o_.command != "set" && !o_.operands.empty())
                throw UsageError{o_.command + " takes no operands"};
        } else if (o_.command == "upload") {
            if (o_.operands.size() != 1) throw UsageError{"upload needs one FILE.tbl"};
        } else if (o_.command == "measure") {
            if (!o_.count) throw UsageError{"measure needs --count N"};
        } else if (o_.command == "stream") {
            if (!o_.seconds) throw UsageError{"stream needs --seconds S"};
        } else if (o_.command == "search") {
            if (!o_.operands.empty()) throw UsageError{"search takes no operands"};
        } else if (o_.command == "backup" || o_.command == "clone") {
            if (o_.operands.size() != 1) throw UsageError{o_.command + " needs FILE.json"};
        } else {
            throw UsageError{o_.command.empty() ? "no command given"
                                                : "unknown command '" + o_.command + "'"};
        }
        if ((o_.csv || o_.stats) && o_.command != "measure" && o_.command != "stream")
            throw UsageError{"--csv and --stats go with measure and stream"};
        if (o_.publish.Any()) {
            if (o_.command != "stream") throw UsageError{"--publish goes with stream"};
            std::string error;
            publish_ = PublishSettingsFrom(o_.publish, error);
            if (!publish_) throw UsageError{error};
        }
        // Texts are checked for their form before anything is sent.
        std::vector<Assignment> assignments;
        if (o_.command == "set") assignments = ParseAssignments(o_.operands);

        if (!o_.trace.empty()) {
            trace_ = TraceWriter::OpenFile(o_.trace);
            if (!trace_) throw UsageError{"cannot write the trace file " + o_.trace};
        }
        if (o_.command == "search")
            return SearchCommand(o_.ports, o_.full, o_.json, io_.out, io_.err, io_.clock, trace_,
                                 io_.stop_signal);
        if (o_.csv) {
            csv_ = std::make_unique<CsvWriter>(*o_.csv);
            if (!csv_->Ok()) {
                ShowMessage(SampleFileErrorMessage(*o_.csv));
                return kExitNoSensor;
            }
        }

        if (!OpenSession()) return kExitNoSensor;
        if (csv_) session_->Recording().Attach(*csv_);
        if (o_.command == "backup")
            return BackupCommand(*session_, o_.operands[0], io_.out, io_.err);
        if (o_.command == "clone")
            return CloneCommand(*session_, o_.operands[0], io_.out, io_.err, io_.stop_signal);
        if (o_.command == "identify") return Identify();
        if (o_.command == "params") return PrintParameters();
        if (o_.command == "set") return Set(assignments);
        if (o_.command == "upload") return Upload(o_.operands[0]);
        if (o_.command == "flash") return Outcome(session_->WriteToFlash());
        if (o_.command == "restore") return Outcome(session_->RestoreFactorySettings());
        if (o_.command == "measure") return Measure();
        if (o_.command == "teach") return Teach();
        return Stream();
    }

private:
    void ShowMessage(const OperatorMessage& m) { messages_.Show(m.text, m.caption, m.flags); }

    bool OpenSession() {
        std::string port = o_.port;
        if (o_.simulator) {
            simulator_ =
                std::make_unique<sim::PtySensorServer>(std::make_shared<sim::VirtualSensor>());
            if (!simulator_->Start()) {
                io_.err << "mk27x: cannot start the virtual sensor: " << simulator_->Error()
                        << '\n';
                return false;
            }
            port = simulator_->SlavePath();
        }
        PortBackends backends = RealPortBackends();
        if (trace_) backends = TracedBackends(std::move(backends), trace_);
        session_ = std::make_unique<SensorSession>(messages_, io_.clock, std::move(backends));
        session_->SetPortName(port);
        session_->SetBaudRate(o_.baud);
        session_->SetAddress(o_.address);
        session_->Start();
        switch (session_->Connect()) {
            case ConnectOutcome::Connected:
                return true;
            case ConnectOutcome::ReadFailed:
                // The window's watchdog would end the attempt within a second;
                // nothing else can happen meanwhile, so it is asked at once.
                session_->WatchdogTick();
                return false;
            default:
                return false;  // the session has shown why
        }
    }

    int Identify() {
        const SensorIdentity& id = session_->Identity();
        if (o_.json) {
            io_.out << "{\"model\": " << +id.Model << ", \"release\": " << +id.Release
                    << ", \"serial\": " << id.SerialNumber << ", \"base_mm\": " << id.BaseDistance
                    << ", \"range_mm\": " << id.MeasuringRange << "}\n";
        } else {
            io_.out << "Model: " << +id.Model << "\nRelease: " << +id.Release
                    << "\nSerial number: " << id.SerialNumber
                    << "\nBase distance: " << id.BaseDistance
                    << " mm\nMeasuring range: " << id.MeasuringRange << " mm\n";
        }
        return kExitOk;
    }

    int PrintParameters() {
        const ParameterSet& values = session_->Values();
        const auto texts = ParameterTexts(values, session_->Identity().SignedRange());
        if (o_.json) io_.out << "[\n";
        for (int i = 0; i < kParameterCount; ++i) {
            const auto k = static_cast<std::size_t>(i);
            const std::string_view name = ParameterTable[k].name;
            if (o_.json) {
                io_.out << "  {\"index\": " << i << ", \"name\": " << JsonQuoted(name)
                        << ", \"value\": " << values[k] << ", \"text\": " << JsonQuoted(texts[k])
                        << "}" << (i + 1 < kParameterCount ? ",\n" : "\n");
            } else {
                char line[96];
                std::snprintf(line, sizeof line, "%2d  %-30.*s %s\n", i,
                              static_cast<int>(name.size()), name.data(), texts[k].c_str());
                io_.out << line;
            }
        }
        if (o_.json) io_.out << "]\n";
        return kExitOk;
    }

    int Set(const std::vector<Assignment>& assignments) {
        std::vector<int> indexes;
        if (const auto refused = StoreParameterEntries(
                assignments, session_->Values(), session_->Identity().SignedRange(), indexes)) {
            io_.err << "mk27x: " << refused->reason << '\n';
            return kExitUsage;  // nothing is sent
        }
        if (!session_->WriteParameters(indexes)) {
            session_->WatchdogTick();  // the read-back failed: "No answer."
            return kExitNoSensor;
        }
        return PrintParameters();
    }

    int Upload(const std::string& path) {
        auto progress = [this](int done, int blocks) {
            if (io_.show_progress)
                io_.err << "\rblock " << done << " of " << blocks << (done == blocks ? "\n" : "")
                        << std::flush;
        };
        int written = 0;
        int total = 0;
        auto counting = [&](int done, int blocks) {
            written = done;
            total = blocks;
            progress(done, blocks);
        };
        const auto result =
            session_->UploadCalibration(path, counting, [this] { return Stopping() != 0; });
        if (Stopping()) {
            if (io_.show_progress) io_.err << '\n';
            io_.err << "mk27x: upload stopped: " << written << " of " << total
                    << " blocks written\n";
            return kExitNoSensor;
        }
        switch (result) {
            case SensorSession::UploadResult::Written:
                return kExitOk;
            case SensorSession::UploadResult::FileRefused:
                return kExitUsage;
            case SensorSession::UploadResult::Failed:
                break;
        }
        if (io_.show_progress) io_.err << '\n';
        return kExitNoSensor;
    }

    static int Outcome(SensorSession::FlashOutcome outcome) {
        switch (outcome) {
            case SensorSession::FlashOutcome::Done:
                return kExitOk;
            case SensorSession::FlashOutcome::Cancelled:
                return kExitUsage;
            case SensorSession::FlashOutcome::Failed:
                break;
        }
        return kExitNoSensor;
    }

    // "Teaching complete." as the window's message, then the parameters the
    // sensor holds afterwards.
    int Teach() {
        if (!session_->Teach()) {
            session_->WatchdogTick();  // the read-back failed: "No answer."
            return kExitNoSensor;
        }
        return PrintParameters();
    }

    // A signal asked the command to stop: its number, else 0.
    int Stopping() const { return io_.stop_signal ? io_.stop_signal->load() : 0; }

    // A timed series of --count measurements (see MeasureSeries).
    int Measure() {
        DistancePrinter printer(io_.out, o_.json);
        RecordingScope scope(session_->Recording(), printer);
        switch (MeasureSeries(*session_, io_.clock, *o_.count, false,
                              [this] { return Stopping() != 0; })) {
            case TaskOutcome::NoAnswer:
                Finish();
                return kExitNoSensor;
            case TaskOutcome::Done:
            case TaskOutcome::Stopped:
                break;
        }
        return Finish() ? kExitOk : kExitNoSensor;
    }

    // The end of a recording: the CSV file completed and the statistics when
    // asked for; false when the file could not be written (the sample file's
    // message).
    bool Finish() {
        io_.out.flush();
        bool ok = true;
        if (csv_) {
            session_->Recording().Detach(*csv_);
            csv_->Flush();
            if (!csv_->Ok()) {
                ShowMessage(SampleFileErrorMessage(*o_.csv));
                ok = false;
            }
        }
        if (o_.stats) {
            const SampleStatistics stats = session_->Statistics();
            if (o_.json) {
                io_.out << "{\"statistics\": " << StatisticsJson(stats) << "}\n";
            } else {
                std::string text = StatisticsText(stats);
                std::replace(text.begin(), text.end(), '\r', '\n');
                io_.out << text << '\n';
            }
        }
        io_.out.flush();
        return ok;
    }

    // The stream for --seconds: the session's watchdog every kWatchdogPeriodMs,
    // as the window's timer calls it, and the recording handed to its files as
    // often.
    int Stream() {
        DistancePrinter printer(io_.out, o_.json);
        RecordingScope scope(session_->Recording(), printer);
        // --publish: the sensor, unnamed here, goes by its serial number.
        std::unique_ptr<MqttPublisher> publisher;
        std::optional<RecordingScope> publishing;
        if (publish_) {
            publisher = std::make_unique<MqttPublisher>(*publish_);
            publishing.emplace(session_->Recording(), publisher->AddSensor("", session_->Identity(),
                                                                           session_->PortName()));
            publisher->Start();
        }
        auto finish_publishing = [&](int status) {
            return publisher ? FinishPublishing(*publisher, io_.err, status) : status;
        };
        TimedStream stream(*session_, io_.clock, *o_.seconds);
        stream.Start();
        // Short slices, so that a signal is answered at once.
        while (!Stopping() && !(publisher && publisher->Refused()) &&
               stream.Step() == TimedStream::State::Running) {
        }
        if (stream.Current() == TimedStream::State::Lost) {
            Finish();
            return finish_publishing(kExitNoSensor);
        }
        stream.Stop();
        return finish_publishing(Finish() ? kExitOk : kExitNoSensor);
    }

    const Options& o_;
    CommandLineIo io_;
    StreamMessageBox messages_;
    // --csv: created before anything is sent, written as the samples come.
    std::unique_ptr<CsvWriter> csv_;
    std::optional<PublishSettings> publish_;
    // Declared before the session, so that they outlive it.
    std::shared_ptr<TraceWriter> trace_;
    std::unique_ptr<sim::PtySensorServer> simulator_;
    std::unique_ptr<SensorSession> session_;
};

}  // namespace

int StreamMessageBox::Show(const std::string& text, const std::string&, unsigned flags) {
    std::string line = text;
    std::replace(line.begin(), line.end(), '\r', '\n');
    if ((flags & 0x0F) == MB_OKCANCEL) {
        if (!ask_) return IDOK;
        err_ << line << " [y/N] " << std::flush;
        std::string answer;
        std::getline(*ask_, answer);
        return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y') ? IDOK : IDCANCEL;
    }
    (flags == MB_OK ? out_ : err_) << line << std::endl;
    return IDOK;
}

std::string JsonDistance(float mm) {
    std::string text = DistanceText(mm);
    while (text.size() > 1 && text.back() == '0' && text[text.size() - 2] != '.') text.pop_back();
    return text;
}

std::string CommandLineHelp() {
    return R"(Usage: mk27x [OPTIONS] COMMAND

Talks to one MK27x laser distance sensor.

Options:
  --port PORT     COM1..COM4 (/dev/ttyS0..3), USB (the first FTDI adapter), a
                  serial device path, or a network serial server:
                  tcp://HOST:PORT (raw) or rfc2217://HOST:PORT; default USB
  --baud RATE     9600, 115200, 230400, 460800 or 921600; default 115200
  --address N     the sensor's network address, 1 to 127; default 1
  --json          machine-readable output
  --simulator     talk to a virtual sensor served inside this program
  --trace FILE    write every request and reply to FILE (microseconds,
                  direction, operation, bytes in hex)
  -h, --help      this text

Commands:
  identify                 model, release, serial number, base distance, range
                           (--json: {"model": 27, "release": 2, "serial": 1234,
                            "base_mm": 80, "range_mm": 50})
  params                   the 20 parameters read from the sensor (--json: a list
                           of {"index", "name", "value", "text"})
  set NAME=TEXT...         NAME a parameter name as the window shows it (quote
                           names with spaces) or its index 0..19; TEXT what an
                           operator would type in the cell. Every text is checked
                           before anything is sent; then the writes, 100 ms, and
                           the parameters read back and printed as by params
  flash                    the sensor stores its parameters in FLASH
  restore                  the sensor restores its factory parameters (and the
                           link goes back to 115200 baud, address 1)
                           (both ask for confirmation when standard input is a
                           terminal)
  upload FILE.tbl          writes a calibration table into the sensor in
                           acknowledged blocks (progress on a terminal)
  measure --count N        N measurements 50 ms apart, one distance (mm) a line
                           (--json: {"mm": 25.0} a line)
  stream --seconds S       the sensor's stream for S seconds, one distance a line,
                           then stream stop
  teach                    the sensor's teach function; "Teaching complete." on
                           standard error, then the parameters read back and
                           printed as by params
  search [--full]          look for sensors: address 1 at every rate (--full:
                           addresses 1 to 127) on each --port given (default
                           COM1..COM4 and USB); one line per sensor (--json: an
                           object a line); exit 1 when none answers
  backup FILE.json         read the sensor's parameters into a parameter file
  clone FILE.json          write a parameter file's set to the sensor as Load
                           All does, read back, print every parameter that
                           differs (exit 1 if one does)
  monitor --sensor NAME=PORT[@RATE][#ADDRESS]... [--channel NAME=EXPR]...
                           several sensors at once on one timeline, with
                           computed channels (mk27x monitor --help)
    measure and stream also take:
    --csv FILE             every distance with its time written to FILE as CSV:
                           index,time,seconds,mm (ISO 8601 UTC time with
                           microseconds, seconds since the first sample)
    --stats                the statistics at the end: count, mean, standard
                           deviation, min, max, peak-to-peak, rate and gaps
                           (--json: {"statistics": {...}})
    stream also takes:
    --publish URL          publish the samples to an MQTT broker:
                           mqtt://[USER@]HOST[:PORT]/PREFIX, or mqtts://... for
                           TLS; topics PREFIX/SERIAL/identity, status, samples,
                           statistics; the password from MK27X_MQTT_PASSWORD
    --mqtt-password-file FILE   the password on FILE's first line instead
    --mqtt-cafile FILE     the CA certificates of an mqtts broker (default: the
                           system's)
    --mqtt-qos 0|1|2       default 1
    --mqtt-buffer-seconds S   the samples kept while the broker cannot be
                           reached, oldest dropped first; default 600
                           A summary goes to standard error at the end; a
                           broker refusing the connection ends the stream with
                           status 1.

Exit status: 0 on success, 1 when the port cannot be opened, the sensor does
not answer or reports an error (the message on standard error), 2 on a usage
error, a refused parameter text or calibration file, or a confirmation
answered no.
)";
}

int RunCommandLine(const std::vector<std::string>& args, CommandLineIo io) {
    if (const auto at = MonitorCommandAt(args)) return RunMonitor(args, *at, io);
    try {
        const Options options = ParseOptions(args);
        if (options.help) {
            io.out << CommandLineHelp();
            return kExitOk;
        }
        const int status = CommandLine(options, io).Run();
        const int signal = io.stop_signal ? io.stop_signal->load() : 0;
        return signal != 0 ? SignalExitStatus(signal) : status;
    } catch (const RefusedText& e) {
        io.err << "mk27x: " << e.text << '\n';
        return kExitUsage;
    } catch (const UsageError& e) {
        io.err << "mk27x: " << e.text << "\nTry 'mk27x --help'.\n";
        return kExitUsage;
    }
}

}  // namespace mk27x
