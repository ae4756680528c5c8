// The command line's search, backup and clone commands, apart from the parser.
//
// Threading: everything on the calling thread.
#pragma once

#include <atomic>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "session/session.h"
#include "transport/protocol_trace.h"

namespace mk27x {

// `mk27x search [--full] [--port P]...`: one line per sensor found (a JSON
// object with `json`); ports that cannot be opened on `err`. 0 when one was
// found, 1 when none. No ports given: COM1..COM4 and USB. A signal reported in
// `stop` ends the search after the attempt in progress (1 when none was found
// by then).
int SearchCommand(const std::vector<std::string>& ports, bool full, bool json, std::ostream& out,
                  std::ostream& err, Clock& clock, std::shared_ptr<TraceWriter> trace,
                  const std::atomic<int>* stop = nullptr);

// `mk27x backup FILE.json`: the working set just read from the sensor into FILE.
int BackupCommand(SensorSession& session, const std::string& path, std::ostream& out,
                  std::ostream& err);

// `mk27x clone FILE.json`: FILE's set written as Load All does (write all,
// 500 ms, read all), then every parameter the sensor holds otherwise printed;
// 1 when one differs or the sensor did not answer. A signal reported in `stop`
// lets the write in progress end, then stops before the comparison (1). A file
// of another model is written only when `other_model` (empty: yes) says so.
int CloneCommand(SensorSession& session, const std::string& path, std::ostream& out,
                 std::ostream& err, const std::atomic<int>* stop = nullptr,
                 const ConfirmOtherModel& other_model = {});

}  // namespace mk27x
