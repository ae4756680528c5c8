// Modbus benchmark: the line service's Modbus server under PLC load while four
// virtual sensors stream at the line rate of 921600 baud in the same process
// (pseudo-terminals, the real serial backend) and a snapshot of the four and
// two channels is published about ten times a second.
//
// 16 libmodbus clients, each on a thread of its own, read the whole map (its
// registers in two requests, then its discrete inputs) 100 times a second.
//
//   modbus_p99_ms           request sent to response received, 99th
//                           percentile over all requests; target at most 5
//   modbus_map_read_p99_ms  the same for the three requests of a whole map
//   modbus_unanswered       requests without a response; target 0
//   modbus_loadavg          the machine's load at the end (other programs
//                           taking the cores show in the percentiles)
//
// Usage: bench_modbus [--seconds S]   (default 10)
#include <modbus/modbus.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "line_rate.h"
#include "platform/clock.h"
#include "pty_server.h"
#include "serve/modbus_server.h"
#include "session/session.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace {

using namespace mk27x;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

constexpr int kSensors = 4;
constexpr int kClients = 16;
constexpr auto kReadPeriod = 10ms;
constexpr auto kSnapshotPeriod = 100ms;

class LatestSink final : public RecordingSink {
public:
    void Add(std::span<const RecordedSample> samples) override {
        if (samples.empty()) return;
        mm = samples.back().mm;
        count += samples.size();
    }
    std::atomic<float> mm{NAN};
    std::atomic<std::uint64_t> count{0};
};

struct Sensor {
    std::shared_ptr<sim::VirtualSensor> device;
    std::unique_ptr<sim::PtySensorServer> server;
    std::unique_ptr<SensorSession> session;
    LatestSink latest;
};

std::shared_ptr<const LineSnapshot> Snapshot(const std::vector<Sensor>& sensors,
                                             std::uint64_t sequence, std::uint32_t uptime_s) {
    auto s = std::make_shared<LineSnapshot>();
    s->sequence = sequence;
    s->uptime_s = uptime_s;
    const Limits limits{1, 9};
    for (std::size_t i = 0; i < sensors.size(); ++i) {
        ItemSnapshot item;
        item.name = std::string(1, static_cast<char>('A' + i));
        item.value_mm = sensors[i].latest.mm.load();
        item.count = sensors[i].latest.count.load();
        item.state = std::isnan(item.value_mm) ? ItemState::NoValue : ItemState::Fresh;
        item.limits = limits;
        item.judgement = Judge(item.value_mm, item.limits);
        s->items.push_back(std::move(item));
    }
    for (const char* name : {"gap", "mean"}) {
        ItemSnapshot channel;
        channel.name = name;
        channel.kind = ItemKind::Channel;
        const double a = s->items[0].value_mm, b = s->items[1].value_mm;
        channel.value_mm = std::strcmp(name, "gap") == 0 ? a - b : (a + b) / 2;
        channel.state = std::isnan(channel.value_mm) ? ItemState::ChannelEmpty : ItemState::Fresh;
        s->items.push_back(std::move(channel));
    }
    return s;
}

struct ClientResults {
    std::vector<double> request_ms, map_ms;
    std::uint64_t unanswered = 0;
};

// One PLC: the whole map every kReadPeriod until `end`.
void Poll(std::uint16_t port, Steady::time_point end, ClientResults& out) {
    modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
    modbus_set_response_timeout(ctx, 1, 0);
    if (modbus_connect(ctx) != 0) {
        out.unanswered = 1;
        modbus_free(ctx);
        return;
    }
    std::uint16_t n_items[2] = {};
    modbus_read_registers(ctx, 0, 2, n_items);
    const int registers = 100 + 10 * n_items[1];
    std::vector<std::uint16_t> map(static_cast<std::size_t>(registers));
    std::vector<std::uint8_t> inputs(static_cast<std::size_t>(2 * n_items[1]));
    auto timed = [&](auto&& request) {
        const auto t0 = Steady::now();
        if (request() < 0) ++out.unanswered;
        out.request_ms.push_back(
            std::chrono::duration<double, std::milli>(Steady::now() - t0).count());
    };
    for (auto next = Steady::now(); next < end; next += kReadPeriod) {
        std::this_thread::sleep_until(next);
        const auto t0 = Steady::now();
        for (int at = 0; at < registers; at += MODBUS_MAX_READ_REGISTERS) {
            const int count = std::min(MODBUS_MAX_READ_REGISTERS, registers - at);
            timed([&] { return modbus_read_registers(ctx, at, count, &map[at]); });
        }
        timed([&] {
            return modbus_read_input_bits(ctx, 0, static_cast<int>(inputs.size()), inputs.data());
        });
        out.map_ms.push_back(std::chrono::duration<double, std::milli>(Steady::now() - t0).count());
    }
    modbus_close(ctx);
    modbus_free(ctx);
}

