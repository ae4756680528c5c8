// MqttPublisher: the recording published to an MQTT broker, for one sensor or
// several (a group) and for computed channels, through libmosquitto on a
// thread of its own.
//
// Topics under the URL's prefix, per sensor (its name, or its serial number
// when it has none):
//   <prefix>/<sensor>/identity     retained JSON: model, release, serial,
//                                  base_mm, range_mm, port; not told while
//                                  unknown (serial 0: a sensor not found yet)
//   <prefix>/<sensor>/status       retained "online" while publishing ("lost"
//                                  while its group has it lost: SetSensorStatus),
//                                  "offline" at the end; the broker's will sets
//                                  "offline" when the program vanishes. Once
//                                  batches were dropped: "online dropped=N".
//   <prefix>/<sensor>/samples      batches (see sample_batch.h)
//   <prefix>/<sensor>/statistics   retained, every 10 s: the recording's
//                                  statistics so far (StatisticsJson) after
//                                  their "time" and "unit", then the members
//                                  of SetSensorStatisticsExtra's object
// and per computed channel <prefix>/channels/<name>/samples and the retained
// <prefix>/channels/<name>/definition {"expression": ..., "unit": ...}.
//
// Every sensor has a broker connection of its own (a connection has one will);
// the channels share one more, without status. Batches wait in a queue per
// connection, in order; one leaves it only when the broker acknowledged it
// (QoS 1 and 2; at QoS 0 when it was handed to the socket), so whatever was in
// flight when a connection broke goes out again after the reconnect: a
// subscriber may see a batch twice (the same seq), never a hole. The queue
// keeps the newest `buffer_seconds` of sample time; older batches are dropped
// and counted. At most as many messages are in flight as the broker allows
// (see mqtt_connection.h). A broker that cannot be reached, or a connection
// that ends, is tried again after 0.5 s, 1 s, 2 s ... up to every 10 s,
// without end; the outage is told once as it begins and once when the broker
// is back and the queue caught up (TakeEvents). A broker that refuses the
// client (its credentials, its certificate) ends that connection's publishing
// and is reported through Refused().
//
// Threading: AddSensor/AddChannel before Start, then Start, Finish from one
// thread. The sinks are fed from the recording's thread and only append under
// a short lock; everything of libmosquitto runs on the publisher's thread.
// Refused(), RefusalText(), Connected(), Unreachable(), TakeEvents() and the
// SetSensor... calls may be made from any thread; the latter are handed to the
// publisher's thread, which tells them within its next turn (10 ms).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/codec.h"
#include "publish/mqtt_url.h"
#include "recording/recording_sink.h"

namespace mk27x {

struct PublishSettings {
    MqttTarget target;
    // Sent only with a user name (from the URL).
    std::string password;
    // mqtts: the CA certificates to trust; empty: the system's store.
    std::string cafile;
    int qos = 1;
    // How much sample time the queue of a connection keeps while the broker
    // cannot be reached.
    double buffer_seconds = 600;
    // At Finish, how long the queued batches may take to go out (a broker that
    // is down then is tried again at once and gets 2 s to come back).
    std::chrono::milliseconds drain{10000};
    int keepalive_s = 30;
};

struct PublishTotals {
    // Acknowledged by the broker.
    std::uint64_t batches_sent = 0;
    std::uint64_t samples_sent = 0;
    // Dropped from the queue's oldest end when the bound was reached.
    std::uint64_t batches_dropped = 0;
    std::uint64_t samples_dropped = 0;
    // Still queued at the end (the broker down, or refusing).
    std::uint64_t batches_unsent = 0;
    std::uint64_t samples_unsent = 0;
    // Messages the broker refused (its quota, say) and that went out again.
    std::uint64_t messages_refused = 0;

