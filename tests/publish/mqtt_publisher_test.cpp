// The publisher against a real Mosquitto, its sink driven with known samples:
// every sample once and in order, the retained identity and status, a broker
// stopped for 5 s mid-stream, the queue's bound, refused credentials and TLS.
#include "publish/mqtt_publisher.h"

#include <gtest/gtest.h>

#include <thread>

#include "publish_fixture.h"
#include "recording/csv_writer.h"
#include "support/eventually.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using testing::Batches;
using testing::MosquittoBroker;
using testing::ReceivedBatch;
using testing::ReceivedMessage;
using testing::SampleCount;
using testing::Subscriber;
using testing::TcpGate;

using testing::Eventually;

// The batches hold exactly `samples`, in order, with their times.
void ExpectSamples(const std::vector<ReceivedBatch>& batches,
                   const std::vector<RecordedSample>& samples, std::uint64_t first_seq = 0) {
    std::size_t k = 0;
    for (std::size_t b = 0; b < batches.size(); ++b) {
        ASSERT_EQ(batches[b].seq, first_seq + b) << "seq with a hole";
        ASSERT_LE(batches[b].mm.size(), 1000u);
        ASSERT_EQ(batches[b].seconds.size(), batches[b].mm.size());
        ASSERT_LT(k, samples.size());
        EXPECT_EQ(batches[b].t0, IsoWallTime(samples[k].time.wall_ns));
        const std::int64_t t0 = samples[k].time.monotonic_ns;
        for (std::size_t i = 0; i < batches[b].mm.size(); ++i, ++k) {
            ASSERT_LT(k, samples.size());
            ASSERT_EQ(batches[b].mm[i], samples[k].mm) << "sample " << k;
            ASSERT_NEAR(batches[b].seconds[i], (samples[k].time.monotonic_ns - t0) / 1e9, 1.5e-6);
        }
    }
    EXPECT_EQ(k, samples.size());
}

class Publisher : public testing::PublishTest {};

TEST_F(Publisher, EverySamplePublishedOnceInOrderCutBySizeAndAge) {
    MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    Subscriber sub(broker.Port(), "plant/#");
    ASSERT_TRUE(sub.Connect());
    MqttPublisher publisher(Settings(broker.Port()));
    RecordingSink& sink = publisher.AddSensor("line-1", identity, "/dev/ttyUSB0");
    publisher.Start();

    const auto samples = testing::KnownSamples(5000, 47'746);  // 20945 a second
    sink.Begin({true, 47.746e-6});
    std::span<const RecordedSample> all(samples);
    // 2500 at once: two full batches and 500 that wait for their 100 ms.
    for (std::size_t i = 0; i < 2500; i += 125) sink.Add(all.subspan(i, 125));
    ASSERT_TRUE(sub.WaitFor([](const std::vector<ReceivedMessage>& m) {
        return SampleCount(Batches(m, "plant/line-1/samples")) == 2500;
    }));
    for (std::size_t i = 2500, n = 1; i < samples.size(); i += n, n = n % 97 + 1)
        sink.Add(all.subspan(i, std::min(n, samples.size() - i)));
    sink.End();
    const PublishTotals totals = publisher.Finish();
    ASSERT_TRUE(testing::WaitForLast(sub, "plant/line-1/status", "offline"));

    const auto batches = Batches(sub, "plant/line-1/samples");
    ExpectSamples(batches, samples);
    ASSERT_GE(batches.size(), 6u);
    EXPECT_EQ(batches[2].mm.size(), 500u);  // cut by its age
    EXPECT_EQ(totals.samples_sent, 5000u);
    EXPECT_EQ(totals.batches_sent, batches.size());
    EXPECT_EQ(totals.batches_dropped + totals.batches_unsent, 0u);
    const auto statistics = sub.On("plant/line-1/statistics");
    ASSERT_FALSE(statistics.empty());
    EXPECT_EQ(nlohmann::json::parse(statistics.back().payload).at("count"), 5000);
    const auto status = sub.On("plant/line-1/status");
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.front().payload, "online");
    EXPECT_EQ(status.back().payload, "offline");
}

