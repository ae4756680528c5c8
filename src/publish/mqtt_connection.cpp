#include "publish/mqtt_connection.h"

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace mk27x {

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

std::string MqttConnection::StatusText(const char* state) const {
    std::string text = state;
    if (totals_.batches_dropped > 0) text += " dropped=" + std::to_string(totals_.batches_dropped);
    return text;
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
            queue_.push_back({next_id_++, &s->Topic(), std::move(batches[i])});
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
            if (!e.acked) --in_flight_;
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
    last_error_log_.clear();
    client_ = mosquitto_new(nullptr, true, this);
    if (!client_) {
        Refuse(std::string("cannot make an MQTT client: ") + std::strerror(errno));
        return;
    }
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_publish_callback_set(client_, OnPublish);
    mosquitto_log_callback_set(client_, OnLog);
    // The window is ours; the client sends what it is given.
    mosquitto_max_inflight_messages_set(client_, 0);
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
    } else if (rc == MOSQ_ERR_TLS) {
        Refuse("TLS: " + (last_error_log_.empty() ? mosquitto_strerror(rc) : last_error_log_));
    } else {
        Lost(now);  // down, unreachable or not resolved: tried again
    }
}

void MqttConnection::Lost(TimePoint now) {
    DestroyClient();
    for (Entry& e : queue_) e.sent = e.acked = false;
    // An acknowledged entry behind an unacknowledged one is sent again too: it
    // stays in order in the queue, and a repeat is harmless (its seq tells).
    next_send_ = 0;
    in_flight_ = 0;
    batch_mids_.clear();
    control_mids_.clear();
    if (state_ == State::Closing || state_ == State::Disconnecting) {
        state_ = State::Closed;
        return;
    }
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
    if (state_ == State::Connecting && now - connect_started_ > kConnectTimeout) Lost(now);
    if (state_ != State::Connected) return;
    if (!topics_.statistics.empty() && now >= next_statistics_) {
        next_statistics_ = now + kStatisticsPeriod;
        PublishText(topics_.statistics, StatisticsJson(topics_.statistics_source->Result()), false);
    }
    if (!topics_.status.empty() && totals_.batches_dropped != dropped_told_ &&
        now - status_told_at_ >= std::chrono::seconds(1)) {
        dropped_told_ = totals_.batches_dropped;
        status_told_at_ = now;
        PublishText(topics_.status, StatusText("online"), true);
    }
    PublishQueue();
}

int MqttConnection::PublishText(const std::string& topic, const std::string& text, bool retain) {
    int mid = -1;
    const int rc = mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(text.size()),
                                     text.data(), settings_.qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) return -1;
    if (settings_.qos > 0) control_mids_.insert(mid);
    return mid;
}

void MqttConnection::PublishQueue() {
    while (in_flight_ < kWindow && next_send_ < queue_.size()) {
        Entry& e = queue_[next_send_];
        const std::string payload = BatchJson(e.batch);
        int mid = -1;
        const int rc =
            mosquitto_publish(client_, &mid, e.topic->c_str(), static_cast<int>(payload.size()),
                              payload.data(), settings_.qos, false);
        if (rc != MOSQ_ERR_SUCCESS) return;  // the loop sees the connection's end
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
    while (!queue_.empty() && queue_.front().acked) {
        ++totals_.batches_sent;
        totals_.samples_sent += queue_.front().batch.Size();
        queue_.pop_front();
        if (next_send_ > 0) --next_send_;
    }
}

void MqttConnection::Acknowledged(int mid) {
    if (mid == offline_mid_ && state_ == State::Closing) {
        mosquitto_disconnect(client_);
        state_ = State::Disconnecting;
        return;
    }
    if (control_mids_.erase(mid) > 0) return;
    const auto it = batch_mids_.find(mid);
    if (it == batch_mids_.end()) return;
    const std::uint64_t id = it->second;
    batch_mids_.erase(it);
    if (queue_.empty() || id < queue_.front().id) return;
    const auto index = static_cast<std::size_t>(id - queue_.front().id);
    if (index >= queue_.size() || queue_[index].acked) return;
    queue_[index].acked = true;
    --in_flight_;
    while (!queue_.empty() && queue_.front().acked) {
        ++totals_.batches_sent;
        totals_.samples_sent += queue_.front().batch.Size();
        queue_.pop_front();
        if (next_send_ > 0) --next_send_;
    }
}

void MqttConnection::Loop(TimePoint now) {
    if (!client_) return;
    const int rc = mosquitto_loop(client_, 0, 1);
    if (connack_) {
        connack_ = false;
        if (connack_rc_ != 0) {
            Refuse(std::string("the broker refused the connection: ") +
                   mosquitto_connack_string(connack_rc_));
            return;
        }
        state_ = State::Connected;
        retry_delay_ = kFirstRetry;
        if (!topics_.identity.empty()) PublishText(topics_.identity, topics_.identity_json, true);
        if (!topics_.status.empty()) {
            dropped_told_ = totals_.batches_dropped;
            status_told_at_ = now;
            PublishText(topics_.status, StatusText("online"), true);
        }
        next_statistics_ = now + kStatisticsPeriod;
        PublishQueue();
    }
    if (state_ == State::Disconnecting && disconnected_) {
        DestroyClient();
        state_ = State::Closed;
        return;
    }
    if (rc == MOSQ_ERR_TLS || last_error_log_.find("OpenSSL Error") != std::string::npos) {
        Refuse("TLS: " + (last_error_log_.empty() ? mosquitto_strerror(rc) : last_error_log_));
        return;
    }
    if (disconnected_ || rc != MOSQ_ERR_SUCCESS) Lost(now);
}

void MqttConnection::BeginClose(TimePoint now) {
    (void)now;
    if (state_ == State::Refused || state_ == State::Closed) return;
    if (state_ != State::Connected) {
        DestroyClient();
        state_ = State::Closed;
        return;
    }
    if (!topics_.statistics.empty())
        PublishText(topics_.statistics, StatisticsJson(topics_.statistics_source->Result()), false);
    if (topics_.status.empty()) {
        mosquitto_disconnect(client_);
        state_ = State::Disconnecting;
        return;
    }
    offline_mid_ = PublishText(topics_.status, StatusText("offline"), true);
    control_mids_.erase(offline_mid_);
    state_ = State::Closing;
    if (settings_.qos == 0 || offline_mid_ < 0) {
        mosquitto_disconnect(client_);
        state_ = State::Disconnecting;
    }
}

void MqttConnection::OnConnect(mosquitto*, void* self, int rc) {
    auto* c = static_cast<MqttConnection*>(self);
    c->connack_ = true;
    c->connack_rc_ = rc;
}

void MqttConnection::OnDisconnect(mosquitto*, void* self, int) {
    static_cast<MqttConnection*>(self)->disconnected_ = true;
}

void MqttConnection::OnPublish(mosquitto*, void* self, int mid) {
    static_cast<MqttConnection*>(self)->Acknowledged(mid);
}

void MqttConnection::OnLog(mosquitto*, void* self, int level, const char* text) {
    if (level == MOSQ_LOG_ERR && text) static_cast<MqttConnection*>(self)->last_error_log_ = text;
}

}  // namespace mk27x
