#include "cli/cli_monitor.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <ostream>

#include "cli/cli_file_failure.h"
#include "cli/cli_group_options.h"
#include "cli/cli_publish.h"
#include "group/group_run.h"
#include "group/group_sinks.h"
#include "group/sensor_group.h"
#include "group_simulators.h"
#include "publish/group_publishing.h"
#include "recording/sample_file.h"
#include "session/statistics_text.h"
#include "transport/port_backends.h"

namespace mk27x {
namespace {

// An expression refused by the parser: its message, without the usage hint.
struct RefusedChannel {
    std::string text;
};

struct MonitorOptions {
    std::vector<SensorSpec> sensors;
    std::vector<ChannelSpec> channels;
    std::optional<double> seconds;
    std::optional<std::string> csv;
    bool stats = false;
    bool json = false;
    bool simulator = false;
    bool help = false;
    double poll_rate_hz = GroupOptions{}.poll_rate_hz;
    PublishOptions publish;
    std::optional<PublishSettings> publish_settings;
};

// The command's words: the group's options (see cli_group_options.h) and its
// own, checked before anything is opened.
struct MonitorParser {
    GroupCommandLine line{"monitor", true};
    MonitorOptions o;

    MonitorParser() {
        line.Flag("--stats", o.stats);
        line.Value("--seconds", [this](const std::string& v) {
            o.seconds = NumberValue(v, "--seconds");
            if (!(*o.seconds > 0) || !(*o.seconds <= 1e6))
                throw UsageError{"--seconds must be positive and at most 1000000"};
        });
        line.Value("--csv", [this](const std::string& v) { o.csv = v; });
    }

    MonitorOptions Checked(const std::vector<std::string>& args) {
        const GroupChoice& g = line.Checked(args);
        o.help = g.help;
        if (o.help) return o;
        o.sensors = g.sensors;
        o.channels = g.channels;
        o.poll_rate_hz = g.poll_rate_hz.value_or(o.poll_rate_hz);
        o.publish = g.publish;
        o.json = g.json;
        o.simulator = g.simulator;
        if (const std::string problem = CheckGroup(o.sensors, o.channels); !problem.empty())
            throw UsageError{problem};
        if (o.publish.Any()) {
            std::string error;
            o.publish_settings = PublishSettingsFrom(o.publish, error);
            if (!o.publish_settings) throw UsageError{error};
        }
        return o;
    }
};

// Every expression compiled over the sensors' names; the first refused one
// ends the command before anything is sent.
std::vector<std::unique_ptr<Channel>> CompileChannels(const MonitorOptions& o) {
    std::vector<std::string> names;
    for (const SensorSpec& s : o.sensors) names.push_back(s.name);
    std::vector<std::unique_ptr<Channel>> channels;
    for (const ChannelSpec& spec : o.channels) {
        ChannelError error;
        auto channel = Channel::Compile(spec, names, error);
        if (!channel) throw RefusedChannel{ChannelErrorText(spec, error)};
        channels.push_back(std::move(channel));
    }
    return channels;
}

class Monitor {
public:
    Monitor(MonitorOptions options, CommandLineIo io)
        : o_(std::move(options)), io_(io), printer_(io.out, o_.json) {}

    int Run() {
        auto channels = CompileChannels(o_);
        std::vector<std::string> columns;
        for (const SensorSpec& s : o_.sensors) columns.push_back(s.name);
        for (const ChannelSpec& c : o_.channels) columns.push_back(c.name);
        if (o_.csv) {
            csv_ = std::make_unique<GroupCsvWriter>(*o_.csv, columns);
            if (!csv_->Ok()) {
                io_.err << "Cannot write file " << *o_.csv << ".\n";
                return kExitNoSensor;
            }
        }
        if (o_.simulator && !simulators_.Start(o_.sensors)) {
            io_.err << "mk27x: cannot start the virtual sensor: " << simulators_.Error() << '\n';
            return kExitNoSensor;
        }

        GroupOptions options;
        options.poll_rate_hz = o_.poll_rate_hz;
        group_ = std::make_unique<SensorGroup>(io_.clock, RealPortBackends(), o_.sensors,
                                               std::move(channels), options);
        const auto outcomes = group_->Connect();
        bool all = true;
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const ConnectResult& c = outcomes[i];
            if (c.ok()) continue;
            all = false;
            io_.err << o_.sensors[i].name << ": " << ConnectFailureText(c) << '\n';
        }
        if (!all) return kExitNoSensor;
        if (Stopping()) return kExitOk;
        Describe();

