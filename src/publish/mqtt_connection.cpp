#include "publish/mqtt_connection.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "recording/csv_writer.h"

namespace mk27x {
namespace {

// "The connection was lost." as "the connection was lost".
std::string Clause(std::string text) {
    while (!text.empty() && (text.back() == '.' || text.back() == '\n')) text.pop_back();
    // Only a word in capitals at its start alone ("OpenSSL" stays).
    const std::size_t word = std::min(text.find(' '), text.size());
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' &&
        std::none_of(text.begin() + 1, text.begin() + static_cast<long>(word),
                     [](char c) { return c >= 'A' && c <= 'Z'; }))
        text[0] = static_cast<char>(text[0] + 32);
    return text;
}

std::string ErrorText(int rc) {
    return Clause(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
}

// A CONNACK that refuses the client or its credentials: trying again cannot help.
bool FinalRefusal(int rc) {
    switch (rc) {
        case MQTT_RC_MALFORMED_PACKET:
        case MQTT_RC_PROTOCOL_ERROR:
        case MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION:
        case MQTT_RC_CLIENTID_NOT_VALID:
        case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
        case MQTT_RC_NOT_AUTHORIZED:
        case MQTT_RC_BANNED:
        case MQTT_RC_BAD_AUTHENTICATION_METHOD:
            return true;
        default:
            return false;
    }
}

// The refusals MQTT 3.1.1 also has, in the words operators know.
std::string RefusalReason(int rc) {
    switch (rc) {
        case MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION:
            return mosquitto_connack_string(CONNACK_REFUSED_PROTOCOL_VERSION);
        case MQTT_RC_CLIENTID_NOT_VALID:
            return mosquitto_connack_string(CONNACK_REFUSED_IDENTIFIER_REJECTED);
        case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
            return mosquitto_connack_string(CONNACK_REFUSED_BAD_USERNAME_PASSWORD);
        case MQTT_RC_NOT_AUTHORIZED:
            return mosquitto_connack_string(CONNACK_REFUSED_NOT_AUTHORIZED);
        default:
            return mosquitto_reason_string(rc);
    }
}

// A TLS failure that no retry mends: the broker's certificate or the
// handshake itself refused (an end of file or a reset is an outage).
bool FinalTlsFailure(const std::string& log) {
    for (const char* mark : {"certificate", "handshake failure", "wrong version number",
                             "unknown ca", "bad certificate", "unsupported protocol"})
        if (log.find(mark) != std::string::npos) return true;
    return false;
}

}  // namespace

MqttConnection::MqttConnection(const PublishSettings& settings, ConnectionTopics topics)
    : settings_(settings), topics_(std::move(topics)) {}

MqttConnection::~MqttConnection() {
    DestroyClient();
}

void MqttConnection::DestroyClient() {
    if (!client_) return;
    mosquitto_destroy(client_);
    client_ = nullptr;
}

int MqttConnection::Socket() const {
    return client_ ? mosquitto_socket(client_) : -1;
}

bool MqttConnection::WantWrite() const {
    return client_ && mosquitto_want_write(client_);
}

bool MqttConnection::CatchingUp() const {
    return Connected() && !queue_.empty() && queue_.front().id < backlog_end_;
}

std::string MqttConnection::StatusText(const std::string& word) const {
    std::string text = word;
    if (totals_.batches_dropped > 0) text += " dropped=" + std::to_string(totals_.batches_dropped);
    return text;
}

MqttConnection::ControlMessage MqttConnection::StatisticsMessage() const {
    // The statistics with their time and unit in front.
    const std::string stats = StatisticsJson(topics_.statistics_source->Result());
    std::string text = "{\"time\": \"" + IsoWallTime(SampleTime::Now().wall_ns) +
                       "\", \"unit\": \"mm\"" + (stats.size() > 2 ? ", " : "") + stats.substr(1);
    if (statistics_extra_.size() > 2) {
        text.pop_back();
        text += ", " + statistics_extra_.substr(1);
    }
    return {Control::Statistics, topics_.statistics, std::move(text)};
}

PublishTotals MqttConnection::Totals() const {
    PublishTotals t = totals_;
    for (const Entry& e : queue_) {
        ++t.batches_unsent;
        t.samples_unsent += e.batch.Size();
    }
    return t;
}

void MqttConnection::Collect(TimePoint now, bool all) {
    std::vector<SampleBatch> batches;
    for (BatchStream* s : streams_) {
        const std::size_t from = batches.size();
        s->Take(batches, now, all);
        for (std::size_t i = from; i < batches.size(); ++i) {
            newest_ns_ = std::max(newest_ns_, batches[i].LastMonotonicNs());
            queue_.push_back({next_id_++, s, std::move(batches[i])});
        }
    }
    if (queue_.empty()) return;
    // The bound: the newest `buffer_seconds` of sample time.
    const std::int64_t newest = newest_ns_;
    const auto bound_ns = static_cast<std::int64_t>(settings_.buffer_seconds * 1e9);
    while (!queue_.empty() && newest - queue_.front().batch.t0_monotonic_ns > bound_ns) {
        Entry& e = queue_.front();
        if (e.sent) {
            for (auto it = batch_mids_.begin(); it != batch_mids_.end(); ++it)
                if (it->second == e.id) {
                    batch_mids_.erase(it);
                    break;
                }
            if (!e.acked && settings_.qos > 0) --in_flight_;
        }
        ++totals_.batches_dropped;
        totals_.samples_dropped += e.batch.Size();
        queue_.pop_front();
        if (next_send_ > 0) --next_send_;
    }
}

void MqttConnection::Attempt(TimePoint now) {
    DestroyClient();
    connack_ = disconnected_ = false;
    receive_maximum_ = -1;
    last_error_log_.clear();
    client_ = mosquitto_new(nullptr, true, this);
    if (!client_) {
        Refuse(std::string("cannot make an MQTT client: ") + std::strerror(errno));
        return;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, OnConnect);
    mosquitto_disconnect_v5_callback_set(client_, OnDisconnect);
    mosquitto_publish_v5_callback_set(client_, OnPublish);
    mosquitto_log_callback_set(client_, OnLog);
    const MqttTarget& t = settings_.target;
    if (!t.user.empty())
        mosquitto_username_pw_set(
            client_, t.user.c_str(),
            settings_.password.empty() ? nullptr : settings_.password.c_str());
    if (t.tls) {
        int rc = MOSQ_ERR_SUCCESS;
        if (!settings_.cafile.empty())
            rc = mosquitto_tls_set(client_, settings_.cafile.c_str(), nullptr, nullptr, nullptr,
                                   nullptr);
        else
            rc = mosquitto_int_option(client_, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            Refuse(settings_.cafile.empty() ? std::string("TLS: ") + mosquitto_strerror(rc)
                                            : "TLS: cannot use the CA file " + settings_.cafile +
                                                  ": " + mosquitto_strerror(rc));
            return;
        }
    }
    if (!topics_.status.empty())
        mosquitto_will_set(client_, topics_.status.c_str(), 7, "offline", settings_.qos, true);
    const int rc = mosquitto_connect_async(client_, t.host.c_str(), t.port, settings_.keepalive_s);
    if (rc == MOSQ_ERR_SUCCESS) {
        state_ = State::Connecting;
        connect_started_ = now;
    } else if (rc == MOSQ_ERR_TLS && FinalTlsFailure(last_error_log_)) {
        Refuse("TLS: " + last_error_log_);
    } else {
        // Down, unreachable or not resolved: tried again.
        Lost(now, last_error_log_.empty() ? ErrorText(rc) : Clause(last_error_log_));
    }
}

void MqttConnection::RetryNow(TimePoint now) {
    if (state_ != State::Waiting) return;
    retry_at_ = now;
    retry_delay_ = kFirstRetry;
}

void MqttConnection::Lost(TimePoint now, const std::string& reason) {
    DestroyClient();
    for (Entry& e : queue_) e.sent = e.acked = false;
    // An acknowledged entry behind an unacknowledged one is sent again too: it
    // stays in order in the queue, and a repeat is harmless (its seq tells).
    next_send_ = 0;
    in_flight_ = 0;
    batch_mids_.clear();
    // Statistics in flight are due again; identity and status are told anew
    // at the next CONNACK.
    for (const auto& [mid, c] : control_mids_)
        if (c.kind == Control::Statistics) next_statistics_ = now;
    control_mids_.clear();
    controls_.clear();
    if (state_ == State::Closing || state_ == State::Disconnecting) {
        state_ = State::Closed;
        return;
    }
    if (!failing_) {
        failing_ = true;
        failing_since_ = now;
    }
    failure_ = reason;
    state_ = State::Waiting;
    retry_at_ = now + retry_delay_;
    retry_delay_ = std::min(retry_delay_ * 2, kLastRetry);
}

void MqttConnection::Refuse(const std::string& reason) {
    DestroyClient();
    refusal_ = reason;
    state_ = State::Refused;
}

void MqttConnection::Step(TimePoint now) {
    if (state_ == State::Waiting && now >= retry_at_) Attempt(now);
    if (state_ == State::Connecting && now - connect_started_ > kConnectTimeout)
        Lost(now, "no answer within " + std::to_string(kConnectTimeout.count()) + " s");
    if (state_ == State::Closing) PublishQueue(now);
    if (state_ != State::Connected) return;
    if (!topics_.statistics.empty() && now >= next_statistics_) {
        next_statistics_ = now + kStatisticsPeriod;
        controls_.push_back(StatisticsMessage());
    }
    if (!topics_.status.empty() && totals_.batches_dropped != dropped_told_ &&
        now - status_told_at_ >= std::chrono::seconds(1)) {
        dropped_told_ = totals_.batches_dropped;
        status_told_at_ = now;
        controls_.push_back({Control::Status, topics_.status, StatusText(status_word_)});
    }
    PublishQueue(now);
}

void MqttConnection::SetStatusWord(const std::string& word) {
    if (word == status_word_) return;
    status_word_ = word;
    // Not connected, the next CONNACK tells it; closing, "offline" comes last.
    if (state_ == State::Connected && !topics_.status.empty())
        controls_.push_back({Control::Status, topics_.status, StatusText(word)});
}

void MqttConnection::SetIdentity(const std::string& json) {
    if (json == topics_.identity_json) return;
    topics_.identity_json = json;
    if (state_ == State::Connected && !topics_.identity.empty() && !json.empty())
        controls_.push_back({Control::Identity, topics_.identity, json});
}

bool MqttConnection::HasRoom() const {
    return settings_.qos == 0 || in_flight_ < window_;
}

void MqttConnection::PublishQueue(TimePoint now) {
    if (now < pause_until_) return;
    // Identity, status and statistics first: they are few and small.
    while (!controls_.empty() && HasRoom()) {
        ControlMessage& c = controls_.front();
        int mid = -1;
        // All retained: a subscriber coming later gets the latest of each.
        const int rc =
            mosquitto_publish(client_, &mid, c.topic.c_str(), static_cast<int>(c.text.size()),
                              c.text.data(), settings_.qos, true);
        if (rc != MOSQ_ERR_SUCCESS) return;  // the loop sees the connection's end
        if (settings_.qos > 0) {
            ++in_flight_;
            control_mids_.emplace(mid, std::move(c));
        }
        controls_.pop_front();
    }
    // Closing, nothing comes after "offline".
    while (state_ == State::Connected && HasRoom()) {
        while (next_send_ < queue_.size() && queue_[next_send_].sent) ++next_send_;
        if (next_send_ >= queue_.size()) break;
        Entry& e = queue_[next_send_];
        const std::string payload = BatchJson(e.batch, e.stream->UnitJson());
        int mid = -1;
        const int rc = mosquitto_publish(client_, &mid, e.stream->Topic().c_str(),
                                         static_cast<int>(payload.size()), payload.data(),
                                         settings_.qos, false);
        if (rc != MOSQ_ERR_SUCCESS) return;
        e.sent = true;
        ++next_send_;
        if (settings_.qos == 0) {
            e.acked = true;
        } else {
            ++in_flight_;
            batch_mids_[mid] = e.id;
        }
    }
    // At QoS 0 what was handed over leaves at once.
    PopAcknowledged();
    if (state_ == State::Closing && settings_.qos == 0 && controls_.empty()) {
        mosquitto_disconnect(client_);
        state_ = State::Disconnecting;
    }
}

void MqttConnection::PopAcknowledged() {
    while (!queue_.empty() && queue_.front().acked) {
        ++totals_.batches_sent;
        totals_.samples_sent += queue_.front().batch.Size();
        queue_.pop_front();
        if (next_send_ > 0) --next_send_;
    }
}

void MqttConnection::Acknowledged(int mid, int reason) {
    // A reason of 0x80 or more: the broker did not take the message (its
    // quota, say); it goes out again after a pause.
    const bool refused = reason >= MQTT_RC_UNSPECIFIED;
    if (refused) ++totals_.messages_refused;
    if (const auto c = control_mids_.find(mid); c != control_mids_.end()) {
        --in_flight_;
        if (refused) {
            // A status sent again says the word of now: a later one may be in.
            if (c->second.kind == Control::Status) c->second.text = StatusText(status_word_);
            controls_.push_front(std::move(c->second));
            control_mids_.erase(c);
            pause_until_ = std::chrono::steady_clock::now() + kRefusalPause;
            return;
        }
        const bool offline = c->second.kind == Control::Offline;
        control_mids_.erase(c);
        if (offline && state_ == State::Closing) {
            mosquitto_disconnect(client_);
            state_ = State::Disconnecting;
        }
        return;
    }
    const auto it = batch_mids_.find(mid);
    if (it == batch_mids_.end()) return;
    const std::uint64_t id = it->second;
    batch_mids_.erase(it);
    if (queue_.empty() || id < queue_.front().id) return;
    const auto index = static_cast<std::size_t>(id - queue_.front().id);
    if (index >= queue_.size() || queue_[index].acked) return;
    --in_flight_;
    if (refused) {
        queue_[index].sent = false;
        next_send_ = std::min(next_send_, index);
        pause_until_ = std::chrono::steady_clock::now() + kRefusalPause;
        return;
    }
    queue_[index].acked = true;
    PopAcknowledged();
}

void MqttConnection::Accepted(TimePoint now) {
    state_ = State::Connected;
    retry_delay_ = kFirstRetry;
    failing_ = false;
    backlog_end_ = next_id_;
    window_ = receive_maximum_ > 0
                  ? std::min<std::size_t>(static_cast<std::size_t>(receive_maximum_), kMaxWindow)
                  : kDefaultWindow;
    if (!topics_.identity.empty() && !topics_.identity_json.empty())
        controls_.push_back({Control::Identity, topics_.identity, topics_.identity_json});
    for (const auto& [topic, text] : topics_.retained)
        controls_.push_back({Control::Retained, topic, text});
    if (!topics_.status.empty()) {
        dropped_told_ = totals_.batches_dropped;
        status_told_at_ = now;
        controls_.push_back({Control::Status, topics_.status, StatusText(status_word_)});
    }
    // The first statistics a period after the first connection; those due
    // while the broker was away go out now.
    if (next_statistics_ == TimePoint::max()) next_statistics_ = now + kStatisticsPeriod;
    PublishQueue(now);
}

void MqttConnection::Loop(TimePoint now) {
    if (!client_) return;
    const int rc = mosquitto_loop(client_, 0, 1);
    if (connack_) {
        connack_ = false;
        if (connack_rc_ == 0) {
            Accepted(now);
        } else if (FinalRefusal(connack_rc_)) {
            Refuse("the broker refused the connection: " + RefusalReason(connack_rc_));
            return;
        } else {
            Lost(now, "the broker refused the connection: " + Clause(RefusalReason(connack_rc_)));
            return;
        }
    }
    if (state_ == State::Disconnecting && disconnected_) {
        DestroyClient();
        state_ = State::Closed;
        return;
    }
    const bool tls_failed =
        rc == MOSQ_ERR_TLS || last_error_log_.find("OpenSSL Error") != std::string::npos;
    if (tls_failed && state_ == State::Connecting && FinalTlsFailure(last_error_log_)) {
        Refuse("TLS: " + last_error_log_);
        return;
    }
    if (disconnected_ || rc != MOSQ_ERR_SUCCESS || tls_failed)
        Lost(now, last_error_log_.empty()
                      ? ErrorText(rc == MOSQ_ERR_SUCCESS ? MOSQ_ERR_CONN_LOST : rc)
                      : Clause(last_error_log_));
}

void MqttConnection::BeginClose(TimePoint now) {
    if (state_ == State::Refused || state_ == State::Closed) return;
    if (state_ != State::Connected) {
        DestroyClient();
        state_ = State::Closed;
        return;
    }
    if (!topics_.statistics.empty()) controls_.push_back(StatisticsMessage());
    state_ = State::Closing;
    if (topics_.status.empty()) {
        mosquitto_disconnect(client_);
        state_ = State::Disconnecting;
        return;
    }
    controls_.push_back({Control::Offline, topics_.status, StatusText("offline")});
    pause_until_ = {};
    PublishQueue(now);
}

void MqttConnection::OnConnect(mosquitto*, void* self, int rc, int, const mqtt5__property* props) {
    auto* c = static_cast<MqttConnection*>(self);
    c->connack_ = true;
    c->connack_rc_ = rc;
    std::uint16_t maximum = 0;
    if (mosquitto_property_read_int16(props, MQTT_PROP_RECEIVE_MAXIMUM, &maximum, false))
        c->receive_maximum_ = maximum;
}

void MqttConnection::OnDisconnect(mosquitto*, void* self, int, const mqtt5__property*) {
    static_cast<MqttConnection*>(self)->disconnected_ = true;
}

void MqttConnection::OnPublish(mosquitto*, void* self, int mid, int reason,
                               const mqtt5__property*) {
    static_cast<MqttConnection*>(self)->Acknowledged(mid, reason);
}

void MqttConnection::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text) static_cast<MqttConnection*>(self)->last_error_log_ = text;
}

}  // namespace mk27x
