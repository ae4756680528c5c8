#include "publish/mqtt_publisher.h"

#include <mosquitto.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <utility>

#include "publish/mqtt_connection.h"
#include "publish/sample_batch.h"
#include "recording/sample_statistics.h"

namespace mk27x {
namespace {

std::once_flag library_once;
constexpr std::chrono::seconds kDownAtTheEnd{2};

std::string JsonText(const std::string& s) {
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
            out += code;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Counted(std::uint64_t batches, std::uint64_t samples) {
    return std::to_string(batches) + (batches == 1 ? " batch (" : " batches (") +
           std::to_string(samples) + " samples)";
}

double ThreadCpuNow() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

PublishTotals& PublishTotals::operator+=(const PublishTotals& o) {
    batches_sent += o.batches_sent;
    samples_sent += o.samples_sent;
    batches_dropped += o.batches_dropped;
    samples_dropped += o.samples_dropped;
    batches_unsent += o.batches_unsent;
    samples_unsent += o.samples_unsent;
    messages_refused += o.messages_refused;
    return *this;
}

std::string PublishEventText(const PublishEvent& event) {
    const auto batches = [](std::uint64_t n) {
        return std::to_string(n) + (n == 1 ? " batch" : " batches");
    };
    if (event.kind == PublishEvent::Kind::Unreachable)
        return "broker unreachable: " + event.reason + "; " + batches(event.batches) + " queued";
    return "broker back after " + FixedNumber(event.outage_seconds, 1) + " s; " +
           batches(event.batches) + " sent";
}

std::string PublishSummary(const PublishTotals& t, const MqttTarget& target) {
    std::string text =
        "published " + Counted(t.batches_sent, t.samples_sent) + " to " + target.Text();
    if (t.batches_dropped > 0)
        text += "; " + Counted(t.batches_dropped, t.samples_dropped) + " dropped";
    if (t.batches_unsent > 0)
        text += "; " + Counted(t.batches_unsent, t.samples_unsent) + " not delivered";
    return text;
}

std::string IdentityJson(const SensorIdentity& id, const std::string& port) {
    return "{\"model\": " + std::to_string(id.Model) +
           ", \"release\": " + std::to_string(id.Release) +
           ", \"serial\": " + std::to_string(id.SerialNumber) +
           ", \"base_mm\": " + std::to_string(id.BaseDistance) +
           ", \"range_mm\": " + std::to_string(id.MeasuringRange) +
           ", \"port\": " + JsonText(port) + "}";
}

// A sensor's samples and their running statistics.
class MqttPublisher::SensorSink final : public RecordingSink {
public:
    explicit SensorSink(std::string topic) : samples(std::move(topic)) {}
    void Begin(const RecordingStart& start) override { statistics.Begin(start); }
    void Add(std::span<const RecordedSample> s) override {
        samples.Add(s);
        statistics.Add(s);
    }
    void End() override { samples.Close(); }

    BatchStream samples;
    StatisticsAccumulator statistics;
};

class MqttPublisher::ChannelSink final : public RecordingSink {
public:
    ChannelSink(std::string topic, std::string unit_json)
        : samples(std::move(topic), std::move(unit_json)) {}
    void Add(std::span<const RecordedSample> s) override { samples.Add(s); }
    void End() override { samples.Close(); }

    BatchStream samples;
};

MqttPublisher::MqttPublisher(PublishSettings settings) : settings_(std::move(settings)) {
    std::call_once(library_once, [] { mosquitto_lib_init(); });
}

MqttPublisher::~MqttPublisher() {
    Finish();
}

std::string MqttPublisher::SensorLevel(const std::string& name, const SensorIdentity& identity) {
    return TopicLevel(name.empty() ? std::to_string(identity.SerialNumber) : name);
}

RecordingSink& MqttPublisher::AddSensor(const std::string& name, const SensorIdentity& identity,
                                        const std::string& port) {
    const std::string base = settings_.target.prefix + "/" + SensorLevel(name, identity) + "/";
    auto sink = std::make_unique<SensorSink>(base + "samples");
    ConnectionTopics topics{base + "status",
                            base + "identity",
                            identity.SerialNumber ? IdentityJson(identity, port) : "",
                            base + "statistics",
                            &sink->statistics,
                            {}};
    auto connection = std::make_unique<MqttConnection>(settings_, std::move(topics));
    connection->AddStream(sink->samples);
    sensors_.emplace_back(connection.get(), port);
    connections_.push_back(std::move(connection));
    sinks_.push_back(std::move(sink));
    return *sinks_.back();
}

RecordingSink& MqttPublisher::AddChannel(const std::string& name, const std::string& expression,
                                         const std::string& unit_json) {
    const std::string base = settings_.target.prefix + "/channels/" + TopicLevel(name) + "/";
    auto sink = std::make_unique<ChannelSink>(base + "samples", unit_json);
    if (!channels_) {
        connections_.push_back(std::make_unique<MqttConnection>(settings_, ConnectionTopics{}));
        channels_ = connections_.back().get();
    }
    channels_->AddStream(sink->samples);
    channels_->AddRetained(base + "definition", "{\"expression\": " + JsonText(expression) +
                                                    ", \"unit\": " + unit_json + "}");
    sinks_.push_back(std::move(sink));
    return *sinks_.back();
}

void MqttPublisher::Update(SensorUpdate update) {
    if (update.sensor >= sensors_.size()) return;
    std::lock_guard lock(mutex_);
    updates_.push_back(std::move(update));
}

void MqttPublisher::SetSensorStatus(std::size_t sensor, const std::string& word) {
    Update({SensorUpdate::Kind::Status, sensor, word});
}

void MqttPublisher::SetSensorIdentity(std::size_t sensor, const SensorIdentity& identity) {
    if (identity.SerialNumber == 0 || sensor >= sensors_.size()) return;
    Update({SensorUpdate::Kind::Identity, sensor, IdentityJson(identity, sensors_[sensor].second)});
}

void MqttPublisher::SetSensorStatisticsExtra(std::size_t sensor, const std::string& json) {
    Update({SensorUpdate::Kind::StatisticsExtra, sensor, json});
}

void MqttPublisher::Start() {
    if (thread_.joinable() || finished_) return;
    thread_ = std::thread([this] { Run(); });
}

std::vector<PublishEvent> MqttPublisher::TakeEvents() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

void MqttPublisher::TrackOutage(std::chrono::steady_clock::time_point now) {
    const auto kNever = std::chrono::steady_clock::time_point::max();
    bool failing = false, catching_up = false;
    auto since = kNever;
    std::string reason;
    std::uint64_t queued = 0, sent = 0;
    for (const auto& c : connections_) {
        if (c->Failing()) {
            failing = true;
            if (c->FailingSince() < since) {
                since = c->FailingSince();
                reason = c->Failure();
            }
        }
        catching_up = catching_up || c->CatchingUp();
        queued += c->Queued();
        sent += c->BatchesSent();
    }
    // The event first, then the state: who sees the state finds the event.
    struct Tell {
        std::atomic<bool>& flag;
        bool value;
        ~Tell() { flag = value; }
    } tell{unreachable_, failing};
    if (failing && !outage_) {
        outage_ = true;
        outage_since_ = since;
        sent_at_outage_ = sent;
        back_at_ = kNever;
        std::lock_guard lock(mutex_);
        events_.push_back({PublishEvent::Kind::Unreachable, reason, queued, 0});
    }
    if (!outage_) return;
    if (failing) {
        back_at_ = kNever;
        return;
    }
    if (back_at_ == kNever) back_at_ = now;
    if (catching_up) return;
    outage_ = false;
    const double seconds = std::chrono::duration<double>(back_at_ - outage_since_).count();
    std::lock_guard lock(mutex_);
    events_.push_back({PublishEvent::Kind::Back, {}, sent - sent_at_outage_, seconds});
}

std::string MqttPublisher::RefusalText() const {
    std::lock_guard lock(mutex_);
    return refusal_;
}

PublishTotals MqttPublisher::Finish() {
    if (!finished_) {
        finished_ = true;
        finish_ = true;
        if (thread_.joinable()) thread_.join();
        for (const auto& c : connections_) {
            c->Collect(std::chrono::steady_clock::now(), true);
            totals_ += c->Totals();
        }
    }
    return totals_;
}

void MqttPublisher::Run() {
    using Clock = std::chrono::steady_clock;
    const auto kNever = Clock::time_point::max();
    auto drain_until = kNever;
    // While finishing, the last time a connection with batches queued was up.
    auto up_at = kNever;
    auto close_until = kNever;
    auto cpu_at = Clock::now();
    std::vector<pollfd> fds;
    for (;;) {
        const auto now = Clock::now();
        const bool finishing = finish_.load();
        if (finishing && drain_until == kNever) {
            drain_until = now + settings_.drain;
            up_at = now;
            for (const auto& c : connections_) c->RetryNow(now);
        }
        std::vector<SensorUpdate> updates;
        {
            std::lock_guard lock(mutex_);
            updates.swap(updates_);
        }
        for (const SensorUpdate& u : updates) {
            MqttConnection& c = *sensors_[u.sensor].first;
            if (u.kind == SensorUpdate::Kind::Status) c.SetStatusWord(u.text);
            if (u.kind == SensorUpdate::Kind::Identity) c.SetIdentity(u.text);
            if (u.kind == SensorUpdate::Kind::StatisticsExtra) c.SetStatisticsExtra(u.text);
        }
        int connected = 0;
        std::uint64_t queued = 0;
        bool drained = true;
        bool waiting_up = false;
        for (const auto& c : connections_) {
            c->Collect(now, finishing);
            c->Step(now);
            connected += c->Connected() ? 1 : 0;
            queued += c->Queued();
            drained = drained && (c->QueueEmpty() || c->Refused());
            waiting_up = waiting_up || (!c->QueueEmpty() && c->Connected());
            if (c->Refused() && !refused_.load()) {
                {
                    std::lock_guard lock(mutex_);
                    refusal_ = c->RefusalText();
                }
                refused_ = true;
            }
        }
        connected_ = connected;
        TrackOutage(now);
        queued_ = queued;
        // A broker that is down at the end is given a few seconds to come back.
        if (finishing && waiting_up) up_at = now;
        if (finishing && close_until == kNever &&
            (drained || now >= drain_until || now - up_at >= kDownAtTheEnd)) {
            close_until = now + std::chrono::seconds(3);
            for (const auto& c : connections_) c->BeginClose(now);
        }
        if (close_until != kNever &&
            (now >= close_until || std::all_of(connections_.begin(), connections_.end(),
                                               [](const auto& c) { return c->Closed(); })))
            break;
        if (now - cpu_at >= std::chrono::seconds(1)) {
            cpu_at = now;
            cpu_seconds_ = ThreadCpuNow();
        }

        fds.clear();
        for (const auto& c : connections_) {
            const int fd = c->Socket();
            if (fd >= 0)
                fds.push_back({fd, static_cast<short>(POLLIN | (c->WantWrite() ? POLLOUT : 0)), 0});
        }
        // Short enough for the 100 ms batches and for a stop; the sinks do not
        // wake this thread.
        ::poll(fds.data(), fds.size(), 10);
        for (const auto& c : connections_) c->Loop(Clock::now());
    }
    connected_ = 0;
    cpu_seconds_ = ThreadCpuNow();
}

PublishEnding EndPublishing(MqttPublisher& publisher) {
    PublishEnding ending;
    ending.totals = publisher.Finish();
    ending.refused = publisher.Refused();
    ending.lost = ending.totals.batches_dropped + ending.totals.batches_unsent > 0;
    ending.events = publisher.TakeEvents();
    ending.text = ending.refused ? publisher.RefusalText()
                                 : PublishSummary(ending.totals, publisher.Settings().target);
    return ending;
}

}  // namespace mk27x
