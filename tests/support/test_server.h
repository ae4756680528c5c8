// Server processes the tests start (a broker, a serial server): a free
// loopback port, a program spawned with its output thrown away, the wait for
// its port to listen, and its end.
#pragma once

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace mk27x::testing {

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

enum class Output { kNone, kErrors };

// Starts `args` (args[0] a path, or a name looked up in PATH) with its output
// thrown away (its errors kept with Output::kErrors); its process id, or -1
// when it could not start.
inline pid_t Spawn(std::vector<std::string> args, Output keep = Output::kNone) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (keep == Output::kNone)
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Sends `signal` to `pid` (when it runs) and reaps it; `pid` becomes -1.
inline void EndProcess(pid_t& pid, int signal) {
    if (pid <= 0) return;
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
}

// Runs a program to its end with its output thrown away; its exit status.
inline int RunQuietly(std::vector<std::string> args) {
    const pid_t pid = Spawn(std::move(args));
    if (pid <= 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits (`limit` at most) until the started server `pid` listens at `port`.
inline bool WaitListening(pid_t pid, int port, std::chrono::seconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    while (pid > 0 && !LoopbackListening(port) && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid > 0 && LoopbackListening(port);
}

}  // namespace mk27x::testing
