// Publishing benchmark: four sensors streaming at the line rate of 921600 baud
// (20945 frames a second each, virtual sensors on pseudo-terminals, the real
// serial backend) published by one MqttPublisher at QoS 1 to a local
// Mosquitto, with a subscriber comparing what arrives with what was recorded.
//
//   publish_samples_lost     samples recorded minus samples received (after
//                            dropping repeats by seq), over all sensors;
//                            target 0
//   publish_latency_p99_ms   a sample's time (taken from its frame's arrival,
//                            spaced back at the stream's period, so never
//                            later than the arrival) to its delivery to the
//                            subscriber, 99th percentile; target at most 250
//   publish_cpu_percent      CPU time of the publisher's thread over the run,
//                            in percent of one core; target at most 10
//   qos2_outage_lost         samples a subscriber misses (distinct seq) when
//                            one sensor's stream is published at QoS 2 and the
//                            link to the broker is cut for 5 s mid-stream;
//                            target 0
//
// Usage: bench_publish [--seconds S]   (default 60)
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "line_rate.h"
#include "platform/clock.h"
#include "platform/message_box.h"
#include "pty_server.h"
#include "publish/mqtt_publisher.h"
#include "session/session.h"
#include "support/mosquitto.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace {

using namespace mk27x;
using namespace std::chrono_literals;

using bench::kLineFrameRate;
constexpr int kSensors = 4;

class CountingSink final : public RecordingSink {
public:
    void Add(std::span<const RecordedSample> samples) override { count += samples.size(); }
    std::atomic<std::uint64_t> count{0};
};

// "2024-05-01T12:00:00.123456Z" in nanoseconds since the Unix epoch.
std::int64_t IsoToNs(const std::string& text) {
    std::tm tm{};
    int micro = 0;
    std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &micro);
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<std::int64_t>(::timegm(&tm)) * 1000000000LL + micro * 1000LL;
}

struct Sensor {
    std::shared_ptr<sim::VirtualSensor> device;
    std::unique_ptr<sim::PtySensorServer> server;
    std::unique_ptr<SensorSession> session;
    CountingSink recorded;
};

