// One broker connection of the publisher (see mqtt_publisher.h): its client,
// its topics, and its queue of batches in order, each leaving the queue when
// the broker acknowledged it.
//
// A new libmosquitto client (MQTT 5) is made for every attempt, so that the
// only record of what is in flight is this queue: after a reconnect every
// batch not acknowledged goes out again, first, in order. At most as many
// messages are in flight as the broker's CONNACK allows (its Receive Maximum,
// 20 when it names none); a message the broker refuses (a reason code in its
// PUBACK or PUBREC, a quota say) goes out again after a short pause.
//
// Any end of an accepted connection (end of file, reset, TLS, keep-alive) and
// any attempt that fails or gets no CONNACK within kConnectTimeout is an
// outage: tried again after kFirstRetry, doubling up to kLastRetry. Only a
// CONNACK refusing the client or its credentials, or a TLS handshake refusing
// the broker's certificate, is final (Refused).
//
// Threading: the publisher's thread only (libmosquitto's callbacks run within
// Loop), except the streams' Add.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

#include "publish/mqtt_publisher.h"
#include "publish/sample_batch.h"
#include "recording/sample_statistics.h"

struct mosquitto;
struct mqtt5__property;

namespace mk27x {

struct ConnectionTopics {
    // Empty for a connection without status, identity and statistics.
    std::string status;
    std::string identity;
    std::string identity_json;
    std::string statistics;
    const StatisticsAccumulator* statistics_source = nullptr;
    // Retained once per connection: {topic, payload}, the channels' definitions.
    std::vector<std::pair<std::string, std::string>> retained;
};

class MqttConnection {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // In flight when the broker names no Receive Maximum, and at most.
    static constexpr std::size_t kDefaultWindow = 20;
    static constexpr std::size_t kMaxWindow = 64;
    static constexpr std::chrono::milliseconds kFirstRetry{500};
    static constexpr std::chrono::milliseconds kLastRetry{10000};
    static constexpr std::chrono::seconds kConnectTimeout{2};
    static constexpr std::chrono::milliseconds kRefusalPause{100};
    static constexpr std::chrono::seconds kStatisticsPeriod{10};

    MqttConnection(const PublishSettings& settings, ConnectionTopics topics);
    ~MqttConnection();
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;

    void AddStream(BatchStream& stream) { streams_.push_back(&stream); }
    // A retained message told at every connection (a channel's definition).
    void AddRetained(std::string topic, std::string text) {
        topics_.retained.emplace_back(std::move(topic), std::move(text));
    }

    // The status word ("online", "lost"), told now and at every connection
    // (the will and the end still say "offline").
    void SetStatusWord(const std::string& word);
    // The identity JSON, told now and at every connection (empty: not known).
    void SetIdentity(const std::string& json);
    // A JSON object whose members follow the statistics' own ("{}": none).
    void SetStatisticsExtra(const std::string& json) { statistics_extra_ = json; }

    // The streams' batches into the queue (all of them with `all`), the bound.
    void Collect(TimePoint now, bool all);
    // Connects when due; publishes what the window allows.
    void Step(TimePoint now);
    // The next attempt at once (the end of a run does not wait for back-off).
    void RetryNow(TimePoint now);
    // The client's socket (-1 without one) and whether it has bytes to write.
    int Socket() const;
    bool WantWrite() const;
    // libmosquitto's reads, writes and keep-alive, without waiting.
    void Loop(TimePoint now);

    // The end: the statistics and "offline" published (and acknowledged), then
    // DISCONNECT.
    void BeginClose(TimePoint now);
    bool Closed() const { return state_ == State::Closed || state_ == State::Refused; }

    bool Connected() const { return state_ == State::Connected; }
    bool Refused() const { return state_ == State::Refused; }
    const std::string& RefusalText() const { return refusal_; }
    // Not connected since the connection ended or an attempt failed, and why.
    bool Failing() const { return failing_ && !Refused(); }
    const std::string& Failure() const { return failure_; }
    TimePoint FailingSince() const { return failing_since_; }
    // Connected, with batches queued before the broker came back still queued.
    bool CatchingUp() const;
    std::size_t Queued() const { return queue_.size(); }
    bool QueueEmpty() const { return queue_.empty(); }
    std::size_t Window() const { return window_; }
    std::uint64_t BatchesSent() const { return totals_.batches_sent; }
    // With the queue's remains counted as unsent.
    PublishTotals Totals() const;

private:
    enum class State { Waiting, Connecting, Connected, Closing, Disconnecting, Closed, Refused };
    struct Entry {
        std::uint64_t id = 0;
        const BatchStream* stream = nullptr;
        SampleBatch batch;
        bool sent = false;
        bool acked = false;
    };
    enum class Control { Identity, Status, Statistics, Retained, Offline };
    struct ControlMessage {
        Control kind;
        std::string topic;
        std::string text;
    };

    static void OnConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property* props);
    static void OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property* props);
    static void OnPublish(mosquitto*, void* self, int mid, int reason, const mqtt5__property*);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    void Attempt(TimePoint now);
    void Accepted(TimePoint now);
    void Lost(TimePoint now, const std::string& reason);
    void Refuse(const std::string& reason);
    void DestroyClient();
    void Acknowledged(int mid, int reason);
    void PublishQueue(TimePoint now);
    bool HasRoom() const;
    void PopAcknowledged();
    ControlMessage StatisticsMessage() const;
    std::string StatusText(const std::string& word) const;

    const PublishSettings& settings_;
    ConnectionTopics topics_;
    std::vector<BatchStream*> streams_;
    mosquitto* client_ = nullptr;
    State state_ = State::Waiting;
    TimePoint retry_at_{};
    std::chrono::milliseconds retry_delay_ = kFirstRetry;
    TimePoint connect_started_{};
    TimePoint next_statistics_ = TimePoint::max();
    TimePoint pause_until_{};
    std::string refusal_;
    std::string last_error_log_;
    bool failing_ = false;
    std::string failure_;
    TimePoint failing_since_{};
    // Entries with a lower id were queued when the broker came back.
    std::uint64_t backlog_end_ = 0;
    // Set by the callbacks, handled after the loop.
    bool connack_ = false;
    int connack_rc_ = 0;
    int receive_maximum_ = -1;
    bool disconnected_ = false;

    std::deque<Entry> queue_;
    std::uint64_t next_id_ = 0;
    // The newest sample time queued so far.
    std::int64_t newest_ns_ = INT64_MIN;
    // Index of the first entry not sent yet.
    std::size_t next_send_ = 0;
    std::size_t window_ = kDefaultWindow;
    std::size_t in_flight_ = 0;
    std::unordered_map<int, std::uint64_t> batch_mids_;
    std::deque<ControlMessage> controls_;
    std::unordered_map<int, ControlMessage> control_mids_;
    std::uint64_t dropped_told_ = 0;
    TimePoint status_told_at_{};
    std::string status_word_ = "online";
    std::string statistics_extra_;
    PublishTotals totals_;
};

}  // namespace mk27x
