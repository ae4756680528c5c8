// End to end: the mk27x-sim program on a pseudo-terminal.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/pty.h"
#include "support/temp_dir.h"

extern char** environ;

namespace mk27x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace mk27x::testing;

// A running mk27x-sim with its stdout on a pipe.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        args.insert(args.begin(), MK27X_SIM_PATH);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int pipe_fds[2];
        if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
        const int rc = posix_spawn(&pid_, MK27X_SIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(pipe_fds[1]);
        out_fd_ = pipe_fds[0];
        if (rc != 0) pid_ = -1;
    }
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (out_fd_ >= 0) ::close(out_fd_);
    }

    bool Started() const { return pid_ > 0; }

    // The first line of stdout, without its line feed.
    std::string ReadLine() {
        std::string line;
        for (;;) {
            const Bytes b = ReadExactly(out_fd_, 1);
            if (b.empty() || b[0] == '\n') return line;
            line.push_back(static_cast<char>(b[0]));
        }
    }

    // Sends `sig` (0: none), waits for the end and returns the exit status
    // (-1 unless it exited normally).
    int Wait(int sig = 0) {
        if (pid_ <= 0) return -1;
        if (sig != 0) ::kill(pid_, sig);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
    int out_fd_ = -1;
};

TEST(SimExecutable, ServesTheConfiguredSensorThroughItsLink) {
    TempDir dir("mk27x-sim-test");
    ASSERT_TRUE(dir.Made());
    const std::string link = dir.Path("sensor");
    // A stale link from an earlier run is replaced.
    ASSERT_EQ(::symlink("/nonexistent", link.c_str()), 0);

    SimProcess sim({"--model", "28", "--serial", "4321", "--link", link});
    ASSERT_TRUE(sim.Started());
    const std::string slave = sim.ReadLine();
    ASSERT_EQ(slave.rfind("/dev/", 0), 0u) << slave;

    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), slave);

    const int fd = OpenRaw(link);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x81}));
    EXPECT_EQ(ReadExactly(fd, 16), (Bytes{0x8C, 0x81, 0x82, 0x80, 0x81, 0x8E, 0x80, 0x81, 0x84,
                                          0x86, 0x80, 0x80, 0x82, 0x83, 0x80, 0x80}));
    ::close(fd);

    EXPECT_EQ(sim.Wait(SIGTERM), 0);
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0) << "link left behind";
}

TEST(SimExecutable, FaultOptionsReachTheSensor) {
    SimProcess sim({"--short-reply", "0x81", "--source", "constant", "--value", "-2"});
    ASSERT_TRUE(sim.Started());
    const int fd = OpenRaw(sim.ReadLine());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x81, 0x01, 0x86}));
    const Bytes got = ReadExactly(fd, 19);
    ASSERT_EQ(got.size(), 19u);
    EXPECT_EQ(Bytes(got.begin() + 15, got.end()), (Bytes{0x8E, 0x8F, 0x8F, 0x8F}));
    ::close(fd);
    EXPECT_EQ(sim.Wait(SIGINT), 0);
}

// --stream-pause-at / --stream-pause-ms: after 50 frames at 1000 a second
// nothing comes for 300 ms, and the frames due meanwhile are lost.
TEST(SimExecutable, StreamPauseLosesTheFramesOfThePause) {
    SimProcess sim({"--stream-rate", "1000", "--stream-pause-at", "50", "--stream-pause-ms", "300",
                    "--source", "ramp", "--value", "0", "--amplitude", "30000", "--period",
                    "30000"});
    ASSERT_TRUE(sim.Started());
    const int fd = OpenRaw(sim.ReadLine());
    ASSERT_GE(fd, 0);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x87}));
    const Bytes got = ReadExactly(fd, 51 * 4);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    WriteAll(fd, {0x01, 0x88});
    ::close(fd);
    ASSERT_EQ(got.size(), 51u * 4);
    std::vector<int> values;  // a frame's value is its sample number
    for (std::size_t f = 0; f < 51; ++f) {
        int v = 0;
        for (std::size_t i = 0; i < 4; ++i) v |= (got[4 * f + i] & 0x0F) << (4 * i);
        values.push_back(v);
    }
    for (int f = 0; f < 50; ++f) EXPECT_EQ(values[static_cast<std::size_t>(f)], f);
    EXPECT_GE(values[50], 50 + 299);
    EXPECT_GE(elapsed, std::chrono::milliseconds(350));
    EXPECT_EQ(sim.Wait(SIGINT), 0);
}

// --version answers as the other programs do; a bad command line fails.
TEST(SimExecutable, VersionAndBadCommandLine) {
    SimProcess unknown({"--no-such-option", "1"});
    SimProcess bad_address({"--address", "128"});
    EXPECT_EQ(unknown.Wait(), 2);
    EXPECT_EQ(bad_address.Wait(), 2);
    SimProcess version({"--version"});
    EXPECT_EQ(version.ReadLine().rfind("mk27x-sim 0.", 0), 0u);
    EXPECT_EQ(version.Wait(), 0);

    // --link never replaces a file that is not a link.
    char path[] = "/tmp/mk27x-sim-file-XXXXXX";
    const int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    ::close(file);
    SimProcess sim({"--link", path});
    EXPECT_EQ(sim.Wait(), 1);
    struct stat st {};
    EXPECT_TRUE(::lstat(path, &st) == 0 && S_ISREG(st.st_mode));
    ::unlink(path);
}

}  // namespace
}  // namespace mk27x::sim
