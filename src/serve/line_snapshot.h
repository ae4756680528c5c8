// LineSnapshot: what the line service knows of its sensors and channels at one
// instant, the one thing its network views (Modbus, HTTP) read.
//
// The run loop builds a new snapshot from the group's rows and states (about
// ten times a second, and at every change of a sensor's state) and publishes it
// to a SnapshotBoard; a server thread takes the latest one and answers a whole
// request from it, so a reader never sees half of one update and never holds up
// the run loop: publishing swaps a pointer, taking copies it.
//
// Items are the sensors in the order given, then the channels.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace mk27x {

enum class ItemKind : std::uint8_t { Sensor, Channel };

// The state of an item's latest value (the numbers are those of the Modbus map).
enum class ItemState : std::uint8_t {
    Fresh = 0,         // a value within two periods
    NoValue = 1,       // no value within two periods
    Lost = 2,          // the sensor stopped answering and is being retried
    ChannelEmpty = 3,  // an input is missing or the expression is undefined
};

// The judgement of a value against its item's limits (numbers as in the map).
enum class Judgement : std::uint8_t { None = 0, Ok = 1, Low = 2, High = 3 };

// Inclusive limits in mm: LOW..HIGH.
struct Limits {
    double low = 0;
    double high = 0;
};

// None for an empty value (NaN) or no limits; Ok within [low, high].
inline Judgement Judge(double value_mm, const std::optional<Limits>& limits) {
    if (!limits || std::isnan(value_mm)) return Judgement::None;
    if (value_mm < limits->low) return Judgement::Low;
    if (value_mm > limits->high) return Judgement::High;
    return Judgement::Ok;
}

// How many of an item's values were judged each way.
struct JudgementCounts {
    std::uint64_t ok = 0;
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::uint64_t none = 0;

    void Add(Judgement j) {
        switch (j) {
            case Judgement::Ok:
                ++ok;
                break;
            case Judgement::Low:
                ++low;
                break;
            case Judgement::High:
                ++high;
                break;
            case Judgement::None:
                ++none;
                break;
        }
    }
};

struct ItemSnapshot {
    std::string name;
    ItemKind kind = ItemKind::Sensor;
    double value_mm = NAN;  // NaN when empty
    ItemState state = ItemState::NoValue;
    Judgement judgement = Judgement::None;
    std::optional<Limits> limits;
    std::uint64_t count = 0;   // the item's values since the service started
    JudgementCounts judged;    // every row's judgement since the service started
    std::uint32_t age_ms = 0;  // of the latest value (0 when there is none)
    std::uint32_t losses = 0;  // sensors: times it stopped answering
    // Sensors: the identity read at connect (model 0 before the first one).
    int model = 0;
    int serial = 0;
    int base_mm = 0;
    int range_mm = 0;
    std::string port;
    // Channels: the expression as given.
    std::string expression;
};

struct LineSnapshot {
    std::uint64_t sequence = 0;       // counts the snapshots published
    std::uint32_t uptime_s = 0;       // since the service started
    std::int64_t wall_time_ns = 0;    // UNIX time of the snapshot
    std::vector<ItemSnapshot> items;  // sensors, then channels
};

// The latest snapshot, handed from the run loop to any number of readers.
class SnapshotBoard {
public:
    void Publish(std::shared_ptr<const LineSnapshot> snapshot) {
        std::lock_guard lock(mutex_);
        latest_ = std::move(snapshot);
    }
    // The latest snapshot; never null (an empty one before the first).
    std::shared_ptr<const LineSnapshot> Latest() const {
        std::lock_guard lock(mutex_);
        return latest_;
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const LineSnapshot> latest_ = std::make_shared<const LineSnapshot>();
};

}  // namespace mk27x
