// SensorSession: one connection to one sensor and every operation on it.
//
// The session owns the port, the request protocol, the sample ring and the stream
// reader with its thread, the sensor's identity and both parameter sets. Its
// operations speak device terms (connect, read all, store in FLASH, start the
// stream); the front ends (the main window, the mk27x command line) turn its
// events and outcomes into what they show. The session holds the link's state
// (LinkState) and the rules of the two timers (WatchdogTick, SeriesTick). It
// shows nothing and holds no operator text: every operation returns its
// outcome as data (which parameter differs and its two values, the port's
// system error, a file's refusal and why), and each front end chooses its own
// words. A question (write to FLASH? load another model's file?) is asked by
// the caller before the call, or through a callback it passes in.
//
// Every stream and every timed series is a recording: its samples, each with its
// sample time, go to the recording's sinks. The session keeps two of them
// always, the sample ring (the chart and the sample file) and the statistics;
// a front end attaches its own (a CSV file, a printer, a publisher).
//
// Threading: every call is made from one thread (the window thread, or the
// command line's main thread). The stream reader runs on a thread of its own,
// started by Start() and joined by Shutdown() or the destructor; while the sensor
// streams it feeds the recording, writes LastDistance and calls
// `events.distance` on its thread. All other events run on the calling thread,
// during the call.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "calibration/calibration_upload.h"
#include "platform/clock.h"
#include "protocol/protocol.h"
#include "protocol/stream_reader.h"
#include "recording/recording.h"
#include "recording/sample_ring.h"
#include "transport/sensor_port.h"

namespace mk27x {

// Pauses of the parameter commands, in milliseconds.
inline constexpr unsigned kLoadRereadPauseMs = 100;
inline constexpr unsigned kLoadAllRereadPauseMs = 500;
// The window thread waits this long after the stream-stop request before it
// takes the recording out of the ring.
inline constexpr unsigned kStreamDrainPauseMs = 100;
// A sensor found streaming at connect is told to stop, and given this long.
inline constexpr unsigned kStreamRecoveryPauseMs = 100;
// The interval of a timed series, in milliseconds: the period of SeriesTick.
inline constexpr unsigned kSeriesPeriodMs = 50;
// The period of WatchdogTick, in milliseconds.
inline constexpr unsigned kWatchdogPeriodMs = 1000;

// The state of the link to the sensor.
//   Closed      no connection (an attempt whose read-all failed stays here with
//               the port open until the watchdog ends it)
//   Connected   identified and all parameters read
//   TimedSeries a timed series runs (BeginSeries .. EndSeries)
//   Streaming   the sensor streams (StartStream .. StopStream)
//   Lost        the watchdog found no answer; the link is being torn down and
//               is Closed right after (the front end says "No answer." then)
enum class LinkState { Closed, Connected, TimedSeries, Streaming, Lost };

// Asked before a parameter file of another model is loaded: true to load it.
using ConfirmOtherModel = std::function<bool(int file_model, int sensor_model)>;

struct SessionEvents : LinkEvents {
    // A distance was measured (caller's thread) or decoded from the stream (the
    // reader's thread: keep it cheap).
    std::function<void(float mm)> distance;
    // The link's state changed to the one given (caller's thread). At Lost the
    // link is still as it was (a stream still runs), so the front end can
    // render the loss; Closed follows once the link is down.
    std::function<void(LinkState state)> state_changed;
};

enum class ConnectOutcome {
    PortNotOpened,  // see ConnectResult::port for why
    OpenedOnly,     // the display was busy: the port is open, nothing was sent
    NotIdentified,  // no valid identification (after the recovery): port closed
    ReadFailed,     // identified, but a parameter read failed: the watchdog ends it
    Connected,      // identified and all parameters read into the working set
};

struct ConnectResult {
    ConnectOutcome outcome = ConnectOutcome::PortNotOpened;
    // The open's result: the kind of port, its name and, when it failed, the
    // system's reason (empty when the system gave none).
    PortOpenResult port;
    // The identification was answered with bytes that were no reply, so the
    // stream stop request was sent and the sensor identified once more.
    bool recovered = false;
    bool ok() const { return outcome == ConnectOutcome::Connected; }
    bool operator==(ConnectOutcome o) const { return outcome == o; }
};

// A parameter whose value read back differs from the working set's.
struct ParameterDifference {
    int index = 0;
    std::uint16_t written = 0;
    std::uint16_t read = 0;
    bool operator==(const ParameterDifference&) const = default;
};

class SensorSession {
public:
    SensorSession(Clock& clock, PortBackends backends);
    ~SensorSession();
    SensorSession(const SensorSession&) = delete;
    SensorSession& operator=(const SensorSession&) = delete;

