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

#include "cli/cli_file_failure.h"
#include "cli/cli_files.h"
#include "cli/cli_monitor.h"
#include "cli/cli_options.h"
#include "cli/cli_publish.h"
#include "cli/cli_serve.h"
#include "link/codec.h"
#include "link/json_line.h"
#include "link/port_backends.h"
#include "link/recording.h"
#include "link/sample_file.h"
#include "params/commit_rule.h"
#include "params/parameter_entry.h"
#include "params/parameter_table.h"
#include "params/parameter_text.h"
#include "pty_server.h"
#include "session/parameter_file.h"
#include "session/session.h"
#include "session/session_tasks.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

// A parameter text that does not convert: refused with the conversion error.
struct RefusedText {
    std::string text;
};

// The double nearest a distance's three-decimal text; written back as JSON with
// the fewest digits that read as it ("62.500" as 62.5).
double DistanceNumber(float mm) {
    const std::string text = DistanceText(mm);
    double n = 0;
    std::from_chars(text.data(), text.data() + text.size(), n);
    return n;
}

std::string DistanceLine(float mm, bool json) {
    return json ? JsonLine({{"mm", DistanceNumber(mm)}}) : DistanceText(mm);
}

// Prints every distance of the recording, one line each, and counts them.
class DistancePrinter final : public RecordingSink {
public:
    DistancePrinter(std::ostream& out, bool json) : out_(out), json_(json) {}
    void Add(std::span<const RecordedSample> samples) override {
        for (const RecordedSample& s : samples) out_ << DistanceLine(s.mm, json_) << '\n';
        printed_ += samples.size();
    }
    void End() override { out_.flush(); }
    void Flush() override { out_.flush(); }
    std::size_t Printed() const { return printed_; }

private:
    std::ostream& out_;
    bool json_;
    std::size_t printed_ = 0;
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
        if (o_.publish.Any()) {
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
            case ConnectOutcome::PortNotOpened:
                if (const std::string& reason = session_->LastPortOpen().reason; !reason.empty())
                    io_.err << "mk27x: " << reason << '\n';
                return false;
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
            io_.out << JsonLine(IdentityJson(id)) << '\n';
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
                io_.out << "  "
                        << JsonLine({{"index", i},
                                     {"name", name},
                                     {"value", values[k]},
                                     {"text", texts[k]}})
                        << (i + 1 < kParameterCount ? ",\n" : "\n");
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
                              [this] { return Stopping() != 0 || CsvFailed(); })) {
            case TaskOutcome::NoAnswer:
                Finish();
                return kExitNoSensor;
            case TaskOutcome::Done:
            case TaskOutcome::Stopped:
                break;
        }
        return Finish() && Answered(printer) ? kExitOk : kExitNoSensor;
    }

    // A recording that ran its course without a single sample is the sensor's
    // silence, not an empty result: "No answer." as the watchdog says it.
    bool Answered(const DistancePrinter& printer) {
        if (printer.Printed() > 0 || Stopping()) return true;
        ShowMessage({kNoAnswerText, kLinkCaption, MB_OK | MB_ICONSTOP});
        return false;
    }

    // The CSV file's writer gave up: the recording ends.
    bool CsvFailed() const { return csv_ && !csv_->Ok(); }

    // The end of a recording: the CSV file completed and the statistics when
    // asked for; false when the file could not be written (why, on standard
    // error).
    bool Finish() {
        io_.out.flush();
        bool ok = true;
        if (csv_) {
            session_->Recording().Detach(*csv_);
            const FileStatus file = csv_->Close();
            if (!file.Ok()) {
                io_.err << FileFailureText(file) << '\n';
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
        while (!Stopping() && !(publisher && publisher->Refused()) && !CsvFailed() &&
               stream.Step() == TimedStream::State::Running) {
            if (publisher) ReportPublishEvents(publisher->TakeEvents(), io_.err);
        }
        if (stream.Current() == TimedStream::State::Lost) {
            Finish();
            return finish_publishing(kExitNoSensor);
        }
        stream.Stop();
        const bool finished = Finish();
        const bool refused = publisher && publisher->Refused();  // the broker's word instead
        return finish_publishing(finished && (refused || Answered(printer)) ? kExitOk
                                                                            : kExitNoSensor);
    }

    const Options& o_;
    CommandLineIo io_;
    StreamMessageBox messages_;
    // --csv: created before anything is sent, written as the samples come by
    // its own thread.
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
    return JsonLine(DistanceNumber(mm));
}

int RunCommandLine(const std::vector<std::string>& args, CommandLineIo io) {
    if (const auto at = MonitorCommandAt(args)) return RunMonitor(args, *at, io);
    if (const auto at = ServeCommandAt(args)) return RunServe(args, *at, io);
    try {
        const Options options = ParseOptions(args);
        if (options.answer) {
            io.out << *options.answer;
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
