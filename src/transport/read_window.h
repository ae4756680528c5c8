// The two limits of one read under ReadTimeouts: the total time-out, counted
// from the start of the read, and the gap between two bytes, counted from the
// last byte once the first has arrived. Shared by the serial and USB backends,
// which differ only in how they wait for bytes.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

#include "transport/transport.h"

namespace mk27x {

class ReadWindow {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    ReadWindow(ReadTimeouts timeouts, std::size_t count, TimePoint start)
        : interval_(std::chrono::milliseconds(timeouts.interval)),
          deadline_(start + std::chrono::milliseconds(timeouts.TotalFor(count))) {}

    // Call when one or more bytes have arrived at `now`.
    void BytesArrived(TimePoint now) {
        last_byte_ = now;
        any_byte_ = true;
    }

    // How long the read may still wait at `now`; zero or less means it is over.
    Duration Remaining(TimePoint now) const {
        Duration left = deadline_ - now;
        if (any_byte_) left = std::min(left, Duration(last_byte_ + interval_ - now));
        return left;
    }

    bool Expired(TimePoint now) const { return Remaining(now) <= Duration::zero(); }

    // Remaining time in whole milliseconds, rounded up, for calls that take ms.
    int RemainingMs(TimePoint now) const {
        const Duration left = Remaining(now);
        if (left <= Duration::zero()) return 0;
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
    }

private:
    Duration interval_;
    TimePoint deadline_;
    TimePoint last_byte_{};
    bool any_byte_ = false;
};

}  // namespace mk27x
