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
#include "params/commit_rule.h"
#include "params/parameter_entry.h"
#include "params/parameter_table.h"
#include "params/parameter_text.h"
#include "protocol/codec.h"
#include "recording/json_line.h"
#include "recording/recording.h"
#include "recording/sample_file.h"
#include "session/open_session.h"
#include "session/parameter_file.h"
#include "session/session.h"
#include "session/session_tasks.h"
#include "session/statistics_text.h"
#include "transport/port_backends.h"
#include "virtual_line.h"
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

using Assignment = ParameterEntry;

std::vector<Assignment> ParseAssignments(const std::vector<std::string>& operands) {
    if (operands.empty()) throw UsageError{"set needs NAME=TEXT"};
    std::vector<Assignment> list;
    for (const std::string& op : operands) {
        const auto eq = op.find('=');
        if (eq == std::string::npos) throw UsageError{"expected NAME=TEXT, got '" + op + "'"};
        const auto index = ParameterIndexByName(op.substr(0, eq));
        if (!index) throw UsageError{"no parameter named '" + op.substr(0, eq) + "'"};
        list.push_back({*index, op.substr(eq + 1)});
    }
    if (const auto refused = CheckEntryForms(list)) throw RefusedText{refused->reason};
    return list;
}

// The command line's words for a connect that did not connect.
std::string ConnectFailureText(const OpenedSession& opened) {
    if (!opened.simulator_error.empty())
        return "mk27x: cannot start the virtual sensor: " + opened.simulator_error;
    const ConnectResult& c = opened.connect;
    switch (c.outcome) {
        case ConnectOutcome::PortNotOpened:
            return "mk27x: cannot open " + c.port.port_name +
                   (c.port.reason.empty() ? "" : ": " + c.port.reason);
        case ConnectOutcome::NotIdentified:
            return "No answer. Please change parameters.";
        case ConnectOutcome::ReadFailed:
        case ConnectOutcome::OpenedOnly:
        case ConnectOutcome::Connected:
            break;
    }
    return "No answer.";
}

class CommandLine {
public:
    CommandLine(const Options& options, CommandLineIo io)
        // With --json, standard output carries JSON only: notes go to standard error.
        : o_(options), io_(io), notes_(options.json ? io.err : io.out) {}

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
                Error(CsvErrorText());
                return kExitNoSensor;
            }
        }

        if (!Open()) return kExitNoSensor;
        if (csv_) session_->Recording().Attach(*csv_);
        if (o_.command == "backup")
            return BackupCommand(*session_, o_.operands[0], io_.out, io_.err);
        if (o_.command == "clone")
            return CloneCommand(
                *session_, o_.operands[0], io_.out, io_.err, io_.stop_signal,
                [this](int file_model, int sensor_model) {
                    return Ask("The file holds the parameters of a model " +
                               std::to_string(file_model) + " sensor; this sensor is model " +
                               std::to_string(sensor_model) + ". Load them anyway?");
                });
        if (o_.command == "identify") return Identify();
        if (o_.command == "params") return PrintParameters();
        if (o_.command == "set") return Set(assignments);
        if (o_.command == "upload") return Upload(o_.operands[0]);
        if (o_.command == "flash") return Flash();
        if (o_.command == "restore") return Restore();
        if (o_.command == "measure") return Measure();
        if (o_.command == "teach") return Teach();
        return Stream();
    }

