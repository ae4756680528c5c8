// A real ser2net serial server for the network port tests, started by the test
// on a loopback port in front of a pseudo-terminal, raw or telnet/RFC 2217.
// Stopped (SIGTERM, then SIGKILL) and reaped with the object.
#pragma once

#include <unistd.h>

#include <chrono>
#include <string>

#include "support/test_server.h"

namespace mk27x::testing {

inline constexpr const char* kSer2netPath = "/usr/sbin/ser2net";

inline bool Ser2netInstalled() {
    return ::access(kSer2netPath, X_OK) == 0;
}

class Ser2net {
public:
    enum class Mode { Raw, Rfc2217 };

    // Serves `device` at 115200 8E1 on 127.0.0.1:Port(). With `chardelay` (the
    // server's default) it holds what the device sends for at least a
    // millisecond before passing it on.
    Ser2net(const std::string& device, Mode mode, bool chardelay = true) : mode_(mode) {
        port_ = FreeLoopbackPort();
        const std::string accepter = std::string(mode == Mode::Rfc2217 ? "telnet(rfc2217)," : "") +
                                     "tcp,127.0.0.1," + std::to_string(port_);
        const std::string config = "connection: &mk27x#  accepter: " + accepter +
                                   "#  connector: serialdev," + device + ",115200e81,local" +
                                   (chardelay ? "" : "#  options:#    chardelay: false");
        pid_file_ = "/tmp/mk27x-ser2net-" + std::to_string(::getpid()) + "-" +
                    std::to_string(port_) + ".pid";
        pid_ = Spawn({kSer2netPath, "-n", "-u", "-P", pid_file_, "-Y", config});
        listening_ = WaitListening(pid_, port_, std::chrono::seconds(5));
    }
    ~Ser2net() { Stop(); }
    Ser2net(const Ser2net&) = delete;
    Ser2net& operator=(const Ser2net&) = delete;

    bool Listening() const { return listening_; }
    int Port() const { return port_; }
    std::string Address() const {
        return std::string(mode_ == Mode::Rfc2217 ? "rfc2217" : "tcp") +
               "://127.0.0.1:" + std::to_string(port_);
    }

    // Ends the server at once (its connections close).
    void Stop() {
        if (pid_ <= 0) return;
        EndProcess(pid_, SIGKILL);
        ::unlink(pid_file_.c_str());
    }

private:
    Mode mode_;
    int port_ = 0;
    pid_t pid_ = -1;
    bool listening_ = false;
    std::string pid_file_;
};

}  // namespace mk27x::testing
