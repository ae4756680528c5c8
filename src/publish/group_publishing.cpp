#include "publish/group_publishing.h"

namespace mk27x {

GroupPublishing::GroupPublishing(SensorGroup& group, PublishSettings settings)
    : group_(group), publisher_(std::move(settings)) {
    for (std::size_t i = 0; i < group_.Size(); ++i) {
        const SensorSpec& spec = group_.Spec(i);
        RecordingSink& sink =
            publisher_.AddSensor(spec.name, group_.Session(i).Identity(), spec.port);
        group_.Session(i).Recording().Attach(sink);
        sensors_.push_back(&sink);
        status_.push_back("online");
    }
    const std::vector<std::string>& columns = group_.Columns();
    std::vector<RecordingSink*> channels;
    for (std::size_t c = group_.Size(); c < columns.size(); ++c)
        channels.push_back(&publisher_.AddChannel(columns[c]));
    channels_ = std::make_unique<GroupColumnsToSinks>(group_.Size(), std::move(channels));
    group_.Aligner().Attach(*channels_);
    publisher_.Start();
}

GroupPublishing::~GroupPublishing() {
    Finish();
}

void GroupPublishing::SensorStateChanged(std::size_t sensor, SensorState state) {
    if (sensor >= status_.size()) return;
    status_[sensor] = state == SensorState::Lost ? "lost" : "online";
    // Kept for the status topic: the publisher's connections carry "online"
    // and "offline" of their own so far.
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
