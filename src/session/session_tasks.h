// Tasks of the front ends without a window (the command line, the Python
// module), on the session's public operations: a timed series of measurements,
// a stream for a given time, parameters set from their texts, a backup of the
// working set and a clone from a parameter file. The window runs the same
// operations from its timers and its grid.
//
// Each task returns its outcome as data; the front end words it. A `stop`
// callback (may be empty) is asked between short waits; it returns true to end
// the task early, cleanly (a stream is told to stop and its reader idled).
//
// Threading: every call on the session's calling thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "params/parameter_entry.h"
#include "platform/clock.h"
#include "session/parameter_file.h"
#include "session/session.h"

namespace mk27x {

enum class TaskOutcome {
    Done,      // ran to its end
    Stopped,   // `stop` ended it
    NoAnswer,  // the sensor did not answer: the link was ended (EndLostLink)
};

// `count` measurements kSeriesPeriodMs apart as one timed series (the Dev
// command when `dev`); their distances go to the recording. `stop` is asked
// before every measurement.
TaskOutcome MeasureSeries(SensorSession& session, Clock& clock, long count, bool dev,
                          const std::function<bool()>& stop = {});

// The stream for a time (or until stopped): started, then driven by Step in
// short slices, the watchdog's question asked once a second as the window asks
// it (the recording flushed with it), then stopped.
class TimedStream {
public:
    enum class State {
        Running,
        Ended,  // the time is up
        Lost,   // the watchdog found the link dead: ended as EndLostLink does
    };
    static constexpr unsigned kSliceMs = 50;

    // `seconds` (counted from Start) empty: until Stop.
    TimedStream(SensorSession& session, Clock& clock, std::optional<double> seconds);

    void Start();
    // One slice: waits (through `wait`, or the clock when empty) up to
    // kSliceMs and no later than the end, then asks the watchdog's question
    // when its second has come. Nothing once no longer running.
    State Step(const std::function<void(unsigned ms)>& wait = {});
    // The stream stop request and its drain (StopStream); nothing when the
    // link was lost or the stream is stopped already.
    void Stop();
    State Current() const { return state_; }
    bool Started() const { return started_; }

private:
    SensorSession& session_;
    Clock& clock_;
    std::optional<double> seconds_;
    std::optional<Clock::TimePoint> end_;
    Clock::TimePoint next_check_{};
    State state_ = State::Running;
    bool started_ = false;
    bool stopped_ = false;
};

// Parameters set from texts, as the grid's cells take them (ParameterEntry):
// every entry is checked before anything is sent, and one refused entry
// leaves the working set as it was and sends nothing. Then the taken ones are
// written, and after 100 ms all are read back (WriteParameters); a failed read
// ends the link as the watchdog would.
struct SetParametersResult {
    enum class Status {
        Written,   // written and read back into the working set
        Refused,   // `refusal` says which entry and why; nothing was sent
        NoAnswer,  // the read-back failed: the link was ended
    };
    Status status = Status::Written;
    EntryRefusal refusal;
    // The rows written, in the order given.
    std::vector<int> written;
};
SetParametersResult SetParameters(SensorSession& session,
                                  const std::vector<ParameterEntry>& entries);

// The first entry whose text cannot be a value of its row at all (checked
// before any sensor is known: a ConversionError refusal), or nothing.
std::optional<EntryRefusal> CheckEntryForms(const std::vector<ParameterEntry>& entries);

// Writes the working set, with the sensor's identity, to the parameter file at
// `path`; false with `error` (the system's reason) when it cannot be written.
bool BackupToFile(SensorSession& session, const std::string& path, std::string& error);

struct CloneResult {
    enum class Status {
        Written,      // written and read back: see `differing`
        FileRefused,  // `error` says why, in the reader's words
        Declined,     // the other model's question answered no
        Stopped,      // `stop` came during the write: no comparison
        NoAnswer,     // the re-read failed: the link was ended
    };
    Status status = Status::Written;
    std::string error;
    // The file's set, as written.
    ParameterSet wanted{};
    // Rows whose value read back differs from the file's.
    std::vector<int> differing;
};

// The file's set written as Load All does (write all, 500 ms, read all), then
// compared with what the sensor holds. A file of another model is written only
// when `other_model` (empty: yes) says so.
CloneResult CloneFromFile(SensorSession& session, const std::string& path,
                          const std::function<bool()>& stop = {},
                          const ConfirmOtherModel& other_model = {});

}  // namespace mk27x