// One stream of 2000 samples a second at QoS 2 through a relay cut for 5 s;
// the samples fed that the subscriber did not get, or -1 when it failed.
long long QosTwoOutageLost(const std::string& dir) {
    testing::MosquittoBroker broker(dir);
    if (!broker.Start()) return -1;
    testing::TcpGate gate(broker.Port());
    gate.Open();
    testing::Subscriber subscriber(broker.Port(), "outage/#");
    if (!subscriber.Connect()) return -1;
    PublishSettings settings;
    settings.target = *ParseMqttUrl("mqtt://127.0.0.1:" + std::to_string(gate.Port()) + "/outage");
    settings.qos = 2;
    MqttPublisher publisher(settings);
    RecordingSink& sink = publisher.AddSensor("s", SensorIdentity{27, 2, 1, 80, 50}, "p");
    publisher.Start();
    for (int k = 0; k < 1000 && publisher.Connected() < 1; ++k) std::this_thread::sleep_for(10ms);
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> fed{0};
    std::thread feeder([&] {
        const SampleTime t0 = SampleTime::Now();
        std::vector<RecordedSample> chunk(20);
        sink.Begin({true, 0.0005});
        while (!stop) {
            for (RecordedSample& r : chunk) {
                const std::int64_t offset = static_cast<std::int64_t>(fed++) * 500'000;
                r = {25.0f, {t0.monotonic_ns + offset, t0.wall_ns + offset}};
            }
            sink.Add(chunk);
            std::this_thread::sleep_for(10ms);
        }
        sink.End();
    });
    std::this_thread::sleep_for(1s);
    gate.Close();
    std::this_thread::sleep_for(5s);
    gate.Open();
    bool back = false;
    for (int k = 0; k < 3000 && !back; ++k) {
        for (const PublishEvent& e : publisher.TakeEvents())
            back = back || e.kind == PublishEvent::Kind::Back;
        std::this_thread::sleep_for(10ms);
    }
    std::this_thread::sleep_for(500ms);
    stop = true;
    feeder.join();
    publisher.Finish();
    testing::WaitForLast(subscriber, "outage/s/status", "offline");
    std::map<std::uint64_t, std::size_t> seqs;
    for (const testing::ReceivedMessage& m : subscriber.On("outage/s/samples")) {
        const auto j = nlohmann::json::parse(m.payload);
        seqs[j.at("seq").get<std::uint64_t>()] = j.at("mm").size();
    }
    std::uint64_t received = 0;
    for (const auto& [seq, n] : seqs) received += n;
    return static_cast<long long>(fed.load()) - static_cast<long long>(received);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::strtod(argv[++i], nullptr);
            if (!(seconds > 0)) return 2;
        } else {
            std::fprintf(stderr, "usage: bench_publish [--seconds S]\n");
            return 2;
        }
    }
    if (!testing::MosquittoInstalled()) {
        std::fprintf(stderr, "mosquitto is not installed\n");
        return 1;
    }
    const auto dir = std::filesystem::temp_directory_path() /
                     ("mk27x-bench-publish-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    int status = 0;
    {
        testing::MosquittoBroker broker(dir.string());
        if (!broker.Start()) {
            std::fprintf(stderr, "the broker did not start\n");
            return 1;
        }
        testing::Subscriber subscriber(broker.Port(), "bench/#");
        if (!subscriber.Connect()) {
            std::fprintf(stderr, "the subscriber did not connect\n");
            return 1;
        }

        PublishSettings settings;
        settings.target =
            *ParseMqttUrl("mqtt://127.0.0.1:" + std::to_string(broker.Port()) + "/bench");
        MqttPublisher publisher(settings);
        std::vector<Sensor> sensors(kSensors);
        for (int i = 0; i < kSensors; ++i) {
            Sensor& s = sensors[static_cast<std::size_t>(i)];
            sim::SensorConfig config =
                bench::LineRateSensor(5000 + 100 * static_cast<std::uint32_t>(i));
            config.source.noise = 20;
            s.device = std::make_shared<sim::VirtualSensor>(config);
            s.server = std::make_unique<sim::PtySensorServer>(
                s.device, sim::PtyServerOptions{.stream_rate = kLineFrameRate});
            if (!s.server->Start()) {
                std::fprintf(stderr, "pty: %s\n", s.server->Error().c_str());
                return 1;
            }
            s.session =
                std::make_unique<SensorSession>(SystemClock::Instance(), RealPortBackends());
            if (!bench::ConnectAtLineRate(*s.session, s.server->SlavePath())) {
                std::fprintf(stderr, "sensor %d not connected\n", i + 1);
                return 1;
            }
            s.session->Recording().Attach(s.recorded);
            s.session->Recording().Attach(publisher.AddSensor(
                "s" + std::to_string(i + 1), s.session->Identity(), s.server->SlavePath()));
        }
        publisher.Start();
        for (int k = 0; k < 1000 && publisher.Connected() < kSensors; ++k)
            std::this_thread::sleep_for(10ms);

        const auto start = std::chrono::steady_clock::now();
        for (Sensor& s : sensors) s.session->StartStream();
        std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
        for (Sensor& s : sensors) s.session->StopStream();
        const double wall =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const PublishTotals totals = publisher.Finish();
        for (int i = 1; i <= kSensors; ++i)
            testing::WaitForLast(subscriber, "bench/s" + std::to_string(i) + "/status", "offline");

        std::uint64_t recorded = 0, received = 0, holes = 0;
        std::vector<double> latency_ms;
        std::map<std::string, std::uint64_t> next_seq;
        for (const testing::ReceivedMessage& m : subscriber.Messages()) {
            if (m.topic.size() < 8 || m.topic.compare(m.topic.size() - 8, 8, "/samples") != 0)
                continue;
            const auto j = nlohmann::json::parse(m.payload);
            const auto seq = j.at("seq").get<std::uint64_t>();
            std::uint64_t& expected = next_seq[m.topic];
            if (seq < expected) continue;  // a repeat
            holes += seq - expected;
            expected = seq + 1;
            const std::int64_t t0 = IsoToNs(j.at("t0").get<std::string>());
            for (const auto& s : j.at("seconds")) {
                ++received;
                latency_ms.push_back(
                    static_cast<double>(m.wall_ns - t0 -
                                        static_cast<std::int64_t>(s.get<double>() * 1e9)) /
                    1e6);
            }
        }
        std::uint64_t sent_frames = 0;
        for (Sensor& s : sensors) {
            recorded += s.recorded.count;
            s.session->Shutdown();
            sent_frames += s.server->FramesSent();
            s.server->Stop();
        }
        // The n-th smallest latency (a quantile) without sorting them all.
        auto quantile = [&](double q) {
            if (latency_ms.empty()) return 0.0;
            const auto k =
                std::min(latency_ms.size() - 1,
                         static_cast<std::size_t>(static_cast<double>(latency_ms.size()) * q));
            std::nth_element(latency_ms.begin(), latency_ms.begin() + static_cast<long>(k),
                             latency_ms.end());
            return latency_ms[k];
        };
        const double p50 = quantile(0.50);
        const double p99 = quantile(0.99);
        const double cpu = 100.0 * publisher.ThreadCpuSeconds() / wall;
        const long long lost = static_cast<long long>(recorded) - static_cast<long long>(received);
        std::printf("publish_seconds: %.1f\n", wall);
        std::printf("publish_frames_sent: %llu\n", static_cast<unsigned long long>(sent_frames));
        std::printf("publish_samples_recorded: %llu\n", static_cast<unsigned long long>(recorded));
        std::printf("publish_samples_received: %llu\n", static_cast<unsigned long long>(received));
        std::printf("publish_batches_sent: %llu\n",
                    static_cast<unsigned long long>(totals.batches_sent));
        std::printf("publish_seq_holes: %llu\n", static_cast<unsigned long long>(holes));
        std::printf("publish_samples_lost: %lld\n", lost);
        std::printf("publish_latency_p50_ms: %.1f\n", p50);
        std::printf("publish_latency_p99_ms: %.1f\n", p99);
        std::printf("publish_cpu_percent: %.2f\n", cpu);
        status = lost == 0 && holes == 0 && p99 <= 250 && cpu <= 10 ? 0 : 1;
    }
    const long long outage_lost = QosTwoOutageLost(dir.string());
    std::printf("qos2_outage_lost: %lld\n", outage_lost);
    if (outage_lost != 0) status = 1;
    std::filesystem::remove_all(dir);
    return status;
}
