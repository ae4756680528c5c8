// Batches, their JSON and the URL of a broker, in memory.
#include "publish/sample_batch.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

#include "recording/sample_statistics.h"

#include "publish/mqtt_publisher.h"
#include "publish/mqtt_url.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
constexpr std::int64_t kWall0 = 1714564800LL * 1000000000LL;  // 2024-05-01T12:00:00Z

RecordedSample At(float mm, std::int64_t offset_ns) {
    return {mm, {5'000'000'000LL + offset_ns, kWall0 + 123456789LL + offset_ns}};
}

TEST(SampleBatch, JsonHasTheWallTimeOfTheFirstSampleOffsetsFromItAndNullForNoNumber) {
    BatchStream stream("p/s/samples");
    const float inf = std::numeric_limits<float>::infinity();
    const RecordedSample samples[] = {At(25.0f, 0),
                                      At(-0.0001f, 477'400),
                                      At(-12.5f, 1'000'000'999),
                                      At(65535.0f, 3'000'000'000LL),
                                      At(inf, 3'000'001'000LL),
                                      At(-inf, 3'000'002'000LL),
                                      At(std::nanf(""), 3'000'003'000LL)};
    stream.Add(samples);
    std::vector<SampleBatch> out;
    stream.Take(out, std::chrono::steady_clock::now(), true);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(BatchJson(out[0], "null"),
              "{\"t0\": \"2024-05-01T12:00:00.123456Z\", \"unit\": null, \"seconds\": [0.000000, "
              "0.000477, 1.000000, 3.000000, 3.000001, 3.000002, 3.000003], \"mm\": [25.000, "
              "0.000, -12.500, 65535.000, null, null, null], \"seq\": 0}");
    EXPECT_EQ(BatchJson(out[0]).substr(0, 52),
              "{\"t0\": \"2024-05-01T12:00:00.123456Z\", \"unit\": \"mm\", ");
}

TEST(StatisticsJson, NullWithoutSamplesAndForWhatIsNoNumber) {
    SampleStatistics none;
    none.mean = none.min = none.max = 0;
    EXPECT_EQ(StatisticsJson(none).rfind(
                  "{\"count\": 0, \"mean_mm\": null, \"stddev_mm\": null, \"min_mm\": null, "
                  "\"max_mm\": null, \"peak_to_peak_mm\": null, ",
                  0),
              0u);
    SampleStatistics ratio;
    ratio.count = 2;
    ratio.mean = std::numeric_limits<double>::quiet_NaN();
    ratio.max = std::numeric_limits<double>::infinity();
    const std::string json = StatisticsJson(ratio);
    EXPECT_NE(json.find("\"mean_mm\": null, \"stddev_mm\": 0.000000, \"min_mm\": 0.000, "
                        "\"max_mm\": null"),
              std::string::npos)
        << json;
    EXPECT_EQ(json.find("nan"), std::string::npos);
    EXPECT_EQ(json.find("inf"), std::string::npos);
}

TEST(SampleBatch, CutAtAThousandSamplesOrAHundredMillisecondsAndCountedPerTopic) {
    BatchStream stream("p/s/samples");
    std::vector<RecordedSample> samples;
    for (int i = 0; i < 2500; ++i) samples.push_back(At(static_cast<float>(i), i * 1000LL));
    stream.Add(std::span(samples).subspan(0, 999));
    stream.Add(std::span(samples).subspan(999));  // the 1000th closes the first batch
    std::vector<SampleBatch> out;
    stream.Take(out, std::chrono::steady_clock::now(), false);
    ASSERT_EQ(out.size(), 2u);  // the open 500 are younger than 100 ms
    EXPECT_EQ(out[0].Size(), 1000u);
    EXPECT_EQ(out[1].mm.front(), 1000.0f);
    EXPECT_EQ(out[1].offset_us.back(), 999);
    EXPECT_EQ(out[1].seq, 1u);
    stream.Take(out, std::chrono::steady_clock::now() + 100ms, false);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[2].Size(), 500u);
    EXPECT_EQ(out[2].seq, 2u);
    EXPECT_EQ(out[2].t0_wall_ns, samples[2000].time.wall_ns);
    stream.Add(std::span(samples).subspan(0, 1));
    stream.Close();
    stream.Take(out, std::chrono::steady_clock::now(), false);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3].seq, 3u);
}

TEST(MqttUrl, PartsDefaultsAndRefusals) {
    auto t = ParseMqttUrl("mqtt://plant.example:1884/site/line-3/");
    ASSERT_TRUE(t);
    EXPECT_FALSE(t->tls);
    EXPECT_EQ(t->host, "plant.example");
    EXPECT_EQ(t->port, 1884);
    EXPECT_EQ(t->prefix, "site/line-3");
    EXPECT_EQ(t->user, "");
    t = ParseMqttUrl("mqtts://op@[::1]/p");
    ASSERT_TRUE(t);
    EXPECT_TRUE(t->tls);
    EXPECT_EQ(t->port, 8883);
    EXPECT_EQ(t->user, "op");
    EXPECT_EQ(t->host, "::1");
    EXPECT_EQ(t->Text(), "mqtts://op@[::1]:8883/p");
    EXPECT_EQ(ParseMqttUrl("mqtt://h/p")->port, 1883);
    for (const char* bad : {"http://h/p", "mqtt://h", "mqtt://h/", "mqtt:///p", "mqtt://h:0/p",
                            "mqtt://h:65536/p", "mqtt://h:/p", "mqtt://h:1x/p", "mqtt://h/a/#",
                            "mqtt://h/+/b", "mqtt://@h/p", "mqtt://[::1/p"})
        EXPECT_FALSE(ParseMqttUrl(bad)) << bad;
    std::string error;
    EXPECT_FALSE(ParseMqttUrl("mqtt://op:secret@h/p", &error));
    EXPECT_EQ(error, "no password in the URL: use MK27X_MQTT_PASSWORD or --mqtt-password-file");
    EXPECT_EQ(TopicLevel("a/b+c#"), "a_b_c_");
    EXPECT_EQ(TopicLevel(""), "_");
}

TEST(MqttPublisher, IdentityTopicNameAndSummary) {
    SensorIdentity id{27, 2, 1234, 80, 50};
    EXPECT_EQ(IdentityJson(id, "/dev/tty\"USB0\""),
              "{\"model\": 27, \"release\": 2, \"serial\": 1234, \"base_mm\": 80, "
              "\"range_mm\": 50, \"port\": \"/dev/tty\\\"USB0\\\"\"}");
    EXPECT_EQ(MqttPublisher::SensorLevel("", id), "1234");
    EXPECT_EQ(MqttPublisher::SensorLevel("line 3/left", id), "line 3_left");
    PublishTotals t{12, 12000, 0, 0, 0, 0};
    const MqttTarget target = *ParseMqttUrl("mqtt://h/p");
    EXPECT_EQ(PublishSummary(t, target), "published 12 batches (12000 samples) to mqtt://h:1883/p");
    t.batches_dropped = 1;
    t.samples_dropped = 1000;
    t.batches_unsent = 2;
    t.samples_unsent = 7;
    EXPECT_EQ(PublishSummary(t, target),
              "published 12 batches (12000 samples) to mqtt://h:1883/p; 1 batch (1000 samples) "
              "dropped; 2 batches (7 samples) not delivered");
}

}  // namespace
}  // namespace mk27x
