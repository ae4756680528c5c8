// Pseudo-terminals for the tests, in one place.
//
// PtyPair: a raw pair on which a test opens the slave side as a serial device
// through the backend and plays the peer on the master side (ScriptedPeer writes
// bytes at given offsets). The free functions are the client side: open a slave
// raw at a given speed, read with generous time-outs (safety nets only; nothing
// waits for them on success).
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace mk27x::testing {

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

class PtyPair {
public:
    PtyPair() {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        char name[128];
        if (::ptsname_r(master_, name, sizeof name) != 0) return;
        slave_path_ = name;
        termios tio{};
        ::tcgetattr(master_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(master_, TCSANOW, &tio);
    }
    ~PtyPair() { CloseMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // Hangs up the line: the slave side sees the peer gone.
    void CloseMaster() {
        if (master_ >= 0) ::close(master_);
        master_ = -1;
    }

    bool ok() const { return master_ >= 0 && !slave_path_.empty(); }
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

    void Send(const std::vector<std::uint8_t>& bytes) const {
        [[maybe_unused]] ssize_t n = ::write(master_, bytes.data(), bytes.size());
    }

    // Everything the slave side sends until `quiet_ms` pass with nothing new.
    std::vector<std::uint8_t> Receive(int quiet_ms = 100) const {
        std::vector<std::uint8_t> got;
        std::uint8_t chunk[4096];
        for (;;) {
            pollfd p{master_, POLLIN, 0};
            if (::poll(&p, 1, quiet_ms) <= 0 || !(p.revents & POLLIN)) break;
            const ssize_t n = ::read(master_, chunk, sizeof chunk);
            if (n <= 0) break;
            got.insert(got.end(), chunk, chunk + n);
        }
        return got;
    }

    // True once no one holds the slave side open any more.
    bool SlaveClosed() const {
        pollfd p{master_, POLLIN, 0};
        return ::poll(&p, 1, 200) > 0 && (p.revents & POLLHUP);
    }

private:
    int master_ = -1;
    std::string slave_path_;
};

// Writes single bytes on the master side at given offsets (ms from Start()).
class ScriptedPeer {
public:
    struct Step {
        int at_ms;
        std::vector<std::uint8_t> bytes;
    };
    ScriptedPeer(const PtyPair& pty, std::vector<Step> steps)
        : pty_(pty), steps_(std::move(steps)) {}
    ~ScriptedPeer() { Join(); }

    void Start() {
        const auto start = std::chrono::steady_clock::now();
        thread_ = std::thread([this, start] {
            for (const Step& s : steps_) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(s.at_ms));
                pty_.Send(s.bytes);
            }
        });
    }
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    const PtyPair& pty_;
    std::vector<Step> steps_;
    std::thread thread_;
};

}  // namespace mk27x::testing
