#include "publish/group_publishing.h"

#include <cmath>

namespace mk27x {
namespace {

// A channel's unit as a JSON value, from how it scales with the distances: a
// channel that doubles with them is in mm ("A - B"), one that stays is a plain
// number ("A / (A - B)"), one that grows fourfold is in mm² ("A * B"); any
// other, or one not defined at the trial distances, has none known (null).
std::string ChannelUnitJson(Channel& channel, std::size_t sensors) {
    for (int trial = 0; trial < 3; ++trial) {
        std::vector<double> x(sensors), twice(sensors);
        for (std::size_t i = 0; i < sensors; ++i) {
            x[i] = 10.0 + 3.7 * static_cast<double>(i) + 1.3 * trial +
                   0.11 * static_cast<double>(i * i);
            twice[i] = 2 * x[i];
        }
        const double a = channel.Evaluate(x), b = channel.Evaluate(twice);
        if (!std::isfinite(a) || !std::isfinite(b) || std::abs(a) < 1e-9) continue;
        const double ratio = b / a;
        for (const auto& [factor, unit] :
             {std::pair{1.0, "\"1\""}, {2.0, "\"mm\""}, {4.0, "\"mm²\""}})
            if (std::abs(ratio - factor) < 1e-9 * factor) return unit;
        return "null";
    }
    return "null";
}

}  // namespace

GroupPublishing::GroupPublishing(SensorGroup& group, PublishSettings settings)
    : group_(group), publisher_(std::move(settings)) {
    for (std::size_t i = 0; i < group_.Size(); ++i) {
        const SensorSpec& spec = group_.Spec(i);
        RecordingSink& sink = publisher_.AddSensor(spec.name, group_.Identity(i), spec.port);
        group_.Session(i).Recording().Attach(sink);
        sensors_.push_back(&sink);
        status_.push_back("online");
        identity_told_.push_back(group_.Identity(i));
    }
    const std::vector<std::string>& columns = group_.Columns();
    std::vector<RecordingSink*> channels;
    const auto& compiled = group_.Aligner().Channels();
    for (std::size_t c = group_.Size(); c < columns.size(); ++c) {
        Channel* channel =
            c - group_.Size() < compiled.size() ? compiled[c - group_.Size()].get() : nullptr;
        channels.push_back(&publisher_.AddChannel(
            columns[c], channel ? channel->Expression() : std::string(),
            channel ? ChannelUnitJson(*channel, group_.Size()) : std::string("null")));
    }
    channels_ = std::make_unique<GroupColumnsToSinks>(group_.Size(), std::move(channels));
    group_.Aligner().Attach(*channels_);
    publisher_.Start();
}

GroupPublishing::~GroupPublishing() {
    Finish();
}

void GroupPublishing::SensorStateChanged(std::size_t sensor, SensorState state) {
    if (sensor >= status_.size() || state == SensorState::Idle) return;
    const char* word = state == SensorState::Lost ? "lost" : "online";
    if (status_[sensor] != word) {
        status_[sensor] = word;
        publisher_.SetSensorStatus(sensor, word);
    }
    // Joined (or back as another sensor taken at its place): its identity is
    // the group's from now on.
    const SensorIdentity& identity = group_.Identity(sensor);
    if (state != SensorState::Lost && identity.SerialNumber != 0 &&
        identity != identity_told_[sensor]) {
        identity_told_[sensor] = identity;
        publisher_.SetSensorIdentity(sensor, identity);
    }
}

PublishEnding GroupPublishing::Finish() {
    if (!ending_) {
        // Detached first: whatever the group still does no longer reaches the
        // sinks; the publisher closes their open batches itself.
        group_.Aligner().Detach(*channels_);
        for (std::size_t i = 0; i < sensors_.size(); ++i)
            group_.Session(i).Recording().Detach(*sensors_[i]);
        ending_ = EndPublishing(publisher_);
    }
    return *ending_;
}

}  // namespace mk27x
