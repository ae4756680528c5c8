#include "cli/cli_files.h"

#include <ostream>

#include "cli/exit_status.h"
#include "session/parameter_file.h"
#include "session/sensor_search.h"

namespace mk27x {
int SearchCommand(const std::vector<std::string>& ports, bool full, bool json, std::ostream& out,
                  std::ostream& err, Clock& clock, std::shared_ptr<TraceWriter> trace,
                  const std::atomic<int>* stop) {
    std::vector<std::string> list = ports;
    if (list.empty()) list = {"COM1", "COM2", "COM3", "COM4", "USB"};
    SearchOpener opener = RealSearchOpener();
    if (trace)
        opener = [inner = opener, trace](const std::string& port, std::uint32_t baud,
                                         ReadTimeouts timeouts) {
            return TraceTransport(inner(port, baud, timeouts), trace, port, baud);
        };
    SensorSearch search(clock, opener);
    search.events.found = [&](const FoundSensor& s) {
        out << (json ? FoundSensorJson(s) : FoundSensorText(s)) << std::endl;
    };
    search.events.progress = [&](std::size_t, std::size_t) {
        if (stop && stop->load() != 0) search.Cancel();
    };
    search.events.port_failed = [&](const FailedPort& f) {
        err << "mk27x: " << f.port << " skipped: " << f.reason << '\n';
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
    const std::string text =
        ParameterFileText(session.Values(), session.Identity(), ParameterFileTime());
    std::string error;
    if (!WriteParameterFile(path, text, error)) {
        err << "mk27x: cannot write " << path << ": " << error << '\n';
        return kExitNoSensor;
    }
    out << "Parameters of sensor " << session.Identity().SerialNumber << " saved to " << path
        << '\n';
    return kExitOk;
}

int CloneCommand(SensorSession& session, MessageBox& messages, const std::string& path,
                 std::ostream& out, std::ostream& err, const std::atomic<int>* stop) {
    const ParameterFileResult r = ReadParameterFile(path);
    if (!r.ok) {
        err << "mk27x: " << OneLine(ParameterFileReadError(path, r.error)) << '\n';
        return kExitUsage;
    }
    if (!ApplyParameterFile(r.file, session.Identity(), session.Values(), messages))
        return kExitUsage;
    session.LoadAllParameters();
    if (stop && stop->load() != 0) {
        err << "mk27x: clone stopped after the write\n";
        return kExitNoSensor;
    }
    if (!session.LinkAlive()) {
        messages.Show(kNoAnswerText, kLinkCaption, MB_OK | MB_ICONSTOP);
        return kExitNoSensor;
    }
    int differ = 0;
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (session.ReadBack()[k] == r.file.values[k]) continue;
        ++differ;
        out << "'" << ParameterTable[k].name << "': file=" << r.file.values[k]
            << ", sensor=" << session.ReadBack()[k] << '\n';
    }
    if (differ != 0) {
        err << "mk27x: " << differ << " parameter(s) differ after the re-read\n";
        return kExitNoSensor;
    }
    out << "All 20 parameters of " << path << " are in the sensor.\n";
    return kExitOk;
}

}  // namespace mk27x
