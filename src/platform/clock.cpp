#include "clock.h"

#include <thread>

namespace mk27x {

void SystemClock::Sleep(unsigned ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

Clock::TimePoint SystemClock::Now() {
    return std::chrono::steady_clock::now();
}

SystemClock& SystemClock::Instance() {
    static SystemClock clock;
    return clock;
}

}  // namespace mk27x