    SessionEvents events;

    // --- link settings: take effect as the operator chooses them ---------------
    // The port by name ("COM1".."COM4", "USB" or a device path); nothing else,
    // even while connected.
    void SetPortName(const std::string& name) { port_.SetPortName(name); }
    // Changes an open port at once; the sensor is not told.
    void SetBaudRate(std::uint32_t baud);
    // The address of the next request; the sensor is not told.
    void SetAddress(std::uint8_t address) { protocol_.SetNetAddress(address); }
    const std::string& PortName() const { return port_.PortName(); }
    std::uint32_t BaudRate() const { return port_.PortBaudRate(); }
    std::uint8_t Address() const { return protocol_.NetAddress(); }

    // --- life of the session -------------------------------------------------
    // Starts the stream reader (no effect when it runs).
    void Start();
    // Ends everything: a running stream is told to stop, the reader is joined,
    // the port closed. The destructor does the same.
    void Shutdown();

    // --- connection ----------------------------------------------------------
    // Open, identify, read all. See ConnectOutcome for what is left behind.
    // An identification answered with any bytes that are not a valid reply (a
    // sensor left streaming by a program that was killed, whatever its frames
    // look like) is followed by the stream stop request, 100 ms, a purge and
    // one more identification; a silent line is not tried again.
    ConnectResult Connect();
    // Closes the port; nothing is sent to the sensor and the identity is kept.
    void Disconnect();
    bool IsOpen() const { return port_.IsOpen(); }
    LinkState State() const { return state_; }
    // The watchdog's question: did the last watched exchange get its reply?
    bool LinkAlive() const { return protocol_.LinkAlive() != 0; }
    // The watchdog's end of a connection: state Lost, stream mode off without a
    // stop request (the sensor is not answering anyway), the recording ended,
    // port closed, state Closed.
    void EndLostLink();
    // The lost-answer rule, asked every kWatchdogPeriodMs while a link is up
    // (or an attempt is pending): when LinkAlive is 0 the link is ended as
    // EndLostLink does; true then. Nothing while there is no link to watch.
    bool WatchdogTick();
    // While the front end animates its height, a connect goes no further than
    // opening the port, and the stream reader leaves LinkAlive alone (the
    // animation holds up the window thread, so a silent stream then says
    // nothing about the sensor).
    void SetDisplayBusy(bool busy);
    bool DisplayBusy() const { return display_busy_; }

    // --- parameters: the grid's commands ---------------------------------------
    // Each adopts what it read into the working set when the read succeeded.
    void LoadParameter(int index);  // write, 100 ms, read all
    void ReadParameter(int index);  // read one
    void LoadAllParameters();       // write all, 500 ms, read all
    bool ReadAllParameters();       // read all; false when a read failed
    // The comparisons: the rows that differ (empty when all are equal, or when
    // the link is not alive and nothing was asked).
    std::vector<ParameterDifference> CompareParameter(int index);
    std::vector<ParameterDifference> CompareAllParameters();
    // The caller has asked the operator. A restore whose re-read failed is
    // ReadFailed; the working set is reported (parameters_replaced) after any
    // restore.
    FlashResult WriteToFlash();
    FlashResult RestoreFactorySettings();
    // Writes the given parameters of the working set (in the order given), waits
    // 100 ms and reads all back; false when the read failed.
    bool WriteParameters(const std::vector<int>& indexes);

    // --- parameter files -------------------------------------------------------
    struct FileOutcome {
        enum class Result { Done, Failed, Declined };
        Result result = Result::Done;
        std::string reason;  // why it failed, in the system's or the reader's words
        bool ok() const { return result == Result::Done; }
    };
    // Writes the working set, with the sensor's identity when one is known, to
    // `path` (replaced whole, see WriteParameterFile).
    FileOutcome SaveParameterFile(const std::string& path);
    // Takes the 20 values of the parameter file `path` into the working set
    // and reports it (parameters_replaced); nothing is sent. A file of another
    // model is loaded only when `other_model` (may be empty: loaded) says yes;
    // Declined leaves everything as it was.
    FileOutcome LoadParameterFile(const std::string& path,
                                  const ConfirmOtherModel& other_model = {});

