// Waiting in a test for something another thread, process or peer does.
//
// Threading: none of its own; `holds` is called on the caller's thread.
#pragma once

#include <chrono>
#include <thread>

namespace mk27x::testing {

// Polls `holds` until it is true; false when `safety` passes first. The time
// is a safety net for a test that would otherwise hang, never a pace.
template <typename Pred>
bool Eventually(Pred holds, std::chrono::milliseconds safety = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + safety;
    while (!holds()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

}  // namespace mk27x::testing
