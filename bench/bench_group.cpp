// Sensor group benchmark.
//
//   channel_rows_per_s:       the common timeline and two channels alone: four
//                             sensors at the line rate of 921600 baud, rows per
//                             second (target at least 20 x 20945).
//   group_frames_lost:        four sensors on four pseudo-terminals at 921600
//   group_reader_cpu_percent: baud streaming at the line rate through the real
//                             serial backend, two channels computed and the CSV
//                             written: frames not recorded (target 0), and the
//                             CPU time of all four readers together as a share
//                             of one core (target at most 10 %).
//   rejoin_s:                 a streaming sensor unplugged, then its port back
//                             (a new pseudo-terminal behind the same link):
//                             seconds from the port's return to the first row
//                             with its value again (target at most 2).
//
// Usage: bench_group [--seconds S (default 60)] [--rows N (default 4000000)]
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "group/group_run.h"
#include "group/group_sinks.h"
#include "group/sensor_group.h"
#include "pty_server.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace {

using namespace mk27x;
using namespace std::chrono_literals;

constexpr std::uint32_t kBaud = 921600;
constexpr double kLineFrameRate = kBaud / 44.0;
const std::vector<std::string> kNames = {"A", "B", "C", "D"};
const std::vector<ChannelSpec> kChannels = {{"thickness", "120 - A - B"},
                                            {"runout", "max(A, B, C, D) - min(A, B, C, D)"}};

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::vector<std::unique_ptr<Channel>> Compiled() {
    std::vector<std::unique_ptr<Channel>> channels;
    for (const ChannelSpec& s : kChannels) {
        ChannelError error;
        channels.push_back(Channel::Compile(s, kNames, error));
        if (!channels.back()) {
            std::fprintf(stderr, "%s\n", error.message.c_str());
            std::exit(1);
        }
    }
    return channels;
}

class CountingSink final : public GroupSink {
public:
    void Add(std::span<const GroupRow> rows) override {
        count += rows.size();
        for (const GroupRow& r : rows)
            if (!IsEmptyValue(r.values.back())) checksum += r.values.back();
    }
    std::uint64_t count = 0;
    double checksum = 0;
};

void ChannelRows(std::uint64_t rows) {
    GroupAligner aligner(kNames, {}, Compiled());
    CountingSink sink;
    aligner.Attach(sink);
    aligner.Begin();
    const double period_ns = 1e9 / kLineFrameRate;
    constexpr std::size_t kBatch = 1024;
    std::vector<RecordedSample> batch(kBatch);
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t done = 0; done < rows; done += kBatch) {
        for (std::size_t s = 0; s < kNames.size(); ++s) {
            // The sensors' clocks a fraction of a period apart.
            const double offset = period_ns * 0.23 * static_cast<double>(s);
            for (std::size_t i = 0; i < kBatch; ++i) {
                const auto n = static_cast<double>(done + i);
                const auto ns = static_cast<std::int64_t>(n * period_ns + offset);
                batch[i] = {static_cast<float>(20 + s + (i % 97) * 0.01), {ns, ns}};
            }
            aligner.Push(s, batch);
        }
        aligner.Advance(static_cast<std::int64_t>(static_cast<double>(done) * period_ns));
    }
    aligner.Finish();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double rate = static_cast<double>(sink.count) / seconds;
    std::printf("channel_rows_per_s: %.0f\n", rate);
    std::printf("channel_rows_line_rate_multiple: %.1f (target at least 20; checksum %.0f)\n",
                rate / kLineFrameRate, sink.checksum);
}

// The reader thread's CPU time from its first batch to its last.
class ReaderCpu final : public RecordingSink {
public:
    void Add(std::span<const RecordedSample>) override {
        const double cpu = ThreadCpuSeconds();
        if (first < 0) first = cpu;
        last = cpu;
    }
    double first = -1;
    double last = 0;
};

