// GroupPublishing: a sensor group's run published to an MQTT broker, as both
// front ends of the group (mk27x monitor --publish and the monitor window) do
// it: every sensor's recording under its name (or serial number), every
// computed channel's values from the group's rows under channels/<name>.
//
// It lives in a library of its own beside the publisher (mk27x_group_publishing)
// so that the publisher stays free of the group and its sessions, and the group
// free of libmosquitto: only the front ends that publish a group link both.
//
// Threading: the group's thread (the one that pumps it), as the group's sinks
// are attached and detached there; see MqttPublisher for the rest.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "group/group_run.h"
#include "group/group_sinks.h"
#include "group/sensor_group.h"
#include "publish/mqtt_publisher.h"

namespace mk27x {

class GroupPublishing final : public GroupRunHook {
public:
    // Attaches the publisher to `group` and starts it. Between the group's runs:
    // after its channels are set, before its Start; the group outlives this.
    GroupPublishing(SensorGroup& group, PublishSettings settings);
    // Finish().
    ~GroupPublishing();
    GroupPublishing(const GroupPublishing&) = delete;
    GroupPublishing& operator=(const GroupPublishing&) = delete;

    // The broker refused the connection (any thread).
    bool Refused() const { return publisher_.Refused(); }
    std::string RefusalText() const { return publisher_.RefusalText(); }
    int Connected() const { return publisher_.Connected(); }
    bool Unreachable() const { return publisher_.Unreachable(); }
    std::vector<PublishEvent> TakeEvents() { return publisher_.TakeEvents(); }
    std::uint64_t Queued() const { return publisher_.Queued(); }
    const PublishSettings& Settings() const { return publisher_.Settings(); }

    // The run's hook: a sensor's status topic follows its state ("lost" while
    // it is lost, "online" again on its return), and a sensor that joins after
    // the start has its identity told then (none is told before); a refusing
    // broker ends the run.
    void SensorStateChanged(std::size_t sensor, SensorState state) override;
    bool EndsRun() const override { return Refused(); }
    // The status word a sensor's status topic is to carry now.
    const std::string& SensorStatusWord(std::size_t sensor) const { return status_[sensor]; }
    // A JSON object whose members a sensor's statistics carry from now on (the
    // judgements of a service, say). Any thread.
    void SetStatisticsExtra(std::size_t sensor, const std::string& json) {
        publisher_.SetSensorStatisticsExtra(sensor, json);
    }

    // Detaches from the group (best after its Stop, so that every row went out),
    // gives the queues their time to go out and tells how publishing ended.
    // Idempotent: later calls tell the same.
    PublishEnding Finish();

private:
    SensorGroup& group_;
    MqttPublisher publisher_;
    std::vector<RecordingSink*> sensors_;
    std::unique_ptr<GroupColumnsToSinks> channels_;
    std::optional<PublishEnding> ending_;
    std::vector<std::string> status_;
    // The identity each sensor's topic was told (serial 0: none yet).
    std::vector<SensorIdentity> identity_told_;
};

}  // namespace mk27x