    ParameterSet& Values() { return protocol_.ParameterValues; }
    const ParameterSet& ReadBack() const { return protocol_.ReadBackValues; }
    const SensorIdentity& Identity() const { return protocol_.Identity; }

    // --- calibration -----------------------------------------------------------
    enum class UploadResult { Written, Failed, FileRefused };
    struct CalibrationOutcome {
        UploadResult result = UploadResult::Written;
        std::optional<UploadOutcome> upload;  // the blocks' outcome, when the file was sound
        CalibrationRefusal refusal;           // why the file was refused, when it was
    };
    // Reads the *.tbl file for the identified sensor's release and, only when
    // the whole file is sound, uploads it block by block. The progress event
    // runs from 0 to b * 100 / N of 100; `block_done` (may be empty) gets
    // (b + 1, N) after each acknowledged block. Blocks the calling thread for
    // the whole upload.
    CalibrationOutcome UploadCalibration(
        const std::string& path, const std::function<void(int done, int blocks)>& block_done = {},
        const std::function<bool()>& stop = {});

    // --- measuring -------------------------------------------------------------
    // One measurement (the Dev command when MeasureDevMode is set): LastDistance
    // and `events.distance` on success; false on a short reply.
    bool MeasureOnce();
    bool MeasureDevMode() const { return protocol_.MeasureDevMode; }
    void SetMeasureDevMode(bool on) { protocol_.MeasureDevMode = on; }
    // A new recording, LastDistance 0, the start request, the reader streaming.
    void StartStream();
    // The reader idle (no read of it pending), the stop request, 100 ms; the
    // recording ends and is then in the ring.
    void StopStream();
    bool Streaming() const { return reader_.Streaming(); }
    float LastDistance() const { return protocol_.LastDistance; }
    SampleRing& Ring() { return ring_; }

    // A timed series: BeginSeries starts a recording, chooses the command (the
    // Dev command when `dev_mode`) and sets LastDistance to 0; each
    // MeasureSample is one MeasureOnce whose distance, on success, goes to the
    // recording with the time of its reply; EndSeries ends the recording.
    // The state is TimedSeries from BeginSeries to EndSeries.
    void BeginSeries(bool dev_mode);
    bool MeasureSample();
    void EndSeries();
    // The timed series' rule, asked every kSeriesPeriodMs while a series runs:
    // one measurement into the recording (MeasureSample); false when it failed,
    // which leaves LinkAlive 0 for the watchdog.
    bool SeriesTick();

    // The recording of streams and series, its sinks, and the statistics of the
    // current (or last) recording.
    mk27x::Recording& Recording() { return recording_; }
    SampleStatistics Statistics() const { return statistics_.Result(); }
    // The recording of a stopped stream as (sample, ring index) pairs, oldest
    // first; see DrainRing. Call after StopStream.
    std::vector<std::pair<float, std::uint16_t>> DrainRecording();
    // Writes the ring's samples to `path` (see SaveSampleFile); false when it
    // cannot be written, which leaves any existing file as it was.
    bool SaveSamples(const std::string& path);
    // Writes the ring's samples with their times to `path` as CSV (see
    // SaveCsvFile); false when it cannot be written.
    bool ExportCsv(const std::string& path);

    // --- teach -----------------------------------------------------------------
    // The teach request (its reply is not examined), then read all. When every
    // read succeeds the read set is adopted (true); a failed read leaves
    // LinkAlive 0 for the watchdog.
    bool Teach();

    // For tests and benchmarks.
    SensorProtocol& Protocol() { return protocol_; }
    SensorPort& Port() { return port_; }
    StreamReader& Reader() { return reader_; }
    Clock& GetClock() { return clock_; }

private:
    // Copies the read set over the working set and reports it.
    void Adopt() { protocol_.AdoptReadBackValues(); }
    void SetState(LinkState state);
    std::vector<ParameterDifference> Differences(int from, int to) const;

    Clock& clock_;
    SensorPort port_;
    SensorProtocol protocol_;
    SampleRing ring_;
    mk27x::Recording recording_;
    RingSink ring_sink_{ring_};
    StatisticsAccumulator statistics_;
    StreamReader reader_;
    bool display_busy_ = false;
    LinkState state_ = LinkState::Closed;
    // The state a series or a stream returns to at its end.
    LinkState state_before_ = LinkState::Closed;
};

}  // namespace mk27x