TEST_F(Publisher, IdentityAndStatusAreRetained) {
    MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    MqttPublisher publisher(Settings(broker.Port()));
    publisher.AddSensor("", identity, "/dev/ttyS0");
    publisher.Start();
    ASSERT_TRUE(Eventually([&] { return publisher.Connected() == 1; }));
    // A subscriber coming later gets them from the broker.
    Subscriber late(broker.Port(), "plant/#");
    ASSERT_TRUE(late.Connect());
    ASSERT_TRUE(late.WaitFor([](const std::vector<ReceivedMessage>& m) { return m.size() >= 2; }));
    const auto id = late.On("plant/1234/identity");
    ASSERT_EQ(id.size(), 1u);
    EXPECT_TRUE(id[0].retain);
    EXPECT_EQ(id[0].payload,
              "{\"model\": 27, \"release\": 2, \"serial\": 1234, \"base_mm\": 80, "
              "\"range_mm\": 50, \"port\": \"/dev/ttyS0\"}");
    ASSERT_EQ(late.On("plant/1234/status").size(), 1u);
    EXPECT_EQ(late.On("plant/1234/status")[0].payload, "online");
    publisher.Finish();
    Subscriber after(broker.Port(), "plant/1234/status");
    ASSERT_TRUE(after.Connect());
    ASSERT_TRUE(after.WaitFor([](const std::vector<ReceivedMessage>& m) { return !m.empty(); }));
    EXPECT_EQ(after.Messages()[0].payload, "offline");
    EXPECT_TRUE(after.Messages()[0].retain);
}

// The broker is stopped for 5 s while samples keep coming and started again at
// its port, without persistence: what was in flight is sent again, then the
// queue, then the live samples. The gate first swallows what the publisher
// sends (those batches are in flight, never acknowledged), then cuts it off
// before the broker stops, so that everything the broker acknowledged has
// reached the subscriber; it lets the publisher back only once the new
// subscriber listens.
TEST_F(Publisher, BrokerStoppedFiveSecondsLosesNothing) {
    MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    TcpGate gate(broker.Port());
    gate.Open();
    Subscriber before(broker.Port(), "plant/#");
    ASSERT_TRUE(before.Connect());
    MqttPublisher publisher(Settings(gate.Port()));
    RecordingSink& sink = publisher.AddSensor("s", identity, "p");
    publisher.Start();
    ASSERT_TRUE(Eventually([&] { return publisher.Connected() == 1; }));

    const auto samples = testing::KnownSamples(200000, 500'000);
    std::atomic<std::size_t> fed{0};
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        sink.Begin({true, 0.0005});
        while (!stop && fed + 20 <= samples.size()) {
            sink.Add(std::span(samples).subspan(fed, 20));
            fed += 20;
            std::this_thread::sleep_for(10ms);
        }
        sink.End();
    });
    std::this_thread::sleep_for(1s);
    gate.Swallow();
    const std::size_t fed_at_swallow = fed;
    std::this_thread::sleep_for(300ms);
    gate.Close();
    std::this_thread::sleep_for(200ms);
    broker.Stop();
    const std::size_t fed_at_stop = fed;
    std::this_thread::sleep_for(5s);
    ASSERT_TRUE(broker.Start());
    Subscriber again(broker.Port(), "plant/#");
    ASSERT_TRUE(again.Connect());
    gate.Open();
    ASSERT_TRUE(Eventually([&] { return publisher.Connected() == 1; }));
    std::this_thread::sleep_for(300ms);
    stop = true;
    feeder.join();
    const PublishTotals totals = publisher.Finish();
    ASSERT_TRUE(testing::WaitForLast(again, "plant/s/status", "offline"));

    auto messages = before.Messages();
    for (ReceivedMessage& m : again.Messages()) messages.push_back(std::move(m));
    const auto batches = Batches(messages, "plant/s/samples");
    ExpectSamples(batches, std::vector(samples.begin(), samples.begin() + static_cast<long>(fed)));
    EXPECT_GT(fed_at_stop, fed_at_swallow + 200);  // batches went into the void
    EXPECT_GT(fed.load(), fed_at_stop + 500);      // the outage was mid-stream
    EXPECT_EQ(totals.samples_sent, fed.load());
    EXPECT_EQ(totals.batches_dropped + totals.batches_unsent, 0u);
    EXPECT_EQ(again.On("plant/s/identity").size(), 1u);  // told again to the new broker
}

