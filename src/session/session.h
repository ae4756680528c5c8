// SensorSession: one connection to one sensor and every operation on it.
//
// The session owns the port, the request protocol, the sample ring and the stream
// reader with its thread, the sensor's identity and both parameter sets. Its
// operations speak device terms (connect, read all, store in FLASH, start the
// stream); the front ends (the main window, the mk27x command line) turn its
// events into what they show. Messages go through the message-box layer, so the
// program's texts stay here whatever the front end.
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
#include <string>
#include <utility>
#include <vector>

#include "link/protocol.h"
#include "link/recording.h"
#include "link/sample_ring.h"
#include "link/sensor_port.h"
#include "link/stream_reader.h"
#include "platform/clock.h"
#include "platform/message_box.h"

namespace mk27x {

// Captions and texts of the link.
inline constexpr const char* kLinkCaption = "MK271-SP";
inline constexpr const char* kOutcomeCaption = "MK271-SP.";
inline constexpr const char* kNoIdentificationText = "No answer. Please change parameters.";
inline constexpr const char* kNoAnswerText = "No answer.";
inline constexpr const char* kTeachCompleteText = "Teaching complete.";

// Pauses of the parameter commands, in milliseconds.
inline constexpr unsigned kLoadRereadPauseMs = 100;
inline constexpr unsigned kLoadAllRereadPauseMs = 500;
// The window thread waits this long after the stream-stop request before it
// takes the recording out of the ring.
inline constexpr unsigned kStreamDrainPauseMs = 100;
// A sensor found streaming at connect is told to stop, and given this long.
inline constexpr unsigned kStreamRecoveryPauseMs = 100;
// The interval of a timed series, in milliseconds.
inline constexpr unsigned kSeriesPeriodMs = 50;

struct SessionEvents : LinkEvents {
    // A distance was measured (caller's thread) or decoded from the stream (the
    // reader's thread: keep it cheap).
    std::function<void(float mm)> distance;
};

enum class ConnectOutcome {
    PortNotOpened,  // the port has shown its message
    OpenedOnly,     // the display was busy: the port is open, nothing was sent
    NotIdentified,  // "No answer. Please change parameters." shown, port closed
    ReadFailed,     // identified, but a parameter read failed: the watchdog ends it
    Connected,      // identified and all parameters read into the working set
};

class SensorSession {
public:
    SensorSession(MessageBox& messages, Clock& clock, PortBackends backends);
    ~SensorSession();
    SensorSession(const SensorSession&) = delete;
    SensorSession& operator=(const SensorSession&) = delete;

    SessionEvents events;

    // --- link settings: take effect as the operator chooses them ---------------
    // The port by name ("COM1".."COM4", "USB" or a device path); nothing else,
    // even while connected.
    void SetPortName(const std::string& name) { port_.PortName = name; }
    // Changes an open port at once; the sensor is not told.
    void SetBaudRate(std::uint32_t baud);
    // The address of the next request; the sensor is not told.
    void SetAddress(std::uint8_t address) { protocol_.NetAddress = address; }
    const std::string& PortName() const { return port_.PortName; }
    std::uint32_t BaudRate() const { return port_.PortBaudRate; }
    std::uint8_t Address() const { return protocol_.NetAddress; }

    // --- life of the session -------------------------------------------------
    // Starts the stream reader (no effect when it runs).
    void Start();
    // Ends everything: a running stream is told to stop, the reader is joined,
    // the port closed. The destructor does the same.
    void Shutdown();

    // --- connection ----------------------------------------------------------
    // Open, identify, read all. See ConnectOutcome for what is left behind. A
    // sensor that answers the identification with stream frames (left streaming
    // by a program that was killed) is sent the stream stop request, given
    // 100 ms and identified once more.
    ConnectOutcome Connect();
    // Closes the port; nothing is sent to the sensor and the identity is kept.
    void Disconnect();
    bool IsOpen() const { return port_.IsOpen(); }
    // The watchdog's question: did the last watched exchange get its reply?
    bool LinkAlive() const { return protocol_.LinkAlive != 0; }
    // The watchdog's end of a connection: stream mode off without a stop request
    // (the sensor is not answering anyway), port closed, "No answer." shown.
    void EndLostLink();
    // While the front end animates its height, a connect goes no further than
    // opening the port, and the stream reader leaves LinkAlive alone.
    void SetDisplayBusy(bool busy);
    bool DisplayBusy() const { return display_busy_; }

