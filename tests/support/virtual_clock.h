// Test clock: Sleep() records the pause and advances Now() without waiting, so
// that tests run the exact pause sequence of the protocol without waiting for
// it. Thread-safe, so a test may read the record while another thread sleeps.
#pragma once

#include <chrono>
#include <mutex>
#include <vector>

#include "platform/clock.h"

namespace mk27x {

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
