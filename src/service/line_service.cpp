#include "service/line_service.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sstream>

#include "publish/group_publishing.h"
#include "recording/sample_file.h"

namespace mk27x {
namespace {

constexpr auto kSnapshotEvery = std::chrono::milliseconds(100);
constexpr auto kSlice = std::chrono::milliseconds(50);
// A value older than this is no longer fresh (the rows come at the sensors'
// rate; the run loop hands them on every 50 ms).
constexpr std::int64_t kFreshNs = 1000000000;

std::int64_t SystemWallNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace

// What the snapshot tells of every column: its latest value, when it came, how
// many came and how they were judged.
class LineService::LiveColumns final : public GroupSink {
public:
    struct Column {
        double value = NAN;
        std::int64_t at_ns = 0;
        bool any = false;
        std::uint64_t count = 0;
        std::optional<Limits> limits;
        Judgement judgement = Judgement::None;
        JudgementCounts judged;
    };

    explicit LiveColumns(std::vector<Column> columns) : columns_(std::move(columns)) {}

    void Add(std::span<const GroupRow> rows) override {
        for (const GroupRow& row : rows) {
            for (std::size_t c = 0; c < row.values.size() && c < columns_.size(); ++c) {
                Column& col = columns_[c];
                col.value = row.values[c];
                col.judgement = Judge(col.value, col.limits);
                col.judged.Add(col.judgement);
                if (IsEmptyValue(col.value)) continue;
                col.at_ns = row.time.monotonic_ns;
                col.any = true;
                ++col.count;
            }
        }
    }
    const std::vector<Column>& Columns() const { return columns_; }

private:
    std::vector<Column> columns_;
};

LineService::LineService(ServiceConfig config, ServiceLog& log, Clock& clock, PortBackends backends,
                         Simulate simulate, LineViewFactory modbus,
                         std::function<std::int64_t()> wall_now)
    : config_(std::move(config)),
      log_(log),
      clock_(clock),
      backends_(std::move(backends)),
      simulate_(std::move(simulate)),
      modbus_factory_(std::move(modbus)),
      wall_now_(wall_now ? std::move(wall_now) : SystemWallNow) {
    std::vector<LiveColumns::Column> columns;
    auto column = [&](const std::string& name) {
        LiveColumns::Column c;
        c.limits = config_.LimitsOf(name);
        return c;
    };
    for (const auto& s : config_.sensors) columns.push_back(column(s.spec.name));
    for (const auto& c : config_.channels) columns.push_back(column(c.spec.name));
    live_ = std::make_unique<LiveColumns>(std::move(columns));
}

LineService::~LineService() {
    Stop();
}

void LineService::AttachRows(GroupSink& sink) {
    extra_sinks_.push_back(&sink);
}

bool LineService::Start() {
    started_ = clock_.Now();
    if (config_.record_dir) {
        const std::string& dir = *config_.record_dir;
        if (::access(dir.c_str(), W_OK | X_OK) != 0) {
            log_.Say(LogLevel::Error, "cannot record in " + dir + ": " + std::strerror(errno));
            return false;
        }
        folder_ = std::make_unique<DiskFolder>(dir);
        writer_ = std::make_unique<RecordWriter>(*folder_);
        recorder_ = std::make_unique<RollingRecorder>(
            *writer_, dir, config_.rotate.value_or(RotateRule{kDefaultRotate, 0}), config_.keep,
            clock_, wall_now_, log_);
    }
    std::vector<SensorSpec> specs = config_.SensorSpecs();
    if (std::string error; simulate_ && !simulate_(specs, error)) {
        log_.Say(LogLevel::Error, "cannot start the virtual sensors: " + error);
        return false;
    }
    std::vector<std::string> names;
    for (const SensorSpec& s : specs) names.push_back(s.name);
    std::vector<std::unique_ptr<Channel>> channels;
    for (const ChannelSpec& spec : config_.ChannelSpecs()) {
        ChannelError error;
        channels.push_back(Channel::Compile(spec, names, error));
        if (!channels.back()) {
            log_.Say(LogLevel::Error, ChannelErrorText(spec, error));
            return false;
        }
    }
    GroupOptions options;
    if (config_.poll_rate_hz) options.poll_rate_hz = *config_.poll_rate_hz;
    group_ = std::make_unique<SensorGroup>(clock_, backends_, specs, std::move(channels), options);
    identified_.assign(group_->Size(), false);
    // A sensor that cannot be opened now is retried as a lost one is, while
    // the others run: why is said here, the run tells the loss.
    const std::vector<ConnectResult> outcomes = group_->Connect();
    for (std::size_t i = 0; i < group_->Size(); ++i) {
        if (outcomes[i].ok())
            SayIdentity(i);
        else
            log_.Say(LogLevel::Error,
                     group_->Spec(i).name + ": " + ConnectFailureText(outcomes[i]));
    }
    group_->Aligner().Attach(*live_);
    group_->Aligner().Attach(statistics_);
    if (recorder_) group_->Aligner().Attach(*recorder_);
    for (GroupSink* sink : extra_sinks_) group_->Aligner().Attach(*sink);
    if (config_.publish.Any()) {
        std::string error;
        auto settings = PublishSettingsFrom(config_.publish, error);
        if (!settings) {
            log_.Say(LogLevel::Error, error);
            return false;
        }
        publishing_ = std::make_unique<GroupPublishing>(*group_, *settings);
    }
    run_ = std::make_unique<GroupRun>(*group_, clock_, publishing_.get());
    // The first client is answered from the whole map, every item in it.
    PublishSnapshot();
    if (config_.modbus) {
        if (modbus_factory_) {
            modbus_ = modbus_factory_(board_, *config_.modbus);
            if (const std::string reason = modbus_->Start(); !reason.empty()) {
                log_.Say(LogLevel::Error, "Modbus cannot listen at " + config_.modbus->host + ":" +
                                              std::to_string(config_.modbus->port) + ": " + reason);
                modbus_.reset();
                return false;
            }
        } else {
            log_.Say(LogLevel::Warning, "this build serves no Modbus: [modbus] is left aside");
        }
    }
    run_->Start();
    next_snapshot_ = clock_.Now();
    next_second_ = clock_.Now() + std::chrono::seconds(1);
    PublishSnapshot();
    RefreshStatus();
    return true;
}

bool LineService::Tick() {
    if (!run_ || !run_->Running()) return false;
    const auto wait = std::clamp(next_snapshot_ - clock_.Now(), Clock::TimePoint::duration::zero(),
                                 std::chrono::duration_cast<Clock::TimePoint::duration>(kSlice));
    clock_.Sleep(static_cast<unsigned>(
        std::max<long long>(1, std::chrono::ceil<std::chrono::milliseconds>(wait).count())));
    if (run_->Tick() == GroupRun::Step::Ended) {
        if (publishing_) log_.Say(LogLevel::Error, publishing_->RefusalText());
        return false;
    }
    const std::vector<GroupEvent> events = run_->TakeEvents();
    for (const GroupEvent& e : events) {
        log_.Say(e.kind == GroupEvent::Kind::Back ? LogLevel::Info : LogLevel::Warning,
                 GroupEventText(group_->Spec(e.sensor).name, e));
        if (e.kind == GroupEvent::Kind::Back && !identified_[e.sensor]) SayIdentity(e.sensor);
    }
    // The broker's outages, told once when they begin and once when they end.
    if (publishing_) {
        for (const PublishEvent& e : publishing_->TakeEvents())
            log_.Say(e.kind == PublishEvent::Kind::Back ? LogLevel::Info : LogLevel::Warning,
                     PublishEventText(e));
    }
    const auto now = clock_.Now();
    if (now >= next_snapshot_ || !events.empty()) {
        next_snapshot_ = std::max(next_snapshot_ + kSnapshotEvery, now);
        PublishSnapshot();
    }
    if (now < next_second_) return true;
    next_second_ = std::max(next_second_ + std::chrono::seconds(1), now);
    if (recorder_) recorder_->Poll();
    RefreshStatus();
    return true;
}

void LineService::SayIdentity(std::size_t sensor) {
    identified_[sensor] = true;
    const SensorSpec& s = group_->Spec(sensor);
    log_.Say(LogLevel::Info,
             s.name + ": serial number " + std::to_string(group_->Identity(sensor).SerialNumber) +
                 ", " + s.port + " at " + std::to_string(s.baud) + " baud, address " +
                 std::to_string(+s.address) +
                 (group_->Mode(sensor) == SensorMode::Stream ? ", streaming" : ", polled"));
}

void LineService::NewRecordingFile() {
    if (recorder_) recorder_->NewFile();
}

void LineService::Stop() {
    if (stopped_) return;
    stopped_ = true;
    if (run_) run_->Stop();
    if (modbus_) modbus_->Stop();
    if (publishing_) {
        RefreshStatus();  // the last judgements into the last statistics
        const PublishEnding ending = publishing_->Finish();
        if (!ending.refused)
            log_.Say(ending.totals.batches_unsent || ending.totals.batches_dropped
                         ? LogLevel::Warning
                         : LogLevel::Info,
                     ending.text);
    }
    if (writer_) writer_->Stop();
    if (recorder_) {
        recorder_->Poll();
        const RecorderStatus& r = recorder_->Status();
        log_.Say(LogLevel::Info, "recorded " + std::to_string(r.rows) + " rows in " +
                                     std::to_string(r.files) + " files in " + r.folder);
    }
    if (run_) {
        std::istringstream losses(run_->LossesText());
        for (std::string line; std::getline(losses, line);) log_.Say(LogLevel::Info, line);
    }
    if (group_) {
        PublishSnapshot();
        RefreshStatus();
    }
}

void LineService::PublishSnapshot() {
    auto snapshot = std::make_shared<LineSnapshot>();
    const auto now = clock_.Now();
    const std::int64_t now_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count();
    snapshot->sequence = ++sequence_;
    snapshot->uptime_s = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(now - started_).count());
    snapshot->wall_time_ns = wall_now_();
    const auto& columns = live_->Columns();
    const std::size_t sensors = config_.sensors.size();
    for (std::size_t c = 0; c < columns.size(); ++c) {
        const LiveColumns::Column& col = columns[c];
        ItemSnapshot item;
        const bool sensor = c < sensors;
        item.kind = sensor ? ItemKind::Sensor : ItemKind::Channel;
        item.value_mm = col.value;
        item.limits = col.limits;
        item.judgement = col.judgement;
        item.count = col.count;
        item.judged = col.judged;
        const std::int64_t age = col.any ? std::max<std::int64_t>(0, now_ns - col.at_ns) : 0;
        item.age_ms = static_cast<std::uint32_t>(std::min<std::int64_t>(age / 1000000, UINT32_MAX));
        const bool fresh = !IsEmptyValue(col.value) && age < kFreshNs;
        item.state = fresh    ? ItemState::Fresh
                     : sensor ? ItemState::NoValue
                              : ItemState::ChannelEmpty;
        if (sensor && run_ && run_->Status(c).state == SensorState::Lost) {
            // Nothing of a lost sensor is current, whatever its last row said.
            item.state = ItemState::Lost;
            item.value_mm = NAN;
            item.judgement = Judgement::None;
        }
        if (sensor) {
            const SensorSpec& spec = config_.sensors[c].spec;
            item.name = spec.name;
            item.port = group_ ? group_->Spec(c).port : spec.port;
            if (group_) {
                const SensorIdentity& id = group_->Identity(c);
                item.model = id.Model;
                item.serial = id.SerialNumber;
                item.base_mm = id.BaseDistance;
                item.range_mm = id.MeasuringRange;
            }
        } else {
            item.name = config_.channels[c - sensors].spec.name;
            item.expression = config_.channels[c - sensors].spec.expression;
        }
        snapshot->items.push_back(std::move(item));
    }
    board_.Publish(std::move(snapshot));
}

void LineService::RefreshStatus() {
    ServiceStatus s;
    s.uptime_s = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(clock_.Now() - started_).count());
    if (publishing_) {
        s.publishing = true;
        s.mqtt_connected = publishing_->Connected();
        s.mqtt_refused = publishing_->Refused();
        s.mqtt_queued = publishing_->Queued();
        if (s.mqtt_refused) s.mqtt_refusal = publishing_->RefusalText();
    }
    if (modbus_) {
        s.modbus = true;
        s.modbus_clients = modbus_->ClientCount();
    }
    if (recorder_) s.recording = recorder_->Status();
    std::string judgements = "{";
    const auto& columns = live_->Columns();
    const auto& names = statistics_.Columns();
    for (std::size_t c = 0; c < columns.size() && c < names.size(); ++c)
        judgements +=
            (c ? ", \"" : "\"") + names[c] + "\": " + JudgementCountsJson(columns[c].judged);
    // Each sensor's judgements go into its MQTT statistics too.
    for (std::size_t c = 0; publishing_ && c < columns.size() && c < group_->Size(); ++c)
        publishing_->SetStatisticsExtra(
            c, "{\"judgements\": " + JudgementCountsJson(columns[c].judged) + "}");
    s.statistics_json = "{\"statistics\": " + statistics_.Json() +
                        ", \"judgements\": " + judgements +
                        "}, \"losses\": " + (run_ ? run_->LossesJson() : "{}") + "}";
    for (std::size_t i = 0; run_ && i < group_->Size(); ++i)
        if (run_->Status(i).state == SensorState::Lost) s.lost.push_back(group_->Spec(i).name);
    std::lock_guard lock(status_mutex_);
    status_ = std::move(s);
}

ServiceStatus LineService::Status() const {
    std::lock_guard lock(status_mutex_);
    return status_;
}

std::string LineService::Summary() const {
    const ServiceStatus s = Status();
    std::string text = std::to_string(config_.sensors.size()) + " sensors";
    if (!s.lost.empty()) {
        text += ", lost:";
        for (const std::string& name : s.lost) text += " " + name;
    }
    if (s.publishing) text += ", MQTT " + std::string(s.mqtt_connected ? "connected" : "waiting");
    if (s.recording)
        text += s.recording->paused ? ", recording paused" : ", recording " + s.recording->current;
    return text;
}

std::vector<RecordFileInfo> LineService::RecordingFiles(const std::string& folder) {
    return RecordFiles(DiskFolder(folder).List());
}

}  // namespace mk27x
