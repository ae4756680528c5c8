// mk27x serve as systemd runs it: the program itself over virtual sensors,
// its notifications on a datagram socket, its journal priorities, SIGHUP and
// SIGTERM with every recording file whole, a configuration refused before
// anything is opened, a real full disk (tmpfs) and the unit file's check.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "calibration/tbl_files.h"
#include "serve/http_auth.h"
#include "support/eventually.h"
#include "support/run_program.h"
#include "support/test_server.h"

extern char** environ;

namespace mk27x {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

using testing::Eventually;

std::vector<std::string> CsvFiles(const std::string& dir) {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".csv") out.push_back(e.path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Every file: the header, then whole rows (index from 0, every field there).
void ExpectWholeFiles(const std::vector<std::string>& files, const std::string& header) {
    for (const std::string& file : files) {
        const std::string text = ReadAll(file);
        ASSERT_EQ(text.rfind(header + "\r\n", 0), 0u) << file;
        ASSERT_EQ(text.substr(text.size() - 2), "\r\n") << file;
        std::istringstream lines(text.substr(header.size() + 2));
        std::uint64_t index = 0;
        const auto commas = std::count(header.begin(), header.end(), ',');
        for (std::string line; std::getline(lines, line); ++index) {
            ASSERT_EQ(line.rfind(std::to_string(index) + ",", 0), 0u) << file << ": " << line;
            ASSERT_EQ(std::count(line.begin(), line.end(), ','), commas) << file << ": " << line;
        }
    }
}

// The program with its standard error in a file, its environment given.
struct Serve {
    Serve(const std::string& err, std::vector<std::string> args, std::vector<std::string> env) {
        args.insert(args.begin(), {MK27X_CLI_PATH, "serve", "--simulator"});
        std::vector<char*> argv, envp;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (char** e = environ; *e; ++e) env.push_back(*e);
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_APPEND, 0);
        EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Serve() {
        if (pid > 0) End(SIGKILL);
    }
    int End(int signal) {
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    pid_t pid = -1;
};

TEST(Serve, RunsAsANotifyServiceRollsOnSighupAndEndsOnSigtermWithWholeFiles) {
    testing::TempDir dir;
    const std::string records = dir.Path("records"), err = dir.Write("err.txt", "");
    fs::create_directory(records);
    const int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const std::string socket_path = dir.Path("notify");
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    struct stat st {};
    ASSERT_EQ(::stat(err.c_str(), &st), 0);
    std::vector<std::string> said;
    auto hear = [&](const std::string& what) {
        return Eventually([&] {
            pollfd p{sock, POLLIN, 0};
            char buffer[1024];
            while (::poll(&p, 1, 0) > 0) {
                const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
                if (n > 0) said.emplace_back(buffer, static_cast<std::size_t>(n));
            }
            return std::any_of(said.begin(), said.end(), [&](const std::string& s) {
                return s.find(what) != std::string::npos;
            });
        });
    };
    const int modbus = testing::FreeLoopbackPort();
    Serve serve(
        err,
        {"--sensor", "A=a", "--sensor", "B=b", "--channel", "t=120-A-B", "--limit", "t=70..80",
         "--record-dir", records, "--modbus", "127.0.0.1:" + std::to_string(modbus)},
        {"NOTIFY_SOCKET=" + socket_path, "WATCHDOG_USEC=1000000",
         "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)});
    ASSERT_TRUE(hear("READY=1")) << ReadAll(err);
    EXPECT_TRUE(hear("WATCHDOG=1"));
    EXPECT_TRUE(testing::LoopbackListening(modbus));
    ASSERT_TRUE(Eventually([&] { return CsvFiles(records).size() == 1; }));
    ::kill(serve.pid, SIGHUP);
    ASSERT_TRUE(Eventually([&] { return CsvFiles(records).size() == 2; })) << ReadAll(err);
    EXPECT_EQ(serve.End(SIGTERM), 0);
    EXPECT_TRUE(hear("STOPPING=1"));
    ::close(sock);
    ExpectWholeFiles(CsvFiles(records), "index,time,seconds,A,B,t");
    const std::string log = ReadAll(err);
    EXPECT_NE(log.find("<6>serving 2 sensors and 1 channels; recording in " + records),
              std::string::npos)
        << log;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.rfind("<6>", 0) == 0 || line.rfind("<4>", 0) == 0) << line;
}

TEST(Serve, ARefusedConfigurationOpensNothingAndExitsWith2) {
    testing::TempDir dir;
    const std::string config =
        dir.Write("line.toml",
                  "[[sensor]]\nname = \"A\"\nport = \"/dev/ttyS0\"\n[record]\n"
                  "folder = \"" +
                      dir.Path("never") + "\"\nkeep = \"forever\"\n");
    int status = 0;
    const std::string out = testing::Capture(
        std::string(MK27X_CLI_PATH) + " serve --config " + config + " 2>&1", status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(out.rfind("mk27x: " + config + ":6: keep must be an age", 0), 0u) << out;
    // What the command line adds is checked with the file.
    dir.Write("line.toml", "[[sensor]]\nname = \"A\"\nport = \"/dev/ttyS0\"\n");
    const std::string over = testing::Capture(
        std::string(MK27X_CLI_PATH) + " serve --config " + config + " --limit Q=1..2 2>&1", status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(over, "mk27x: limits for Q, which is neither a sensor nor a channel\n");
    EXPECT_FALSE(fs::exists(dir.Path("never")));
}

TEST(Serve, AFullDiskPausesTheRecordingAndSpaceBroughtBackResumesIt) {
    testing::TempDir dir;
    const std::string disk = dir.Path("disk"), err = dir.Write("err.txt", "");
    fs::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{disk};
    Serve serve(err, {"--sensor", "A=a", "--record-dir", disk, "--rotate", "20kB"}, {});
    ASSERT_TRUE(Eventually([&] {
        return ReadAll(err).find("recording paused") != std::string::npos;
    })) << ReadAll(err);
    for (const std::string& file : CsvFiles(disk)) {
        if (fs::file_size(file) > 0) fs::remove(file);
        if (CsvFiles(disk).size() < 4) break;
    }
    ASSERT_TRUE(Eventually([&] {
        return ReadAll(err).find("recording resumed") != std::string::npos;
    })) << ReadAll(err);
    EXPECT_EQ(serve.End(SIGTERM), 0);
    ExpectWholeFiles(CsvFiles(disk), "index,time,seconds,A");
}

TEST(Serve, ThePageOffLoopbackWantsUsersAndTlsOrSaysItIsInsecure) {
    testing::TempDir dir;
    const std::string serve = std::string(MK27X_CLI_PATH) + " serve ";
    int status = 0;
    // The password's hash from --hash-password authenticates that password only.
    const std::string hash =
        testing::Capture("printf 's3cr:t\\n' | " + serve + "--hash-password", status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(hash.rfind("$y$", 0), 0u) << hash;
    const std::string users = dir.Write("users", "op:" + hash);
    std::string error;
    const auto loaded = HttpUsers::Load(users, error);
    ASSERT_TRUE(loaded) << error;
    EXPECT_TRUE(loaded->Check("Basic b3A6czNjcjp0"));   // op:s3cr:t
    EXPECT_FALSE(loaded->Check("Basic b3A6czNjcjpU"));  // op:s3cr:T
    testing::Capture("printf '\\n' | " + serve + "--hash-password 2>/dev/null", status);
    EXPECT_EQ(status, 2);

    // Refused before anything is opened (the sensor's port does not exist).
    const std::string sensor = "--sensor A=" + dir.Path("none") + " ";
    const std::pair<std::string, std::string> refused[] = {
        {"--http 0.0.0.0:8080", "refusing to serve 0.0.0.0 without --http-users"},
        {"--http 10.1.2.3:8080 --http-users " + users, "without TLS (--http-cert and --http-key)"},
        {"--http 8080 --http-cert " + users, "--http-cert and --http-key go together"},
        {"--http 0.0.0.0:8080 --http-insecure --http-users " + dir.Path("missing"), "missing"},
    };
    for (const auto& [options, reason] : refused) {
        const std::string out = testing::Capture(serve + sensor + options + " 2>&1", status);
        EXPECT_EQ(status, 2) << options;
        EXPECT_EQ(out.rfind("mk27x: ", 0), 0u) << out;
        EXPECT_NE(out.find(reason), std::string::npos) << out;
    }
    const std::string config =
        dir.Write("line.toml", "[[sensor]]\nname = \"A\"\nport = \"" + dir.Path("none") +
                                   "\"\n[http]\nlisten = \"[::]:8080\"\n");
    const std::string out = testing::Capture(serve + "--config " + config + " 2>&1", status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(out.rfind("mk27x: " + config + ":4: refusing to serve :: without", 0), 0u) << out;

    // Plain HTTP off loopback is said at the start, before anything is opened
    // (here a recording folder that cannot be made ends the start, so that
    // nothing ever listens off loopback).
    const std::string warned = testing::Capture(serve + sensor + "--record-dir " + users +
                                                    "/sub --http 0.0.0.0:8080 --http-insecure "
                                                    "--http-users " +
                                                    users + " 2>&1",
                                                status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(warned.find("serving 0.0.0.0 over plain HTTP (--http-insecure)"), std::string::npos)
        << warned;
}

TEST(Serve, TheUnitPassesSystemdsCheck) {
    int status = 0;
    testing::Capture("command -v systemd-analyze", status);
    if (status != 0) GTEST_SKIP() << "no systemd-analyze";
    testing::TempDir dir;
    std::string unit = ReadAll(MK27X_PACKAGING "/mk27x-serve@.service");
    unit.replace(unit.find("/usr/bin/mk27x"), 14, MK27X_CLI_PATH);
    const std::string path = dir.Write("mk27x-serve@line1.service", unit);
    const std::string out =
        testing::Capture("systemd-analyze verify --man=no " + path + " 2>&1", status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace mk27x