    // --- parameters: the grid's commands ---------------------------------------
    // Each adopts what it read into the working set when the read succeeded.
    void LoadParameter(int index);     // write, 100 ms, read all
    void ReadParameter(int index);     // read one
    void CompareParameter(int index);  // a mismatch message, nothing when equal
    void LoadAllParameters();          // write all, 500 ms, read all
    bool ReadAllParameters();          // read all; false when a read failed
    void CompareAllParameters();       // the full list when anything differs
    // After the operator's confirmation; the outcome is shown. Cancelled counts
    // as not done.
    enum class FlashOutcome { Done, Failed, Cancelled };
    FlashOutcome WriteToFlash();
    FlashOutcome RestoreFactorySettings();
    // Writes the given parameters of the working set (in the order given), waits
    // 100 ms and reads all back; false when the read failed.
    bool WriteParameters(const std::vector<int>& indexes);

    ParameterSet& Values() { return protocol_.ParameterValues; }
    const ParameterSet& ReadBack() const { return protocol_.ReadBackValues; }
    const SensorIdentity& Identity() const { return protocol_.Identity; }

    // --- calibration -----------------------------------------------------------
    enum class UploadResult { Written, Failed, FileRefused };
    // Reads the *.tbl file for the identified sensor's release and, only when
    // the whole file is sound, uploads it block by block; the outcome (or the
    // file's refusal) is shown. The progress event runs from 0 to b * 100 / N of
    // 100; `block_done` (may be empty) gets (b + 1, N) after each acknowledged
    // block. Blocks the calling thread for the whole upload.
    UploadResult UploadCalibration(const std::string& path,
                                   const std::function<void(int done, int blocks)>& block_done = {},
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
    void BeginSeries(bool dev_mode);
    bool MeasureSample();
    void EndSeries();

    // The recording of streams and series, its sinks, and the statistics of the
    // current (or last) recording.
    mk27x::Recording& Recording() { return recording_; }
    SampleStatistics Statistics() const { return statistics_.Result(); }
    // The recording of a stopped stream as (sample, ring index) pairs, oldest
    // first; see DrainRing. Call after StopStream.
    std::vector<std::pair<float, std::uint16_t>> DrainRecording();
    // Writes the ring's samples to `path` (see SaveSampleFile); a file that
    // cannot be written is reported and leaves any existing file as it was.
    bool SaveSamples(const std::string& path);

    // --- teach -----------------------------------------------------------------
    // The teach request (its reply is not examined), then read all. When every
    // read succeeds the read set is adopted and "Teaching complete." shown; a
    // failed read ends silently with LinkAlive 0 for the watchdog.
    bool Teach();

    // For tests and benchmarks.
    SensorProtocol& Protocol() { return protocol_; }
    SensorPort& Port() { return port_; }
    StreamReader& Reader() { return reader_; }
    Clock& GetClock() { return clock_; }
    MessageBox& Messages() { return messages_; }

private:
    // Copies the read set over the working set and reports it.
    void Adopt() { protocol_.AdoptReadBackValues(); }

    MessageBox& messages_;
    Clock& clock_;
    SensorPort port_;
    SensorProtocol protocol_;
    SampleRing ring_;
    mk27x::Recording recording_;
    RingSink ring_sink_{ring_};
    StatisticsAccumulator statistics_;
    StreamReader reader_;
    bool display_busy_ = false;
};

// The texts of the comparisons: one parameter, and the list of all 20 (lines
// separated by a carriage return).
std::string CompareMismatchText(int index, const ParameterSet& values, const ParameterSet& read);
std::string CompareAllText(const ParameterSet& values, const ParameterSet& read);

}  // namespace mk27x
