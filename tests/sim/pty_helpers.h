// Client side of a pseudo-terminal for the tests: open raw at a given speed,
// read with generous time-outs (safety nets only; nothing waits for them on
// success).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace mk27x::sim::testing {

inline constexpr auto kSafetyTimeout = std::chrono::seconds(10);

// Opens the slave like a serial port: raw, 8 data bits, even parity, the speed given.
inline int OpenRaw(const std::string& path, speed_t speed = B115200) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fd;
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfmakeraw(&tio);
    tio.c_cflag |= PARENB | CLOCAL | CREAD;
    ::cfsetspeed(&tio, speed);
    ::tcsetattr(fd, TCSANOW, &tio);
    return fd;
}

inline void SetSpeed(int fd, speed_t speed) {
    termios tio{};
    ::tcgetattr(fd, &tio);
    ::cfsetspeed(&tio, speed);
    ::tcsetattr(fd, TCSANOW, &tio);
}

inline bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// Reads exactly n bytes, or fewer when the safety time-out passes first.
inline std::vector<std::uint8_t> ReadExactly(int fd, std::size_t n) {
    std::vector<std::uint8_t> out;
    const auto deadline = std::chrono::steady_clock::now() + kSafetyTimeout;
    while (out.size() < n && std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        std::uint8_t buf[65536];
        const std::size_t want = std::min(n - out.size(), sizeof buf);
        const ssize_t got = ::read(fd, buf, want);
        if (got > 0) out.insert(out.end(), buf, buf + got);
    }
    return out;
}

// Polls `done` until it holds or the safety time-out passes.
template <typename Predicate>
bool WaitFor(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + kSafetyTimeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        ::usleep(1000);
    }
    return true;
}

}  // namespace mk27x::sim::testing
