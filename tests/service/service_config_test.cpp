// The line service's configuration: the example file, what is refused (at its
// file and line), the command line over the file, and the limits' edges.
#include "service/service_config.h"

#include <gtest/gtest.h>

#include <cmath>

#include "calibration/tbl_files.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;

TEST(ServiceConfig, TheExampleReadsAndTheCommandLineWins) {
    ConfigError error;
    const auto file = ReadServiceConfig(MK27X_EXAMPLES "/line.toml", error);
    ASSERT_TRUE(file) << error.Text();
    ServiceConfig line;
    std::string why;
    line.sensors.push_back({*ParseSensorSpec("A=/dev/ttyUSB7@115200", why), {}});
    line.sensors.push_back({*ParseSensorSpec("C=/dev/ttyUSB2", why), {}});
    line.limits.push_back({*ParseLimitSpec("thickness=11..13", why), {}});
    line.rotate = RotateRule{15min, 0};
    const ServiceConfig merged = MergeConfig(*file, line);
    EXPECT_FALSE(CheckServiceConfig(merged));
    ASSERT_EQ(merged.sensors.size(), 3u);
    EXPECT_EQ(merged.sensors[0].spec, (SensorSpec{"A", "/dev/ttyUSB7", 115200, 1}));
    EXPECT_EQ(merged.sensors[1].spec, (SensorSpec{"B", "/dev/ttyUSB1", 921600, 1}));
    EXPECT_EQ(merged.sensors[1].at.line, 8);
    EXPECT_EQ(merged.rotate, (RotateRule{15min, 0}));
    EXPECT_EQ(merged.keep, (KeepRule{14 * 24h, 0}));
    EXPECT_EQ(merged.LimitsOf("thickness")->low, 11);
    EXPECT_EQ(*merged.publish.url, "mqtt://broker.local/plant/line1");
    EXPECT_EQ(merged.modbus->host, "0.0.0.0");
    EXPECT_EQ(merged.modbus->port, 502);
    EXPECT_EQ(merged.http.listen->port, 8443);
    EXPECT_EQ(*merged.http.users, "/etc/mk27x/http-users");
    ServiceConfig insecure;
    insecure.http.insecure = true;
    insecure.http.listen = ListenAddress{"10.0.0.1", 8080};
    const ServiceConfig over = MergeConfig(merged, insecure);
    EXPECT_EQ(over.http.listen->host, "10.0.0.1");
    EXPECT_EQ(*over.http.cert, "/etc/mk27x/line1.crt");
    EXPECT_TRUE(*over.http.insecure);
}

