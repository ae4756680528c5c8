#include "cli/cli_files.h"

#include <ostream>

#include "cli/exit_status.h"
#include "session/sensor_search.h"
#include "session/session_tasks.h"

namespace mk27x {
int SearchCommand(const std::vector<std::string>& ports, bool full, bool json, std::ostream& out,
                  std::ostream& err, Clock& clock, std::shared_ptr<TraceWriter> trace,
                  const std::atomic<int>* stop) {
    std::vector<std::string> list = ports;
    if (list.empty()) list = DefaultSearchPorts();
    SearchOpener opener = RealSearchOpener();
    if (trace)
        opener = [inner = opener, trace](const std::string& port, std::uint32_t baud,
                                         ReadTimeouts timeouts, std::string& reason) {
            return TraceTransport(inner(port, baud, timeouts, reason), trace, port, baud);
        };
    SensorSearch search(clock, opener);
    search.events.found = [&](const FoundSensor& s) {
        out << (json ? FoundSensorJson(s) : FoundSensorText(s)) << std::endl;
    };
    search.events.progress = [&](std::size_t, std::size_t) {
        if (stop && stop->load() != 0) search.Cancel();
    };
    search.events.port_failed = [&](const FailedPort& f) {
        err << "mk27x: " << f.port << " skipped: cannot open " << f.port
            << (f.reason.empty() ? "" : ": " + f.reason) << '\n';
    };
    const SearchResult result = search.Run(full ? FullSearchPlan(list) : QuickSearchPlan(list));
    if (result.found.empty()) {
        err << "mk27x: no sensor found\n";
        return kExitNoSensor;
    }
    return kExitOk;
}

int BackupCommand(SensorSession& session, const std::string& path, std::ostream& out,
                  std::ostream& err) {
    std::string error;
    if (!BackupToFile(session, path, error)) {
        err << "mk27x: cannot write " << path << ": " << error << '\n';
        return kExitNoSensor;
    }
    out << "Parameters of sensor " << session.Identity().SerialNumber << " saved to " << path
        << '\n';
    return kExitOk;
}

int CloneCommand(SensorSession& session, const std::string& path, std::ostream& out,
                 std::ostream& err, const std::atomic<int>* stop,
                 const ConfirmOtherModel& other_model) {
    const CloneResult r = CloneFromFile(
        session, path, [stop] { return stop && stop->load() != 0; }, other_model);
    switch (r.status) {
        case CloneResult::Status::FileRefused:
            err << "mk27x: Cannot load " << path << ": " << r.error << ".\n";
            return kExitUsage;
        case CloneResult::Status::Declined:
            return kExitUsage;
        case CloneResult::Status::Stopped:
            err << "mk27x: clone stopped after the write\n";
            return kExitNoSensor;
        case CloneResult::Status::NoAnswer:
            err << "No answer.\n";
            return kExitNoSensor;
        case CloneResult::Status::Written:
            break;
    }
    for (int i : r.differing) {
        const auto k = static_cast<std::size_t>(i);
        out << "'" << ParameterTable[k].name << "': file=" << r.wanted[k]
            << ", sensor=" << session.ReadBack()[k] << '\n';
    }
    if (!r.differing.empty()) {
        err << "mk27x: " << r.differing.size() << " parameter(s) differ after the re-read\n";
        return kExitNoSensor;
    }
    out << "All 20 parameters of " << path << " are in the sensor.\n";
    return kExitOk;
}

}  // namespace mk27x
