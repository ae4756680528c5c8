// Tasks of the front ends without a window (the command line, the Python
// module), on the session's public operations: a timed series of measurements,
// a stream for a given time, a backup of the working set and a clone from a
// parameter file. The window runs the same operations from its timers.
//
// Each task shows the session's messages as the window would ("No answer.");
// the front end decides what to make of them and of the outcome. A `stop`
// callback (may be empty) is asked between short waits; it returns true to end
// the task early, cleanly (a stream is told to stop and its reader idled).
//
// Threading: every call on the session's calling thread.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "session/parameter_file.h"
#include "session/session.h"

namespace mk27x {

enum class TaskOutcome {
    Done,      // ran to its end
    Stopped,   // `stop` ended it
    NoAnswer,  // the sensor did not answer: "No answer." shown
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

// Writes the working set, with the sensor's identity, to the parameter file at
// `path`; false with `error` (the system's reason) when it cannot be written.
bool BackupToFile(SensorSession& session, const std::string& path, std::string& error);

struct CloneResult {
    enum class Status {
        Written,      // written and read back: see `differing`
        FileRefused,  // `error` says why (ParameterFileReadError)
        Declined,     // the other model's question answered Cancel
        Stopped,      // `stop` came during the write: no comparison
        NoAnswer,     // the re-read failed: "No answer." shown
    };
    Status status = Status::Written;
    std::string error;
    // The file's set, as written.
    ParameterSet wanted{};
    // Rows whose value read back differs from the file's.
    std::vector<int> differing;
};

// The file's set written as Load All does (write all, 500 ms, read all), then
// compared with what the sensor holds. The other model's question and "No
// answer." are the session's messages.
CloneResult CloneFromFile(SensorSession& session, const std::string& path,
                          const std::function<bool()>& stop = {});

}  // namespace mk27x