private:
    void Note(const std::string& text) { notes_ << text << std::endl; }
    void Error(const std::string& text) { io_.err << text << std::endl; }
    std::string CsvErrorText() const { return "Cannot write file " + *o_.csv + "."; }

    // A question answered on the terminal; taken as yes without one (the
    // command itself was the operator's choice).
    bool Ask(const std::string& question) {
        if (!io_.ask) return true;
        io_.err << question << " [y/N] " << std::flush;
        std::string answer;
        std::getline(*io_.ask, answer);
        return !answer.empty() && (answer[0] == 'y' || answer[0] == 'Y');
    }

    bool Open() {
        SessionOptions options;
        options.port = o_.port;
        if (o_.simulator)
            options.simulator = sim::MakeVirtualLine(std::make_shared<sim::VirtualSensor>());
        options.baud = o_.baud;
        options.address = o_.address;
        options.trace = trace_;
        options.clock = &io_.clock;
        opened_ = OpenSession(options);
        session_ = opened_.session.get();
        if (opened_.ok()) return true;
        Error(ConnectFailureText(opened_));
        return false;
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
        const SetParametersResult r = SetParameters(*session_, assignments);
        switch (r.status) {
            case SetParametersResult::Status::Refused:
                io_.err << "mk27x: " << r.refusal.reason << '\n';
                return kExitUsage;  // nothing was sent
            case SetParametersResult::Status::NoAnswer:
                Error("No answer.");
                return kExitNoSensor;
            case SetParametersResult::Status::Written:
                break;
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
        if (result.result == SensorSession::UploadResult::FileRefused) {
            std::string text = result.refusal.text;
            std::replace(text.begin(), text.end(), '\r', '\n');
            Error(text);
            return kExitUsage;
        }
        const UploadOutcome& upload = *result.upload;
        if (upload.ok()) {
            Note("Calibration table written: " + std::to_string(upload.blocks) + " blocks.");
            return kExitOk;
        }
        if (io_.show_progress) io_.err << '\n';
        Error("Calibration upload failed at block " + std::to_string(upload.failed_block() + 1) +
              " of " + std::to_string(upload.blocks) +
              (upload.result == UploadOutcome::Result::Rejected ? ": refused by the sensor."
                                                                : ": no acknowledgement."));
        return kExitNoSensor;
    }

    int Flash() {
        if (!Ask("Are you sure? Write parameters to FLASH?")) return kExitUsage;
        if (session_->WriteToFlash() != FlashResult::Done) {
            Error("Write to FLASH failed.");
            return kExitNoSensor;
        }
        Note("Parameters written to FLASH.");
        return kExitOk;
    }

    int Restore() {
        if (!Ask("Restore factory parameters in FLASH?")) return kExitUsage;
        switch (session_->RestoreFactorySettings()) {
            case FlashResult::Done:
                Note("Factory parameters restored in FLASH.");
                return kExitOk;
            case FlashResult::NoEcho:
                Error("Restore failed.");
                break;
            case FlashResult::ReadFailed:
                session_->EndLostLink();
                Error("No answer.");
                break;
        }
        return kExitNoSensor;
    }

    // "Teaching complete.", then the parameters the sensor holds afterwards.
    int Teach() {
        if (!session_->Teach()) {
            session_->EndLostLink();
            Error("No answer.");
            return kExitNoSensor;
        }
        Note("Teaching complete.");
        return PrintParameters();
    }

    // A signal asked the command to stop: its number, else 0.
    int Stopping() const { return io_.stop_signal ? io_.stop_signal->load() : 0; }

    // A timed series of --count measurements (see MeasureSeries).
    int Measure() {
        DistancePrinter printer(io_.out, o_.json);
        AttachedSink scope(session_->Recording(), printer);
        switch (MeasureSeries(*session_, io_.clock, *o_.count, false,
                              [this] { return Stopping() != 0 || CsvFailed(); })) {
            case TaskOutcome::NoAnswer:
                Error("No answer.");
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
        Error("No answer.");
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
                Error(FileFailureText(file));
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
        AttachedSink scope(session_->Recording(), printer);
        // --publish: the sensor, unnamed here, goes by its serial number.
        std::unique_ptr<MqttPublisher> publisher;
        std::optional<AttachedSink> publishing;
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
            Error("No answer.");
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
    // Notes: standard output, or standard error when it carries JSON.
    std::ostream& notes_;
    // --csv: created before anything is sent, written as the samples come by
    // its own thread.
    std::unique_ptr<CsvWriter> csv_;
    std::optional<PublishSettings> publish_;
    // Declared before the session, so that it outlives it.
    std::shared_ptr<TraceWriter> trace_;
    OpenedSession opened_;
    SensorSession* session_ = nullptr;
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