    PublishTotals& operator+=(const PublishTotals& o);
};

// What happened to the broker while publishing, for a front end to tell.
struct PublishEvent {
    enum class Kind { Unreachable, Back };
    Kind kind = Kind::Unreachable;
    // Unreachable: why (the first connection's reason).
    std::string reason;
    // Unreachable: the batches queued then; Back: the batches acknowledged
    // since the outage began, the backlog included.
    std::uint64_t batches = 0;
    // Back: from the loss of the connection to the broker's CONNACK.
    double outage_seconds = 0;
};

// "broker unreachable: REASON; 3 batches queued", "broker back after 5.2 s;
// 51 batches sent"
std::string PublishEventText(const PublishEvent& event);

// "published 120 batches (12000 samples) to mqtt://host:1883/plant"
// and, when there were any, "; 3 batches (3000 samples) dropped" and
// "; 2 batches (2000 samples) not delivered".
std::string PublishSummary(const PublishTotals& totals, const MqttTarget& target);

// {"model": 27, "release": 2, "serial": 1234, "base_mm": 80, "range_mm": 50, "port": "..."}
std::string IdentityJson(const SensorIdentity& identity, const std::string& port);

class MqttConnection;

class MqttPublisher {
public:
    explicit MqttPublisher(PublishSettings settings);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // A sensor's topics; `name` may be empty (the serial number names it).
    // The sink (owned by the publisher) is attached to the sensor's recording.
    RecordingSink& AddSensor(const std::string& name, const SensorIdentity& identity,
                             const std::string& port);
    // A computed channel's samples, and its definition: the expression and
    // the unit as a JSON value ("\"mm\"", "\"1\"" or null).
    RecordingSink& AddChannel(const std::string& name, const std::string& expression = "",
                              const std::string& unit_json = "null");
    // The topic level of a sensor: its name, or its serial number.
    static std::string SensorLevel(const std::string& name, const SensorIdentity& identity);

    // A sensor's (numbered in the order of AddSensor) status word: "online",
    // "lost"; told now and at every reconnection.
    void SetSensorStatus(std::size_t sensor, const std::string& word);
    // A sensor's identity once known (one found after the start); one with
    // serial number 0 is not told.
    void SetSensorIdentity(std::size_t sensor, const SensorIdentity& identity);
    // A JSON object ("{\"judgements\": {...}}") whose members the sensor's
    // statistics carry from now on.
    void SetSensorStatisticsExtra(std::size_t sensor, const std::string& json);

    void Start();
    // Closes the open batches, gives the queues `drain` to go out (2 s while
    // the broker is down), publishes
    // "offline", disconnects and joins. Idempotent.
    PublishTotals Finish();

    bool Refused() const { return refused_.load(); }
    std::string RefusalText() const;
    // Connections with the broker's CONNACK, now.
    int Connected() const { return connected_.load(); }
    // A connection is down, and not refused: the outage told (TakeEvents).
    bool Unreachable() const { return unreachable_.load(); }
    // The events since the last call, oldest first.
    std::vector<PublishEvent> TakeEvents();
    // Batches queued for the broker over all connections, now.
    std::uint64_t Queued() const { return queued_.load(); }
    // CPU time of the publisher's thread so far (updated about once a second,
    // and at its end).
    double ThreadCpuSeconds() const { return cpu_seconds_.load(); }
    const PublishSettings& Settings() const { return settings_; }

private:
    class SensorSink;
    class ChannelSink;
    struct SensorUpdate {
        enum class Kind { Status, Identity, StatisticsExtra } kind;
        std::size_t sensor;
        std::string text;
    };
    void Update(SensorUpdate update);
    void Run();
    // The outage's events from the connections' state, now.
    void TrackOutage(std::chrono::steady_clock::time_point now);

    const PublishSettings settings_;
    std::vector<std::unique_ptr<MqttConnection>> connections_;
    std::vector<std::unique_ptr<RecordingSink>> sinks_;
    MqttConnection* channels_ = nullptr;
    // Per sensor: its connection and port.
    std::vector<std::pair<MqttConnection*, std::string>> sensors_;
    std::thread thread_;
    std::atomic<bool> finish_{false};
    std::atomic<bool> refused_{false};
    std::atomic<int> connected_{0};
    std::atomic<bool> unreachable_{false};
    std::atomic<std::uint64_t> queued_{0};
    std::atomic<double> cpu_seconds_{0};
    mutable std::mutex mutex_;
    std::string refusal_;
    PublishTotals totals_;
    bool finished_ = false;
    std::vector<PublishEvent> events_;   // under mutex_
    std::vector<SensorUpdate> updates_;  // under mutex_
    // The publisher's thread's: the outage now told.
    bool outage_ = false;
    std::chrono::steady_clock::time_point outage_since_{};
    std::chrono::steady_clock::time_point back_at_{};
    std::uint64_t sent_at_outage_ = 0;
};

// The end of publishing as a front end reports it: the totals, and either the
// broker's refusal or the summary (PublishSummary); the events not taken
// before; `lost`: samples dropped or not delivered.
struct PublishEnding {
    PublishTotals totals;
    bool refused = false;
    bool lost = false;
    std::string text;
    std::vector<PublishEvent> events;
};

// Finishes `publisher` (see MqttPublisher::Finish) and tells how it ended.
PublishEnding EndPublishing(MqttPublisher& publisher);

}  // namespace mk27x
