// Time for the sensor link: every pause of the protocol goes through a Clock,
// so that tests run the exact pause sequence without waiting for it.
#pragma once

#include <chrono>

namespace mk27x {

class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    // Blocks the calling thread for `ms` milliseconds.
    virtual void Sleep(unsigned ms) = 0;
    // Monotonic time.
    virtual TimePoint Now() = 0;
};

// The real thing: steady_clock and this_thread::sleep_for. (Tests use a
// virtual clock that records the pauses instead of waiting.)
class SystemClock final : public Clock {
public:
    void Sleep(unsigned ms) override;
    TimePoint Now() override;
    // The process-wide instance.
    static SystemClock& Instance();
};

}  // namespace mk27x
