// One broker connection of the publisher (see mqtt_publisher.h): its client,
// its topics, and its queue of batches in order, each leaving the queue when
// the broker acknowledged it.
//
// A new libmosquitto client is made for every attempt, so that the only record
// of what is in flight is this queue: after a reconnect every batch not
// acknowledged goes out again, first, in order.
//
// Threading: the publisher's thread only (libmosquitto's callbacks run within
// Loop), except the streams' Add.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "link/sample_statistics.h"
#include "publish/mqtt_publisher.h"
#include "publish/sample_batch.h"

struct mosquitto;
struct mosquitto_message;

namespace mk27x {

struct ConnectionTopics {
    // Empty for a connection without status, identity and statistics.
    std::string status;
    std::string identity;
    std::string identity_json;
    std::string statistics;
    const StatisticsAccumulator* statistics_source = nullptr;
};

class MqttConnection {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    // At most this many batches await their acknowledgement.
    static constexpr std::size_t kWindow = 64;
    static constexpr std::chrono::milliseconds kFirstRetry{500};
    static constexpr std::chrono::milliseconds kLastRetry{10000};
    static constexpr std::chrono::seconds kConnectTimeout{10};
    static constexpr std::chrono::seconds kStatisticsPeriod{10};

    MqttConnection(const PublishSettings& settings, ConnectionTopics topics);
    ~MqttConnection();
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;

    void AddStream(BatchStream& stream) { streams_.push_back(&stream); }

    // The streams' batches into the queue (all of them with `all`), the bound.
    void Collect(TimePoint now, bool all);
    // Connects when due; publishes what the window allows.
    void Step(TimePoint now);
    // The client's socket (-1 without one) and whether it has bytes to write.
    int Socket() const;
    bool WantWrite() const;
    // libmosquitto's reads, writes and keep-alive, without waiting.
    void Loop(TimePoint now);

    // The end: "offline" published (and acknowledged), then DISCONNECT.
    void BeginClose(TimePoint now);
    bool Closed() const { return state_ == State::Closed || state_ == State::Refused; }

    bool Connected() const { return state_ == State::Connected; }
    bool Refused() const { return state_ == State::Refused; }
    const std::string& RefusalText() const { return refusal_; }
    bool QueueEmpty() const { return queue_.empty(); }
    // Batches waiting in the queue (sent ones until acknowledged).
    std::size_t Queued() const { return queue_.size(); }
    // With the queue's remains counted as unsent.
    PublishTotals Totals() const;

private:
    enum class State { Waiting, Connecting, Connected, Closing, Disconnecting, Closed, Refused };
    struct Entry {
        std::uint64_t id = 0;
        const std::string* topic = nullptr;
        SampleBatch batch;
        bool sent = false;
        bool acked = false;
    };

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);
    static void OnLog(mosquitto*, void* self, int level, const char* text);

    void Attempt(TimePoint now);
    void Lost(TimePoint now);
    void Refuse(const std::string& reason);
    void DestroyClient();
    void Acknowledged(int mid);
    void PublishQueue();
    // A control message (identity, status, statistics); its mid, or -1.
    int PublishText(const std::string& topic, const std::string& text, bool retain);
    std::string StatusText(const char* state) const;

    const PublishSettings& settings_;
    const ConnectionTopics topics_;
    std::vector<BatchStream*> streams_;
    mosquitto* client_ = nullptr;
    State state_ = State::Waiting;
    TimePoint retry_at_{};
    std::chrono::milliseconds retry_delay_ = kFirstRetry;
    TimePoint connect_started_{};
    TimePoint next_statistics_{};
    std::string refusal_;
    std::string last_error_log_;
    // Set by the callbacks, handled after the loop.
    bool connack_ = false;
    int connack_rc_ = 0;
    bool disconnected_ = false;

    std::deque<Entry> queue_;
    std::uint64_t next_id_ = 0;
    // The newest sample time queued so far.
    std::int64_t newest_ns_ = INT64_MIN;
    // Index of the first entry not sent yet.
    std::size_t next_send_ = 0;
    std::size_t in_flight_ = 0;
    std::unordered_map<int, std::uint64_t> batch_mids_;
    std::unordered_set<int> control_mids_;
    int offline_mid_ = -1;
    std::uint64_t dropped_told_ = 0;
    TimePoint status_told_at_{};
    PublishTotals totals_;
};

}  // namespace mk27x
