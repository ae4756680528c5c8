// The line service at work: `mk27x serve` (its own process) over four virtual
// sensors streaming at the line rate of 921600 baud (served from this
// process), a channel, the rolling recording and MQTT to a real Mosquitto
// and the Modbus server listening (no clients: bench_modbus measures those).
//
//   serve_cpu_percent:    the service's CPU time (all its threads) as a share
//                         of one core, from the first minute (a quarter of the
//                         run when shorter) to the end (target at most 15).
//   serve_rss_growth_kb:  its resident memory at the end less that at the same
//                         point (target at most 1024).
//   serve_rows:           rows recorded, as a check that it ran at all.
//
// Usage: bench_serve [--minutes M (default 1)]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "group/sensor_spec.h"
#include "line_rate.h"
#include "pty_server.h"
#include "support/mosquitto.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// utime + stime of `pid` in seconds.
double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stoull(field);
        if (i == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ResidentKb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    double minutes = 1;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--minutes") == 0) minutes = std::atof(argv[i + 1]);
    char pattern[] = "/tmp/mk27x-bench-serve-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string dir = pattern;
    fs::create_directory(dir + "/records");

    std::vector<mk27x::SensorSpec> specs;
    std::vector<std::unique_ptr<mk27x::sim::PtySensorServer>> sensors;
    for (const char* name : {"A", "B", "C", "D"}) {
        auto config =
            mk27x::bench::LineRateSensor(4000 + 1000 * static_cast<std::uint32_t>(specs.size()));
        config.identity.serial = static_cast<std::uint16_t>(1001 + specs.size());
        sensors.push_back(std::make_unique<mk27x::sim::PtySensorServer>(
            std::make_shared<mk27x::sim::VirtualSensor>(config),
            mk27x::sim::PtyServerOptions{mk27x::bench::kLineFrameRate}));
        if (!sensors.back()->Start()) {
            std::fprintf(stderr, "bench_serve: %s\n", sensors.back()->Error().c_str());
            return 1;
        }
        specs.push_back({name, sensors.back()->SlavePath(), mk27x::bench::kBaud, 1});
    }
    mk27x::testing::MosquittoBroker broker(dir);
    if (!broker.Start()) {
        std::fprintf(stderr, "bench_serve: no Mosquitto\n");
        return 1;
    }
    std::vector<std::string> args = {
        MK27X_CLI_PATH, "serve",
        "--channel",    "thickness=120-A-B",
        "--record-dir", dir + "/records",
        "--publish",    "mqtt://127.0.0.1:" + std::to_string(broker.Port()) + "/bench"};
    args.push_back("--modbus");
    args.push_back("127.0.0.1:" + std::to_string(mk27x::testing::FreeLoopbackPort()));
    for (const mk27x::SensorSpec& s : specs) {
        args.push_back("--sensor");
        args.push_back(s.name + "=" + s.port + "@921600");
    }
    const pid_t pid = mk27x::testing::Spawn(args, mk27x::testing::Output::kErrors);
    if (pid <= 0) return 1;

    const auto total = std::chrono::duration<double>(minutes * 60);
    const auto settle = minutes >= 4 ? std::chrono::duration<double>(60) : total / 4;
    std::this_thread::sleep_for(settle);
    const double cpu0 = CpuSeconds(pid);
    const long rss0 = ResidentKb(pid);
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(total - settle);
    const double cpu1 = CpuSeconds(pid);
    const long rss1 = ResidentKb(pid);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);

    std::uint64_t rows = 0;
    for (const auto& e : fs::directory_iterator(dir + "/records")) {
        std::ifstream in(e.path(), std::ios::binary);
        for (std::string line; std::getline(in, line);) ++rows;
        --rows;  // the header
    }
    std::printf("serve_cpu_percent: %.1f\n", 100.0 * (cpu1 - cpu0) / wall);
    std::printf("serve_rss_growth_kb: %ld\n", rss1 - rss0);
    std::printf("serve_rows: %llu\n", static_cast<unsigned long long>(rows));
    broker.Stop();
    fs::remove_all(dir);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