TEST_F(Publisher, TheBoundDropsTheOldestBatchesAndCountsThem) {
    MosquittoBroker broker(dir);
    ASSERT_TRUE(broker.Start());
    TcpGate gate(broker.Port());  // closed: the broker cannot be reached
    PublishSettings settings = Settings(gate.Port());
    settings.buffer_seconds = 1;
    MqttPublisher publisher(settings);
    RecordingSink& sink = publisher.AddSensor("s", identity, "p");
    publisher.Start();
    // 3 s of samples, 100 us apart: 30 batches of 0.1 s; the newest second is
    // kept (batches 20..29).
    const auto samples = testing::KnownSamples(30000, 100'000);
    sink.Begin({true, 1e-4});
    for (std::size_t i = 0; i < samples.size(); i += 250)
        sink.Add(std::span(samples).subspan(i, 250));
    sink.End();
    Subscriber sub(broker.Port(), "plant/#");
    ASSERT_TRUE(sub.Connect());
    gate.Open();
    ASSERT_TRUE(sub.WaitFor([](const std::vector<ReceivedMessage>& m) {
        return SampleCount(Batches(m, "plant/s/samples")) == 10000;
    }));
    const PublishTotals totals = publisher.Finish();
    ASSERT_TRUE(testing::WaitForLast(sub, "plant/s/status", "offline dropped=20"));

    ExpectSamples(Batches(sub, "plant/s/samples"),
                  std::vector(samples.begin() + 20000, samples.end()), 20);
    EXPECT_EQ(totals.batches_dropped, 20u);
    EXPECT_EQ(totals.samples_dropped, 20000u);
    EXPECT_EQ(totals.batches_sent, 10u);
    const auto status = sub.On("plant/s/status");
    ASSERT_FALSE(status.empty());
    EXPECT_EQ(status.front().payload, "online dropped=20");
    EXPECT_EQ(status.back().payload, "offline dropped=20");
}

TEST_F(Publisher, BadCredentialsAreRefusedWithTheBrokersReason) {
    const std::string passwd = dir + "/passwd";
    ASSERT_EQ(testing::RunQuietly({"mosquitto_passwd", "-c", "-b", passwd, "op", "right"}), 0);
    MosquittoBroker broker(dir, "allow_anonymous false\npassword_file " + passwd + "\n");
    ASSERT_TRUE(broker.Start());
    PublishSettings settings = Settings(broker.Port());
    settings.target.user = "op";
    settings.password = "wrong";
    MqttPublisher refused(settings);
    refused.AddSensor("s", identity, "p");
    refused.Start();
    ASSERT_TRUE(Eventually([&] { return refused.Refused(); }));
    EXPECT_EQ(refused.RefusalText(),
              "the broker refused the connection: Connection Refused: not authorised.");
    EXPECT_FALSE(refused.Unreachable());
    EXPECT_EQ(refused.Connected(), 0);

    settings.password = "right";
    MqttPublisher accepted(settings);
    accepted.AddSensor("s", identity, "p");
    accepted.Start();
    EXPECT_TRUE(Eventually([&] { return accepted.Connected() == 1; }));
    EXPECT_FALSE(accepted.Refused());
}

TEST_F(Publisher, TlsWithTheGivenCaAndRefusedWithoutIt) {
    const testing::TlsFiles tls = testing::MakeTlsFiles(dir);
    ASSERT_FALSE(tls.ca.empty());
    const std::string ca = tls.ca, key = tls.key, crt = tls.crt;
    const int tls_port = testing::FreeLoopbackPort();
    MosquittoBroker broker(dir, "listener " + std::to_string(tls_port) + " 127.0.0.1\ncafile " +
                                    ca + "\ncertfile " + crt + "\nkeyfile " + key + "\n");
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(Eventually([&] { return testing::LoopbackListening(tls_port); }));
    Subscriber sub(broker.Port(), "plant/#");
    ASSERT_TRUE(sub.Connect());

    PublishSettings settings = Settings(tls_port, "mqtts");
    settings.cafile = ca;
    MqttPublisher publisher(settings);
    RecordingSink& sink = publisher.AddSensor("s", identity, "p");
    publisher.Start();
    const auto samples = testing::KnownSamples(1500, 100'000);
    sink.Add(samples);
    sink.End();
    ASSERT_TRUE(sub.WaitFor([](const std::vector<ReceivedMessage>& m) {
        return SampleCount(Batches(m, "plant/s/samples")) == 1500;
    }));
    EXPECT_FALSE(publisher.Refused());

    settings.cafile.clear();  // the system's store does not know the test's CA
    MqttPublisher untrusted(settings);
    untrusted.AddSensor("t", identity, "p");
    untrusted.Start();
    ASSERT_TRUE(Eventually([&] { return untrusted.Refused(); }));
    EXPECT_NE(untrusted.RefusalText().find("certificate verify failed"), std::string::npos)
        << untrusted.RefusalText();
    EXPECT_TRUE(sub.On("plant/t/status").empty());
}

}  // namespace
}  // namespace mk27x
