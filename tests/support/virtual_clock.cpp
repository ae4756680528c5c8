#include "support/virtual_clock.h"

#include <numeric>

namespace mk27x {

void VirtualClock::Sleep(unsigned ms) {
    std::lock_guard lock(mutex_);
    pauses_.push_back(ms);
    now_ += std::chrono::milliseconds(ms);
}

Clock::TimePoint VirtualClock::Now() {
    std::lock_guard lock(mutex_);
    return now_;
}

void VirtualClock::Advance(std::chrono::microseconds d) {
    std::lock_guard lock(mutex_);
    now_ += d;
}

std::vector<unsigned> VirtualClock::Pauses() const {
    std::lock_guard lock(mutex_);
    return pauses_;
}

void VirtualClock::ClearPauses() {
    std::lock_guard lock(mutex_);
    pauses_.clear();
}

unsigned long VirtualClock::TotalPausedMs() const {
    std::lock_guard lock(mutex_);
    return std::accumulate(pauses_.begin(), pauses_.end(), 0UL);
}

}  // namespace mk27x