        group_->Aligner().Attach(printer_);
        if (csv_) group_->Aligner().Attach(*csv_);
        group_->Aligner().Attach(statistics_);
        run_ = std::make_unique<GroupRun>(*group_, io_.clock);
        // --publish: every sensor's recording under its name, every channel's
        // values from the rows; a refusing broker ends the run.
        if (o_.publish_settings) {
            publishing_ = std::make_unique<GroupPublishing>(*group_, *o_.publish_settings);
            run_->SetHook(publishing_.get());
        }
        run_->Start();
        Watch();
        run_->Stop();
        Tell(run_->TakeEvents());
        bool lost = false;
        for (std::size_t i = 0; i < group_->Size(); ++i) {
            if (run_->Status(i).state != SensorState::Lost) continue;
            io_.err << group_->Spec(i).name << ": still no answer at the end.\n";
            lost = true;
        }
        const bool written = Finish();
        const int status = lost || !written ? kExitNoSensor : kExitOk;
        return publishing_ ? ReportPublishing(publishing_->Finish(), io_.err, status) : status;
    }

private:
    int Stopping() const { return io_.stop_signal ? io_.stop_signal->load() : 0; }

    // Which sensors stream and which are polled, on standard error.
    void Describe() {
        for (std::size_t i = 0; i < group_->Size(); ++i) {
            const SensorSpec& s = group_->Spec(i);
            io_.err << s.name << ": serial number " << group_->Session(i).Identity().SerialNumber
                    << ", " << s.port << " at " << s.baud << " baud, address " << +s.address
                    << (group_->Mode(i) == SensorMode::Stream
                            ? ", streaming"
                            : ", polled " + FixedNumber(o_.poll_rate_hz, 1) + " times a second")
                    << '\n';
        }
    }

    // Until the time is up, a signal comes or the publisher ends the run.
    void Watch() {
        const auto start = io_.clock.Now();
        const auto end = o_.seconds ? start + std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                  std::chrono::duration<double>(*o_.seconds))
                                    : std::chrono::steady_clock::time_point::max();
        constexpr long long kSliceMs = 50;
        while (!Stopping() && !(csv_ && !csv_->Ok()) && io_.clock.Now() < end) {
            const auto left =
                o_.seconds
                    ? std::chrono::ceil<std::chrono::milliseconds>(end - io_.clock.Now()).count()
                    : kSliceMs;
            io_.clock.Sleep(static_cast<unsigned>(std::clamp<long long>(left, 1, kSliceMs)));
            if (run_->Tick() == GroupRun::Step::Ended) return;
            Tell(run_->TakeEvents());
            if (publishing_) ReportPublishEvents(publishing_->TakeEvents(), io_.err);
        }
    }

    // What happened to the sensors, on standard error.
    void Tell(const std::vector<GroupEvent>& events) {
        for (const GroupEvent& e : events)
            io_.err << GroupEventText(group_->Spec(e.sensor).name, e) << '\n';
        io_.err.flush();
    }

    bool Finish() {
        io_.out.flush();
        bool ok = true;
        if (csv_) {
            if (group_) group_->Aligner().Detach(*csv_);
            const FileStatus file = csv_->Close();
            if (!file.Ok()) {
                io_.err << FileFailureText(file) << '\n';
                ok = false;
            }
        }
        if (o_.stats) {
            if (o_.json)
                io_.out << "{\"statistics\": " << statistics_.Json()
                        << ", \"losses\": " << run_->LossesJson() << "}\n";
            else
                io_.out << statistics_.Text() << run_->LossesText();
        }
        io_.out.flush();
        return ok;
    }

