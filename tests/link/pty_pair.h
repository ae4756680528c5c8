// A raw pseudo-terminal pair for serial tests: the test opens the slave side as
// a serial device through the backend and plays the peer on the master side.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace mk27x::testing {

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
