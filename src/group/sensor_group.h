// SensorGroup: several sensors at once, each a SensorSession of its own, their
// samples on one timeline with the computed channels (see GroupAligner).
//
// Every sensor alone on its line streams, with the reader of its session.
// Sensors that share a line (several addresses on one RS-485 line) are polled
// in turn with the measure request, since a stream would take the line: one
// poller thread per shared line measures each of its sensors once per cycle, at
// `poll_rate_hz` cycles per second (or slower when the line cannot keep up).
// The shared line is opened once (SharedLine) and every sensor keeps its own
// session, identity and recording.
//
// Nothing is shown here: each sensor's outcomes are data (ConnectResult,
// GroupEvent, SensorStatus) for the front end to word. Every sample goes
// to its session's recording (its statistics and ring, as for one sensor) and,
// with its sensor and sample time, to the aligner, whose rows go to the sinks
// attached to it.
//
// A sensor that stops answering while the group runs (a stream that brought
// nothing for its reader's time-out, a polled sensor whose last three requests
// went unanswered) is lost, quietly: the others go on, its cells are empty and
// it is asked again once a second (Rejoin: its port reopened, on a shared line
// only its own hold, then connect with the leftover-stream recovery, identify
// and read all). With the serial number it had it rejoins as it ran before;
// another sensor at its place is refused and asked again later. A sensor that
// did not connect before Start is lost from the start (Start marks it, Check
// tells it) and asked in the same way; the first sensor that answers at its
// place is taken, and its identity is the group's from then on. A streaming
// sensor is asked on a thread of its own; a polled one by its line's poller,
// with a measurement first (then the whole connect once it answers); every
// measurement on a shared line is cut short when its sensor does not answer
// (SharedLine::WithinLimit), so the others on the line keep their pace. The
// outcomes are data (GroupEvent, SensorStatus); nothing of it is shown here.
//
// Threading: Connect, Start, Pump, Check, Flush and Stop come from one thread
// (the run's: the command line's main thread, the window thread), which also
// attaches the aligner's sinks; the sinks are called there, during Pump and
// Stop. Between Start and Stop the sessions belong to their readers, pollers
// and rejoin threads: only Identity (the group's copy) may be asked.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "group/aligner.h"
#include "group/channel.h"
#include "group/sensor_spec.h"
#include "group/shared_line.h"
#include "session/session.h"

namespace mk27x {

enum class SensorMode { Stream, Poll };

// A sensor of a group, as its run sees it.
enum class SensorState {
    Idle,       // not running
    Streaming,  // running, streaming
    Polled,     // running, polled on its shared line
    Lost,       // no answer: asked again once a second
};

// What changed for a sensor, as it happened (GroupRun keeps them for its caller).
struct GroupEvent {
    enum class Kind {
        Lost,         // no answer; retried from now on
        Back,         // answered again with its serial number: it runs as before
        WrongSensor,  // another sensor answered at its place (`found`): refused
    };
    Kind kind = Kind::Lost;
    std::size_t sensor = 0;
    // Back: how long it was lost, seconds.
    double lost_s = 0;
    // WrongSensor: the serial number found and the one expected.
    std::uint32_t found = 0;
    std::uint32_t expected = 0;
};

// A sensor's state with its losses in the run so far.
struct SensorStatus {
    SensorState state = SensorState::Idle;
    // Lost: since when (steady clock, ns) and the last refused serial number
    // found at its place (0: none).
    std::int64_t lost_since_ns = 0;
    std::uint32_t wrong_serial = 0;
    // In this run: the losses, and their time in seconds (a current one too).
    unsigned losses = 0;
    double seconds_lost = 0;
};

struct GroupOptions {
    // Polling cycles per second on a shared line (each of its sensors is
    // measured once per cycle): the interval of the program's timed series.
    double poll_rate_hz = 1000.0 / kSeriesPeriodMs;
    AlignerOptions aligner;
};

class SensorGroup {
public:
    // `sensors` must pass CheckGroup; `channels` are compiled over their names.
    SensorGroup(Clock& clock, const PortBackends& backends, std::vector<SensorSpec> sensors,
                std::vector<std::unique_ptr<Channel>> channels, GroupOptions options = {});
    // Stop().
    ~SensorGroup();
    SensorGroup(const SensorGroup&) = delete;
    SensorGroup& operator=(const SensorGroup&) = delete;

    std::size_t Size() const { return members_.size(); }
    const SensorSpec& Spec(std::size_t sensor) const { return members_[sensor]->spec; }
    SensorMode Mode(std::size_t sensor) const { return members_[sensor]->mode; }
    SensorSession& Session(std::size_t sensor) { return *members_[sensor]->session; }
    // The identity found at Connect (kept while the sensor is asked again).
    const SensorIdentity& Identity(std::size_t sensor) const { return members_[sensor]->identity; }
    GroupAligner& Aligner() { return aligner_; }
    const std::vector<std::string>& Columns() const { return aligner_.Columns(); }