double Quantile(std::vector<double>& v, double q) {
    if (v.empty()) return 0;
    const auto k =
        std::min(v.size() - 1, static_cast<std::size_t>(static_cast<double>(v.size()) * q));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
            if (!(seconds > 0)) return 2;
        } else {
            std::fprintf(stderr, "usage: bench_modbus [--seconds S]\n");
            return 2;
        }
    }
    std::vector<Sensor> sensors(kSensors);
    for (int i = 0; i < kSensors; ++i) {
        Sensor& s = sensors[static_cast<std::size_t>(i)];
        s.device = std::make_shared<sim::VirtualSensor>(
            bench::LineRateSensor(5000 + 100 * static_cast<std::uint32_t>(i)));
        s.server = std::make_unique<sim::PtySensorServer>(
            s.device, sim::PtyServerOptions{.stream_rate = bench::kLineFrameRate});
        if (!s.server->Start()) {
            std::fprintf(stderr, "pty: %s\n", s.server->Error().c_str());
            return 1;
        }
        s.session = std::make_unique<SensorSession>(SystemClock::Instance(), RealPortBackends());
        if (!bench::ConnectAtLineRate(*s.session, s.server->SlavePath())) {
            std::fprintf(stderr, "sensor %d not connected\n", i + 1);
            return 1;
        }
        s.session->Recording().Attach(s.latest);
    }

    SnapshotBoard board;
    board.Publish(Snapshot(sensors, 0, 0));
    ModbusServer server(board, ModbusSettings{.endpoint = {"127.0.0.1", 0}});
    const ModbusStartOutcome up = server.Start();
    if (!up) {
        std::fprintf(stderr, "modbus: %s\n", up.reason.c_str());
        return 1;
    }
    for (Sensor& s : sensors) s.session->StartStream();
    const auto start = Steady::now();
    const auto end = start + std::chrono::duration_cast<Steady::duration>(
                                 std::chrono::duration<double>(seconds));
    std::atomic<bool> done{false};
    std::thread publisher([&] {
        std::uint64_t sequence = 0;
        for (auto next = start; !done; next += kSnapshotPeriod) {
            std::this_thread::sleep_until(next);
            const auto uptime =
                std::chrono::duration_cast<std::chrono::seconds>(Steady::now() - start);
            board.Publish(
                Snapshot(sensors, ++sequence, static_cast<std::uint32_t>(uptime.count())));
        }
    });
    std::vector<ClientResults> results(kClients);
    std::vector<std::thread> clients;
    for (ClientResults& r : results) clients.emplace_back(Poll, up.port, end, std::ref(r));
    for (std::thread& t : clients) t.join();
    done = true;
    publisher.join();
    std::uint64_t samples = 0;
    for (Sensor& s : sensors) {
        s.session->StopStream();
        samples += s.latest.count;
        s.session->Shutdown();
        s.server->Stop();
    }
    const std::uint64_t answered = server.RequestCount();
    server.Stop();

    std::vector<double> request_ms, map_ms;
    std::uint64_t unanswered = 0;
    for (ClientResults& r : results) {
        request_ms.insert(request_ms.end(), r.request_ms.begin(), r.request_ms.end());
        map_ms.insert(map_ms.end(), r.map_ms.begin(), r.map_ms.end());
        unanswered += r.unanswered;
    }
    const double p99 = Quantile(request_ms, 0.99);
    std::printf("modbus_requests: %zu\n", request_ms.size());
    std::printf("modbus_requests_answered: %llu\n", static_cast<unsigned long long>(answered));
    std::printf("modbus_unanswered: %llu\n", static_cast<unsigned long long>(unanswered));
    std::printf("modbus_p50_ms: %.2f\n", Quantile(request_ms, 0.50));
    std::printf("modbus_p99_ms: %.2f\n", p99);
    std::printf("modbus_max_ms: %.2f\n", Quantile(request_ms, 1.0));
    std::printf("modbus_map_read_p99_ms: %.2f\n", Quantile(map_ms, 0.99));
    std::printf("modbus_sensor_samples: %llu\n", static_cast<unsigned long long>(samples));
    // The machine's load over the last minute: the figures' context.
    double load[1] = {};
    if (::getloadavg(load, 1) == 1) std::printf("modbus_loadavg: %.1f\n", load[0]);
    return unanswered == 0 && p99 <= 5 ? 0 : 1;
}
