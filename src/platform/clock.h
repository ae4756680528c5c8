// Time for the sensor link: every pause of the protocol goes through a Clock,
// so that tests run the exact pause sequence without waiting for it.
#pragma once

#include <chrono>
#include <mutex>
#include <vector>

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

// The real thing: steady_clock and this_thread::sleep_for.
class SystemClock final : public Clock {
public:
    void Sleep(unsigned ms) override;
    TimePoint Now() override;
    // The process-wide instance.
    static SystemClock& Instance();
};

// Test clock: Sleep() records the pause and advances Now() without waiting.
// Thread-safe, so a test may read the record while another thread sleeps.
class VirtualClock final : public Clock {
public:
    void Sleep(unsigned ms) override;
    TimePoint Now() override;
    // Moves time forward without recording a pause (for simulated waits).
    void Advance(std::chrono::microseconds d);
    std::vector<unsigned> Pauses() const;
    void ClearPauses();
    // Sum of all recorded pauses in milliseconds.
    unsigned long TotalPausedMs() const;

private:
    mutable std::mutex mutex_;
    std::vector<unsigned> pauses_;
    TimePoint now_{};
};

}  // namespace mk27x
