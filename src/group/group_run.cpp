#include "group/group_run.h"

#include <chrono>

#include "recording/sample_statistics.h"

namespace mk27x {

GroupRun::~GroupRun() {
    Stop();
}

void GroupRun::Start() {
    if (group_.Running()) return;
    events_.clear();
    group_.Start();
    next_second_ = clock_.Now() + std::chrono::seconds(1);
    if (hook_)
        for (std::size_t i = 0; i < group_.Size(); ++i)
            hook_->SensorStateChanged(i, group_.Status(i).state);
}

GroupRun::Step GroupRun::Tick() {
    if (!group_.Running() || (hook_ && hook_->EndsRun())) return Step::Ended;
    group_.Pump();
    fresh_.clear();
    group_.Check(fresh_);
    for (const GroupEvent& e : fresh_) {
        if (hook_ && e.kind != GroupEvent::Kind::WrongSensor)
            hook_->SensorStateChanged(e.sensor, group_.Status(e.sensor).state);
        if (events_.size() >= kMaxEvents) {
            events_.pop_front();
            ++dropped_;
        }
        events_.push_back(e);
    }
    if (const auto now = clock_.Now(); now >= next_second_) {
        next_second_ = now + std::chrono::seconds(1);
        group_.Flush();
        group_.Aligner().FlushSinks();
    }
    return Step::Going;
}

void GroupRun::Stop() {
    group_.Stop();
}

std::vector<GroupEvent> GroupRun::TakeEvents() {
    std::vector<GroupEvent> taken(events_.begin(), events_.end());
    events_.clear();
    return taken;
}

int GroupRun::FirstLost() const {
    for (std::size_t i = 0; i < group_.Size(); ++i)
        if (group_.Status(i).state == SensorState::Lost) return static_cast<int>(i);
    return -1;
}

std::string GroupRun::LossesJson() const {
    std::string json;
    for (std::size_t i = 0; i < group_.Size(); ++i) {
        const SensorStatus s = group_.Status(i);
        json += std::string(json.empty() ? "" : ", ") + "\"" + group_.Spec(i).name +
                "\": {\"losses\": " + std::to_string(s.losses) +
                ", \"seconds_lost\": " + FixedNumber(s.seconds_lost, 3) + "}";
    }
    return "{" + json + "}";
}

std::string GroupRun::LossesText() const {
    std::string text;
    for (std::size_t i = 0; i < group_.Size(); ++i) {
        const SensorStatus s = group_.Status(i);
        if (s.losses == 0) continue;
        text += group_.Spec(i).name + ": " + std::to_string(s.losses) +
                (s.losses == 1 ? " loss, " : " losses, ") + FixedNumber(s.seconds_lost, 1) +
                " s lost\n";
    }
    return text;
}

std::string ConnectFailureText(const ConnectResult& c) {
    switch (c.outcome) {
        case ConnectOutcome::PortNotOpened:
            return "cannot open " + c.port.port_name +
                   (c.port.reason.empty() ? "" : ": " + c.port.reason);
        case ConnectOutcome::NotIdentified:
            return "No answer. Please change parameters.";
        case ConnectOutcome::Connected:
            return {};
        case ConnectOutcome::OpenedOnly:
        case ConnectOutcome::ReadFailed:
            break;
    }
    return "No answer.";
}

std::string GroupEventText(const std::string& sensor, const GroupEvent& event) {
    switch (event.kind) {
        case GroupEvent::Kind::Lost:
            return sensor + ": No answer; retrying.";
        case GroupEvent::Kind::Back:
            return sensor + ": back after " + FixedNumber(event.lost_s, 1) + " s.";
        case GroupEvent::Kind::WrongSensor:
            return sensor + ": serial " + std::to_string(event.found) + " found, " +
                   std::to_string(event.expected) + " expected";
    }
    return sensor;
}

}  // namespace mk27x
