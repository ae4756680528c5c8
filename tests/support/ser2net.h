// A real ser2net serial server for the network port tests, started by the test
// on a loopback port in front of a pseudo-terminal, raw or telnet/RFC 2217.
// Stopped (SIGTERM, then SIGKILL) and reaped with the object.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace mk27x::testing {

inline constexpr const char* kSer2netPath = "/usr/sbin/ser2net";

inline bool Ser2netInstalled() {
    return ::access(kSer2netPath, X_OK) == 0;
}

// A loopback TCP port nobody listens on right now.
inline int FreeLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

inline bool LoopbackListening(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
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
        std::vector<std::string> args = {kSer2netPath, "-n", "-u", "-P", pid_file_, "-Y", config};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawn(&pid_, kSer2netPath, &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (pid_ > 0 && !LoopbackListening(port_) && std::chrono::steady_clock::now() < give_up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        listening_ = pid_ > 0 && LoopbackListening(port_);
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
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
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