    // Opens, identifies and reads every sensor in the order given; the outcome
    // of each, for the front end to word. A caller may Start with sensors that
    // failed: they are lost until one answers.
    std::vector<ConnectResult> Connect();
    // Replaces the computed channels (compiled over the sensors' names in the
    // order given) for the next Start; false, and nothing changed, while running.
    bool SetChannels(std::vector<std::unique_ptr<Channel>> channels);
    // The rows begin; every streaming sensor starts its stream, every shared
    // line its poller.
    void Start();
    bool Running() const { return running_; }
    // Hands the samples that came to the aligner and gives out the rows that are
    // final. Call often (every 50 ms or so).
    void Pump();
    // Losses and returns: a sensor found silent is lost (the aligner told), a
    // lost one asked again once a second, an answer taken in; what changed is
    // appended to `events`. Call often (GroupRun calls it with every Pump).
    void Check(std::vector<GroupEvent>& events);
    // A second has passed: the sinks hand out what they buffer.
    void Flush();
    SensorStatus Status(std::size_t sensor) const;
    // Pollers and rejoin threads joined, every stream told to stop, the last
    // rows given out and the sinks ended. Nothing when not running.
    void Stop();

    // Samples that came from each sensor since Start (any thread).
    std::uint64_t SamplesReceived(std::size_t sensor) const {
        return members_[sensor]->received.load();
    }

private:
    // Takes a session's samples to the group: counted, then into the inbox.
    class Feed final : public RecordingSink {
    public:
        Feed(SampleInbox& inbox, std::atomic<std::uint64_t>& received)
            : inbox_(inbox), received_(received) {}
        void Add(std::span<const RecordedSample> samples) override {
            inbox_.Add(samples);
            received_.fetch_add(samples.size(), std::memory_order_relaxed);
        }

    private:
        SampleInbox& inbox_;
        std::atomic<std::uint64_t>& received_;
    };

    struct Member {
        SensorSpec spec;
        SensorMode mode = SensorMode::Stream;
        SharedLine* line = nullptr;  // polled: its line
        // The run's thread's copy (Identity).
        SensorIdentity identity;
        // Whether the sensor has been identified (at Connect or on joining
        // later), and the identity its returns must show: written before Start,
        // or by the thread that takes its first answer (a polled sensor's
        // poller, a stream's run thread) before `known` is set.
        std::atomic<bool> known{false};
        SensorIdentity expected;
        SampleInbox inbox;
        std::atomic<std::uint64_t> received{0};
        Feed feed{inbox, received};
        // Polled sensors: requests in a row that went unanswered.
        std::atomic<int> failures{0};
        // Lost: set by the run's thread (streams) or the poller (polled).
        std::atomic<bool> lost{false};
        // Polled: the last refused serial number and how many refusals.
        std::atomic<std::uint32_t> wrong_serial{0};
        std::atomic<unsigned> wrong_count{0};
        std::int64_t next_probe_ns = 0;  // the poller's
        // Streams: the rejoin in flight on a thread of its own.
        std::thread rejoin;
        std::atomic<bool> rejoin_done{false};
        ConnectOutcome rejoin_outcome = ConnectOutcome::PortNotOpened;
        // The run's thread: what it has told and counted.
        bool told_lost = false;
        bool identified = false;  // `identity` is the one expected
        unsigned wrong_told = 0;
        std::int64_t next_rejoin_ns = 0;
        std::int64_t lost_since_ns = 0;
        unsigned losses = 0;
        std::int64_t lost_ns = 0;
        // Last, so that it goes first: its end may still reach the feed.
        std::unique_ptr<SensorSession> session;
    };
    struct Poller {
        std::vector<std::size_t> sensors;
        std::thread thread;
    };

    void Poll(const std::vector<std::size_t>& sensors);
    // A polled sensor lost: asked again, from its poller.
    void Probe(Member& m);
    void StopPollers();
    // The sensor asked again, quietly: its port reopened (on a shared line the
    // line stays open), connect, identify, read all. The one place a group
    // reconnects a sensor.
    ConnectOutcome Rejoin(Member& m);
    // A rejoin connected: true when it is the sensor expected (or the first
    // to answer for one never identified), which is then known.
    bool Accept(Member& m);
    // A stream's rejoin taken in, or a new one started when due.
    void CheckStream(std::size_t sensor, std::int64_t now);
    void JoinRejoins();

    std::vector<std::unique_ptr<SharedLine>> lines_;
    std::vector<std::unique_ptr<Member>> members_;
    std::vector<std::unique_ptr<Poller>> pollers_;
    GroupOptions options_;
    GroupAligner aligner_;
    bool running_ = false;
    std::vector<RecordedSample> taken_;
    std::atomic<bool> stop_polling_{false};
    std::mutex poll_mutex_;
    std::condition_variable poll_wake_;
};

}  // namespace mk27x
