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
// Each sensor's messages go to the group's message box headed by its name
// ("A: No answer."), so the operator knows which sensor spoke. Every sample goes
// to its session's recording (its statistics and ring, as for one sensor) and,
// with its sensor and sample time, to the aligner, whose rows go to the sinks
// attached to it.
//
// Threading: Connect, Start, Pump, Flush, LostSensor, EndLost and Stop come from
// one thread (the command line's main thread, the window thread), which also
// attaches the aligner's sinks; the sinks are called there, during Pump and
// Stop. Between Start and Stop the sessions belong to their readers and pollers:
// only LinkAlive and Statistics may be asked of them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "group/aligner.h"
#include "group/channel.h"
#include "group/sensor_spec.h"
#include "group/shared_line.h"
#include "platform/message_box.h"
#include "session/session.h"

namespace mk27x {

enum class SensorMode { Stream, Poll };

struct GroupOptions {
    // Polling cycles per second on a shared line (each of its sensors is
    // measured once per cycle): the interval of the program's timed series.
    double poll_rate_hz = 1000.0 / kSeriesPeriodMs;
    AlignerOptions aligner;
};

// A message box that heads every text with the name of its sensor.
class SensorMessageBox final : public MessageBox {
public:
    SensorMessageBox(MessageBox& inner, std::string name) : inner_(inner), name_(std::move(name)) {}
    int Show(const std::string& text, const std::string& caption, unsigned flags) override {
        return inner_.Show(name_ + ": " + text, caption, flags);
    }

private:
    MessageBox& inner_;
    std::string name_;
};

class SensorGroup {
public:
    // `sensors` must pass CheckGroup; `channels` are compiled over their names.
    SensorGroup(MessageBox& messages, Clock& clock, const PortBackends& backends,
                std::vector<SensorSpec> sensors, std::vector<std::unique_ptr<Channel>> channels,
                GroupOptions options = {});
    // Stop().
    ~SensorGroup();
    SensorGroup(const SensorGroup&) = delete;
    SensorGroup& operator=(const SensorGroup&) = delete;

    std::size_t Size() const { return members_.size(); }
    const SensorSpec& Spec(std::size_t sensor) const { return members_[sensor]->spec; }
    SensorMode Mode(std::size_t sensor) const { return members_[sensor]->mode; }
    SensorSession& Session(std::size_t sensor) { return *members_[sensor]->session; }
    GroupAligner& Aligner() { return aligner_; }
    const std::vector<std::string>& Columns() const { return aligner_.Columns(); }

    // Opens, identifies and reads every sensor in the order given; the outcome
    // of each, for the front end to word.
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
    // A second has passed: the sinks hand out what they buffer.
    void Flush();
    // The first sensor (in the order given) that no longer answers, or -1: a
    // stream that brought nothing for its reader's time-out, or a polled sensor
    // whose last three requests went unanswered. Ask once a second.
    int LostSensor() const;
    // The end of a sensor that no longer answers (its session's EndLostLink,
    // "NAME: No answer."), then Stop for the others.
    void EndLost(std::size_t sensor);
    // Pollers joined, every stream told to stop, the last rows given out and the
    // sinks ended. Nothing when not running.
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
        std::unique_ptr<SensorMessageBox> messages;
        SampleInbox inbox;
        std::atomic<std::uint64_t> received{0};
        Feed feed{inbox, received};
        // Polled sensors: requests in a row that went unanswered.
        std::atomic<int> failures{0};
        // Last, so that it goes first: its end may still reach the feed.
        std::unique_ptr<SensorSession> session;
    };
    struct Poller {
        std::vector<std::size_t> sensors;
        std::thread thread;
    };

    void Poll(const std::vector<std::size_t>& sensors);
    void StopPollers();

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