void GroupStreams(double seconds) {
    const auto frames = static_cast<std::uint64_t>(seconds * kLineFrameRate);
    std::vector<std::unique_ptr<sim::PtySensorServer>> servers;
    std::vector<SensorSpec> specs;
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        sim::SensorConfig config;
        config.baud = kBaud;
        config.source.kind = sim::MeasurementSource::Kind::kSine;
        config.source.value = 6000 + 1500 * static_cast<std::int32_t>(i);
        config.source.amplitude = 500;
        config.faults.stream_stop_after_frames = frames;
        servers.push_back(std::make_unique<sim::PtySensorServer>(
            std::make_shared<sim::VirtualSensor>(config), sim::PtyServerOptions{kLineFrameRate}));
        if (!servers.back()->Start()) {
            std::fprintf(stderr, "pty: %s\n", servers.back()->Error().c_str());
            std::exit(1);
        }
        specs.push_back({kNames[i], servers.back()->SlavePath(), kBaud, 1});
    }
    SensorGroup group(SystemClock::Instance(), RealPortBackends(), specs, Compiled());
    const std::string csv_path = (std::filesystem::temp_directory_path() /
                                  ("bench-group-" + std::to_string(::getpid()) + ".csv"))
                                     .string();
    GroupCsvWriter csv(csv_path, group.Columns());
    group.Aligner().Attach(csv);
    for (const ConnectResult& o : group.Connect()) {
        if (o != ConnectOutcome::Connected) {
            std::fprintf(stderr, "connect failed\n");
            std::exit(1);
        }
    }
    std::vector<ReaderCpu> cpu(kNames.size());
    for (std::size_t i = 0; i < kNames.size(); ++i) group.Session(i).Recording().Attach(cpu[i]);
    group.Start();
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::duration<double>(seconds + 15);
    auto all_in = [&] {
        for (std::size_t i = 0; i < kNames.size(); ++i)
            if (group.SamplesReceived(i) < frames) return false;
        return true;
    };
    auto next_flush = start + 1s;
    while (!all_in() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(50ms);
        group.Pump();
        if (std::chrono::steady_clock::now() >= next_flush) {
            next_flush += 1s;
            group.Flush();
        }
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    group.Stop();
    std::uint64_t lost = 0;
    double reader_cpu = 0;
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        group.Session(i).Recording().Detach(cpu[i]);
        const std::uint64_t got = group.SamplesReceived(i);
        lost += got < frames ? frames - got : 0;
        if (cpu[i].first >= 0) reader_cpu += cpu[i].last - cpu[i].first;
    }
    std::printf("group_frames_lost: %llu (of %llu, 4 sensors x %.0f s at %.0f frames/s)\n",
                static_cast<unsigned long long>(lost),
                static_cast<unsigned long long>(frames * kNames.size()), seconds, kLineFrameRate);
    std::printf("group_reader_cpu_percent: %.2f (all four readers, of one core)\n",
                100.0 * reader_cpu / elapsed);
    std::printf("group_csv_rows: %llu\n", static_cast<unsigned long long>(csv.Rows()));
    std::filesystem::remove(csv_path);
}

}  // namespace

// The rows' last value of one sensor, and the time the first fresh one came
// after `armed` was set.
class FreshValue final : public GroupSink {
public:
    explicit FreshValue(std::size_t column) : column_(column) {}
    void Add(std::span<const GroupRow> rows) override {
        for (const GroupRow& r : rows)
            if (armed && !IsEmptyValue(r.values[column_]) && r.time.monotonic_ns > armed_ns &&
                !fresh_at)
                fresh_at = std::chrono::steady_clock::now();
    }
    bool armed = false;
    std::int64_t armed_ns = 0;
    std::optional<std::chrono::steady_clock::time_point> fresh_at;

private:
    std::size_t column_;
};

void Rejoin() {
    const auto dir =
        std::filesystem::temp_directory_path() / ("bench-rejoin-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string link = (dir / "b").string();
    auto plug = [&] {
        auto server =
            std::make_unique<sim::PtySensorServer>(std::make_shared<sim::VirtualSensor>());
        if (!server->Start()) std::exit(1);
        std::filesystem::remove(link);
        std::filesystem::create_symlink(server->SlavePath(), link);
        return server;
    };
    sim::PtySensorServer a(std::make_shared<sim::VirtualSensor>());
    if (!a.Start()) std::exit(1);
    auto b = plug();
    SensorGroup group(SystemClock::Instance(), RealPortBackends(),
                      {{"A", a.SlavePath()}, {"B", link}}, {});
    FreshValue fresh(1);
    group.Aligner().Attach(fresh);
    for (const ConnectResult& o : group.Connect())
        if (o != ConnectOutcome::Connected) std::exit(1);
    GroupRun run(group, SystemClock::Instance());
    run.Start();
    auto tick_until = [&](auto done) {
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!done() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(16ms);
            run.Tick();
        }
    };
    tick_until([&] { return group.SamplesReceived(1) > 1000; });
    b->Stop();
    std::filesystem::remove(link);
    tick_until([&] { return run.Status(1).state == SensorState::Lost; });
    // The port returns somewhere within the once-a-second retry.
    const auto lost_at = std::chrono::steady_clock::now();
    tick_until([&] { return std::chrono::steady_clock::now() - lost_at >= 1300ms; });
    const auto back = std::chrono::steady_clock::now();
    fresh.armed_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(back.time_since_epoch()).count();
    fresh.armed = true;
    b = plug();
    tick_until([&] { return fresh.fresh_at.has_value(); });
    run.Stop();
    std::filesystem::remove_all(dir);
    if (!fresh.fresh_at) {
        std::printf("rejoin_s: never\n");
        return;
    }
    std::printf("rejoin_s: %.3f\n", std::chrono::duration<double>(*fresh.fresh_at - back).count());
}

int main(int argc, char** argv) {
    double seconds = 60;
    std::uint64_t rows = 4'000'000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--seconds") seconds = std::atof(argv[i + 1]);
        if (arg == "--rows") rows = std::strtoull(argv[i + 1], nullptr, 10);
    }
    ChannelRows(rows);
    GroupStreams(seconds);
    Rejoin();
    return 0;
}
