// GroupRun: the run loop of a sensor group, the one every front end drives (the
// command line's `mk27x monitor`, the monitor window, the service).
//
// The caller builds and connects the group, attaches its sinks, then calls
// Start, Tick often (every 16 to 50 ms) and Stop. Each Tick hands the samples
// to the aligner (the rows to the sinks), takes in losses and returns of
// sensors (see SensorGroup: a lost sensor is asked again once a second while
// the others go on) and, once a second, flushes the recordings and the sinks.
//
// What happens to the sensors is data: the events since the last TakeEvents
// (Lost, Back, WrongSensor), and each sensor's state with its losses (Status).
// Each front end words them itself. The events are kept in a bounded queue
// (the oldest go first past kMaxEvents), so a service that drains it seldom,
// or never, runs for weeks without growth.
//
// A layer above the group (the publisher) hooks in through GroupRunHook: it is
// told every change of a sensor's state, and may end the run (a broker that
// refuses the connection): Tick then says so and does nothing more.
//
// Threading: one thread (the group's run thread), Start to Stop; the hook is
// called on it during Tick.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "group/sensor_group.h"
#include "platform/clock.h"

namespace mk27x {

class GroupRunHook {
public:
    virtual ~GroupRunHook() = default;
    // A sensor's state changed (Streaming or Polled at Start and on its return,
    // Lost when it stops answering).
    virtual void SensorStateChanged(std::size_t /*sensor*/, SensorState /*state*/) {}
    // True when the run must end (the hook's reason, its own to tell).
    virtual bool EndsRun() const { return false; }
};

class GroupRun {
public:
    static constexpr std::size_t kMaxEvents = 1024;

    // The group outlives the run; `hook` may be null, and may be set later.
    GroupRun(SensorGroup& group, Clock& clock, GroupRunHook* hook = nullptr)
        : group_(group), clock_(clock), hook_(hook) {}
    // Stop().
    ~GroupRun();
    GroupRun(const GroupRun&) = delete;
    GroupRun& operator=(const GroupRun&) = delete;

    void SetHook(GroupRunHook* hook) { hook_ = hook; }
    // The group's Start; the events emptied, the hook told every state.
    void Start();
    enum class Step { Going, Ended };
    // One turn of the loop (see above); Ended once the hook ends the run (the
    // group still runs: the caller stops it).
    Step Tick();
    // The group's Stop. Nothing when not running.
    void Stop();
    bool Running() const { return group_.Running(); }

    // The events since the last call, oldest first.
    std::vector<GroupEvent> TakeEvents();
    // Events dropped because nobody took them in time.
    std::size_t EventsDropped() const { return dropped_; }
    SensorStatus Status(std::size_t sensor) const { return group_.Status(sensor); }
    // The first sensor lost now (or, after Stop, at the end), -1 when none.
    int FirstLost() const;
    // Every sensor's losses in this run, by name: {"B": {"losses": 1,
    // "seconds_lost": 3.200}, ...}.
    std::string LossesJson() const;
    // A line for every sensor that had losses: "B: 1 loss, 3.2 s lost\n".
    std::string LossesText() const;
    SensorGroup& Group() { return group_; }

private:
    SensorGroup& group_;
    Clock& clock_;
    GroupRunHook* hook_;
    Clock::TimePoint next_second_{};
    std::vector<GroupEvent> fresh_;
    std::deque<GroupEvent> events_;
    std::size_t dropped_ = 0;
};

// An event as the text front ends (the command line, the service's log) word
// it, headed by the sensor's name: "B: No answer; retrying.", "B: back after
// 3.2 s.", "B: serial 4321 found, 1234 expected".
std::string GroupEventText(const std::string& sensor, const GroupEvent& event);

// Why a sensor of the group did not connect, in the group front ends' words
// ("cannot open PORT: REASON", "No answer."); empty when it did.
std::string ConnectFailureText(const ConnectResult& result);

}  // namespace mk27x