    MonitorOptions o_;
    CommandLineIo io_;
    GroupPrinter printer_;
    GroupStatistics statistics_;
    std::unique_ptr<GroupCsvWriter> csv_;
    // Declared before the group, so that the sensors outlive its sessions.
    GroupSimulators simulators_;
    std::unique_ptr<SensorGroup> group_;
    std::unique_ptr<GroupRun> run_;
    // Declared after the group: it detaches from the group as it goes.
    std::unique_ptr<GroupPublishing> publishing_;
};

}  // namespace

std::optional<std::size_t> MonitorCommandAt(const std::vector<std::string>& args) {
    return MonitorParser().line.CommandAt(args);
}

int RunMonitor(const std::vector<std::string>& args, std::size_t /*at*/, CommandLineIo io) {
    int status = kExitOk;
    try {
        MonitorOptions options = MonitorParser().Checked(args);
        if (options.help) {
            io.out << MonitorHelp();
            return kExitOk;
        }
        status = Monitor(std::move(options), io).Run();
    } catch (const RefusedChannel& e) {
        io.err << "mk27x: " << e.text << '\n';
        return kExitUsage;
    } catch (const UsageError& e) {
        io.err << "mk27x: " << e.text << "\nTry 'mk27x monitor --help'.\n";
        return kExitUsage;
    }
    const int signal = io.stop_signal ? io.stop_signal->load() : 0;
    return signal != 0 ? SignalExitStatus(signal) : status;
}

std::string MonitorHelp() {
    return R"(Usage: mk27x monitor --sensor NAME=PORT[@RATE][#ADDRESS]... [OPTIONS]

Several MK27x sensors at once, on one timeline, with computed channels.

  --sensor NAME=PORT[@RATE][#ADDRESS]
                    a sensor: NAME letters, digits and _; PORT as --port takes
                    it (COM1..COM4, USB, a device path, tcp://HOST:PORT,
                    rfc2217://HOST:PORT); RATE its baud rate (default 115200);
                    ADDRESS its network address 1 to 127 (default 1).
                    A sensor alone on its port streams; sensors sharing a port
                    (at different addresses, one rate) are polled in turn.
  --channel NAME=EXPR
                    a computed channel over the sensors' values in mm, e.g.
                    thickness=120-A-B, step=A-B, mean=(A+B+C+D)/4,
                    runout=max(A,B,C,D)-min(A,B,C,D); operators + - * / ^,
                    parentheses, numbers, abs, min, max, sqrt
  --seconds S       stop after S seconds (default: at Ctrl-C or a signal)
  --csv FILE        the rows written to FILE as CSV as they come:
                    index,time,seconds, then one column per sensor and channel
                    in the order given (an empty cell where a sensor had no
                    sample within two of its periods)
  --stats           the statistics of every column at the end
  --publish URL     every sensor's samples (under its name) and every
                    channel's (PREFIX/channels/NAME/samples) to an MQTT
                    broker, with --mqtt-qos, --mqtt-buffer-seconds,
                    --mqtt-cafile and --mqtt-password-file as for stream
  --json            an object per row ({"index", "time", "seconds", and every
                    column, null when empty}); --stats: {"statistics": {...}}
  --poll-rate HZ    polling cycles per second on a shared port (default 20)
  --simulator       every sensor a virtual sensor of its own (the ports name
                    the lines: sensors with the same port share one)

The rows are the sample times of the slowest sensor; every other sensor's value
is interpolated linearly between its neighbouring samples. Which sensors stream
and which are polled is said on standard error at the start.

A sensor that stops answering is retried once a second while the others go
on ("B: No answer; retrying.", then "B: back after 3.2 s."); another sensor
found at its place is refused. --stats counts each sensor's losses.

Exit status: 0 on success, 1 when a sensor cannot be opened or does not answer
at the start, or is still lost at the end (the message starts with its name), 2 on a usage error or a refused expression
(the parser's message and the position), 128 + the signal when stopped by one.
)";
}

}  // namespace mk27x