TEST(ServiceConfig, WhatIsRefusedIsToldAtItsLine) {
    testing::TempDir dir;
    const std::string sensors =
        "[[sensor]]\nname = \"A\"\nport = \"/dev/ttyS0\"\n"
        "[[sensor]]\nname = \"B\"\nport = \"/dev/ttyS1\"\n";
    const std::pair<std::string, std::string> cases[] = {
        {sensors + "[recrod]\nfolder = \"x\"\n", ":7: unknown key recrod"},
        {sensors + "[record]\nfolder = \"x\"\nrotat = \"1h\"\n",
         ":9: unknown key rotat in [record]"},
        {sensors + "[record]\nrotate = \"30s\"\n", ":8: rotate must be a period"},
        {sensors + "[record]\nkeep = \"14 days\"\n", ":8: keep must be an age"},
        {sensors + "[record]\nkeep = 14\n", ":8: keep must be a string"},
        {"[[sensor]]\nname = \"A\"\nport = \"/dev/ttyS0\"\nbaud = 12345\n", ":2: "},
        {"[[sensor]]\nname = \"A\"\n", ":1: [[sensor]] needs port"},
        {sensors + "[[channel]]\nname = \"t\"\nexpression = \"120 - A -\"\n",
         ":8: channel t = 120 - A -: "},
        {sensors + "[[channel]]\nname = \"t\"\nexpression = \"A - Q\"\n",
         "There is no sensor named Q."},
        {sensors + "[[channel]]\nname = \"t\"\nexpression = \"A\"\nlimits = [2, 1]\n",
         ":10: the low limit is above the high one"},
        {sensors + "[[channel]]\nname = \"t\"\nexpression = \"A\"\nlimits = [1]\n",
         ":10: limits must be [LOW, HIGH] in mm"},
        {sensors + "[[sensor]]\nname = \"A\"\nport = \"/dev/ttyS2\"\n",
         ":8: two sensors are named A"},
        {sensors + "[modbus]\nlisten = \"0.0.0.0:0\"\n", ":8: listen must be [HOST:]PORT"},
        {sensors + "[http]\ninsecure = \"yes\"\n", ":8: insecure must be true or false"},
        {sensors + "[http]\nlisten = \"8080\"\npassword = \"x\"\n",
         ":9: unknown key password in [http]"},
        {sensors + "[record\n", ":7: "},
    };
    for (const auto& [text, expected] : cases) {
        const std::string path = dir.Write("line.toml", text);
        ConfigError error;
        auto config = ReadServiceConfig(path, error);
        if (config) {
            const auto checked = CheckServiceConfig(*config);
            ASSERT_TRUE(checked) << text;
            error = *checked;
        }
        EXPECT_NE(error.Text().find(expected[0] == ':' ? path + expected : expected),
                  std::string::npos)
            << error.Text();
    }
    // A limit of a name that is neither sensor nor channel, from the command line.
    ServiceConfig line;
    std::string why;
    line.sensors.push_back({*ParseSensorSpec("A=/dev/ttyS0", why), {}});
    line.limits.push_back({*ParseLimitSpec("Z=1..2", why), {}});
    EXPECT_EQ(CheckServiceConfig(line)->Text(),
              "limits for Z, which is neither a sensor nor a channel");
}

TEST(ServiceConfig, RotateKeepAndLimitsAtTheirEdges) {
    std::string why;
    EXPECT_EQ(ParseRotate("1m", why), (RotateRule{60s, 0}));
    EXPECT_EQ(ParseRotate("1.5h", why), (RotateRule{5400s, 0}));
    EXPECT_EQ(ParseRotate("1kB", why), (RotateRule{0s, 1000}));
    EXPECT_EQ(ParseRotate("100MB", why), (RotateRule{0s, 100000000}));
    EXPECT_EQ(ParseKeep("1KiB", why), (KeepRule{0s, 1024}));
    EXPECT_EQ(ParseKeep("50GB", why), (KeepRule{0s, 50000000000}));
    for (const char* bad : {"59s", "0h", "-1h", "1h ", "999B", "0.9kB", "1.5s", "h", "1 h", "1y"})
        EXPECT_FALSE(ParseRotate(bad, why)) << bad;

    const auto limits = ParseLimitSpec("t=-0.5..-0.25", why);
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->limits.low, -0.5);
    EXPECT_EQ(limits->limits.high, -0.25);
    for (const char* bad :
         {"t=2..1", "t=1..nan", "t=1..inf", "t=1...2x", "t=1-2", "=1..2", "t=..2"})
        EXPECT_FALSE(ParseLimitSpec(bad, why)) << bad;
    const std::optional<Limits> band = Limits{11.95, 12.05};
    EXPECT_EQ(Judge(11.95, band), Judgement::Ok);
    EXPECT_EQ(Judge(12.05, band), Judgement::Ok);
    EXPECT_EQ(Judge(std::nextafter(11.95, 0), band), Judgement::Low);
    EXPECT_EQ(Judge(std::nextafter(12.05, 13), band), Judgement::High);
    EXPECT_EQ(Judge(NAN, band), Judgement::None);
    EXPECT_EQ(Judge(12, std::nullopt), Judgement::None);
}

}  // namespace
}  // namespace mk27x
