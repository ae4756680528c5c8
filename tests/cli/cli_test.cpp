// The mk27x command line end to end: the real serial backend on a pseudo-
// terminal against the virtual sensor, every command and the failure exits; and
// the program itself run as a script would.
#include "cli/cli.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "calibration/tbl_files.h"
#include "pty_server.h"
#include "support/run_program.h"
#include "support/temp_dir.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using testing::Capture;

struct Result {
    int status;
    std::string out;
    std::string err;
};

class CommandLineTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()) << server.Error(); }

    Result Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", server.SlavePath()});
        std::ostringstream out, err;
        const int status = RunCommandLine(args, {out, err, SystemClock::Instance()});
        return {status, out.str(), err.str()};
    }

    std::vector<std::string> Lines(const std::string& text) {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::shared_ptr<sim::VirtualSensor> sensor = std::make_shared<sim::VirtualSensor>([] {
        sim::SensorConfig c;
        c.identity = {27, 2, 4660, 80, 250};
        return c;
    }());
    sim::PtySensorServer server{sensor};
};

TEST_F(CommandLineTest, IdentifyAsTextAndJson) {
    Result r = Run({"identify", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "{\"model\": 27, \"release\": 2, \"serial\": 4660, \"base_mm\": 80, "
              "\"range_mm\": 250}\n");
    EXPECT_EQ(r.err, "");

    r = Run({"identify"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "Model: 27\nRelease: 2\nSerial number: 4660\nBase distance: 80 mm\n"
              "Measuring range: 250 mm\n");
}

TEST_F(CommandLineTest, ParamsListsAllTwentyInTheGridsForms) {
    sensor->SetRegister(0x10, 5);  // DelayMsr
    Result r = Run({"params", "--json"});
    ASSERT_EQ(r.status, 0);
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines[0], "[");
    EXPECT_EQ(lines[1],
              "  {\"index\": 0, \"name\": \"Sensor On/Off\", \"value\": 1, \"text\": \"on\"},");
    EXPECT_EQ(
        lines[4],
        "  {\"index\": 3, \"name\": \"UART baudrate\", \"value\": 48, \"text\": \"115200\"},");
    EXPECT_EQ(lines[9], "  {\"index\": 8, \"name\": \"DelayMsr\", \"value\": 5, \"text\": \"5\"},");
    EXPECT_EQ(lines[20].back(), '}');  // no comma after the last object
    EXPECT_EQ(lines[21], "]");

    r = Run({"params"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(Lines(r.out).size(), 20u);
    EXPECT_EQ(Lines(r.out)[8], " 8  DelayMsr                       5");
}

TEST_F(CommandLineTest, SetConvertsLikeTheGridThenWritesAndRereads) {
    Result r = Run({"set", "Sampling period=1000", "8=7", "Etalon=62500", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sensor->Register(0x08) | sensor->Register(0x09) << 8, 1000);
    EXPECT_EQ(sensor->Register(0x10), 7);
    // 62.5 mm of 250 mm: 4096.
    EXPECT_EQ(sensor->Register(0x17) | sensor->Register(0x18) << 8, 4096);
    EXPECT_NE(r.out.find("\"name\": \"Etalon\", \"value\": 4096, \"text\": \"62500\""),
              std::string::npos);
}

TEST_F(CommandLineTest, RefusedTextsSendNothing) {
    const std::uint64_t before = server.BytesReceived();
    // Not an integer: refused before the port is even opened.
    Result r = Run({"set", "DelayMsr=7", "Sampling period=12a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "mk27x: '12a' is not a valid integer value\n");
    EXPECT_EQ(server.BytesReceived(), before);
    EXPECT_EQ(sensor->Register(0x10), 1);

    // Out of the row's limits: refused after identification, nothing written.
    r = Run({"set", "DelayMsr=7", "DelayMsr=256"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "mk27x: '256' is out of range for DelayMsr\n");
    EXPECT_EQ(sensor->Register(0x10), 1);

    r = Run({"set", "No such thing=1"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no parameter named 'No such thing'"), std::string::npos);
}

TEST_F(CommandLineTest, MeasureAndStreamPrintDistances) {
    sim::MeasurementSource source;
    source.value = 4096;  // a quarter of 250 mm
    sensor->SetSource(source);
    Result r = Run({"measure", "--count", "3", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "{\"mm\": 62.5}\n{\"mm\": 62.5}\n{\"mm\": 62.5}\n");

    r = Run({"measure", "--count", "2"});
    EXPECT_EQ(r.out, "62.500\n62.500\n");

    r = Run({"stream", "--seconds", "0.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) EXPECT_EQ(line, "62.500");
    EXPECT_FALSE(sensor->Streaming());
}

TEST_F(CommandLineTest, SilentSensorAndMissingPortExitWithOne) {
    Result r = Run({"--address", "9", "identify"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No answer. Please change parameters.\n");

    sim::Faults faults;
    faults.silent_after_requests = 22;  // identify and the parameters, then nothing
    sensor->SetFaults(faults);
    r = Run({"measure", "--count", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No answer.\n");

    std::ostringstream out, err;
    const int status = RunCommandLine({"--port", "/dev/mk27x-no-such-port", "identify"},
                                      {out, err, SystemClock::Instance()});
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err.str(), "mk27x: cannot open /dev/mk27x-no-such-port: No such file or directory\n");
}

TEST_F(CommandLineTest, StreamThatFallsSilentExitsWithOne) {
    sim::Faults faults;
    faults.stream_stop_after_frames = 20;
    sensor->SetFaults(faults);
    Result r = Run({"stream", "--seconds", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No answer.\n");
    EXPECT_EQ(Lines(r.out).size(), 20u);
}

TEST_F(CommandLineTest, UploadWritesTheTableAndReportsTheOutcome) {
    testing::TempDir dir;
    const std::string path = dir.Write("4660.tbl", testing::TblText(testing::SampleFields(15900)));
    Result r = Run({"upload", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Calibration table written: 30 blocks.\n");
    EXPECT_EQ(sensor->CalibrationBlocks().size(), 30u);

    r = Run({"upload", dir.Path("missing.tbl")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Cannot open file " + dir.Path("missing.tbl") + ".\n");
}

TEST_F(CommandLineTest, TeachReportsAndPrintsTheTaughtParameters) {
    sim::MeasurementSource source;
    source.value = 4096;  // a quarter of 250 mm: the Etalon taught, 62.5 mm
    sensor->SetSource(source);
    Result r = Run({"teach", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Teaching complete.\n");
    EXPECT_EQ(sensor->Register(0x17) | sensor->Register(0x18) << 8, 4096);
    EXPECT_NE(r.out.find("\"name\": \"Etalon\", \"value\": 4096, \"text\": \"62500\""),
              std::string::npos);

    // A teach reply that never comes is not examined.
    sim::Faults faults;
    faults.short_reply_command = 0x8C;
    faults.short_reply_length = 0;
    sensor->SetFaults(faults);
    r = Run({"teach"});
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(Lines(r.out).size(), 21u);
    EXPECT_EQ(Lines(r.out)[0], "Teaching complete.");

    // The sensor falls silent during the read-back.
    faults = {};
    faults.silent_after_requests = 23;  // identify, the parameters and teach
    sensor->SetFaults(faults);
    r = Run({"teach"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "No answer.\n");
    EXPECT_EQ(r.out, "");

    r = Run({"teach", "extra"});
    EXPECT_EQ(r.status, 2);
}

TEST_F(CommandLineTest, CsvAndStatisticsOfMeasureAndStream) {
    sim::MeasurementSource source;
    source.value = 4096;  // 62.5 mm
    sensor->SetSource(source);
    testing::TempDir temp("mk27x-cli-csv");
    ASSERT_TRUE(temp.Made());
    const std::string dir = temp.Dir().string();
    const std::string csv = dir + "/m.csv";

    Result r = Run({"measure", "--count", "3", "--csv", csv, "--stats", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[2], "{\"mm\": 62.5}");
    EXPECT_EQ(lines[3].rfind("{\"statistics\": {\"count\": 3, \"mean_mm\": 62.500000, "
                             "\"stddev_mm\": 0.000000, \"min_mm\": 62.500, \"max_mm\": 62.500, "
                             "\"peak_to_peak_mm\": 0.000, \"rate_hz\": ",
                             0),
              0u)
        << lines[3];
    // 50 ms apart: about 20 Hz, no gaps.
    EXPECT_NE(lines[3].find("\"gaps\": 0}}"), std::string::npos);
    const auto rows = Lines(testing::ReadFile(csv));
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "index,time,seconds,mm\r");
    EXPECT_EQ(rows[1].substr(0, 2), "0,");
    EXPECT_EQ(rows[1].substr(rows[1].size() - 17), ",0.000000,62.500\r");
    EXPECT_EQ(rows[3].substr(0, 2), "2,");
    EXPECT_EQ(rows[3].substr(rows[3].size() - 8), ",62.500\r");

    r = Run({"stream", "--seconds", "0.5", "--csv", csv, "--stats"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto out = Lines(r.out);
    const auto count_line = std::find_if(
        out.begin(), out.end(), [](const std::string& l) { return l.rfind("Samples: ", 0) == 0; });
    ASSERT_NE(count_line, out.end());
    const long frames = std::stol(count_line->substr(9));
    EXPECT_GT(frames, 100);
    EXPECT_EQ(static_cast<long>(Lines(testing::ReadFile(csv)).size()), frames + 1);
    EXPECT_EQ(*(count_line + 1), "Mean: 62.500 mm");

    // A file that cannot be written: the sample file's message, exit 1.
    r = Run({"measure", "--count", "1", "--csv", dir + "/no/such/dir.csv"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot write file " + dir + "/no/such/dir.csv.\n");
    std::filesystem::remove_all(dir);
}

TEST(CommandLineUsage, UsageErrorsExitWithTwo) {
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {},
             {"frobnicate"},
             {"measure"},
             {"measure", "--count", "0"},
             {"identify", "--stats"},
             {"measure", "--count", "1", "--csv"},
             {"stream", "--seconds", "x"},
             {"stream", "--seconds", "inf"},
             {"stream", "--seconds", "nan"},
             {"stream", "--seconds", "1e300"},
             {"stream", "--seconds", "1000001"},
             {"--baud", "19200", "identify"},
             {"--address", "128", "identify"},
             {"--port"},
             {"identify", "extra"},
             {"set"},
             {"set", "DelayMsr"},
             {"upload"},
             {"flash", "now"},
         }) {
        std::ostringstream out, err;
        EXPECT_EQ(RunCommandLine(args, {out, err, SystemClock::Instance()}), 2);
        EXPECT_EQ(out.str(), "");
        EXPECT_NE(err.str().find("mk27x --help"), std::string::npos);
    }
}

TEST(CommandLineUsage, UsageErrorsSayWhatIsWrong) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--port"}, "option --port needs a value"},
        {{"identify", "extra"}, "identify takes no operands"},
        {{"identify", "--stats"}, "unknown option --stats"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--baud", "19200", "identify"}, "--baud must be 9600, 115200, 230400, 460800 or 921600"},
        {{"stream", "--seconds", "x"}, "invalid value for --seconds: x"},
        {{"clone"}, "clone needs FILE.json"},
    };
    for (const auto& [args, text] : cases) {
        std::ostringstream out, err;
        EXPECT_EQ(RunCommandLine(args, {out, err, SystemClock::Instance()}), 2);
        EXPECT_EQ(err.str(), "mk27x: " + text + "\nTry 'mk27x --help'.\n");
    }
}

TEST(CommandLineUsage, JsonDistanceKeepsThreeDecimalsAtMost) {
    EXPECT_EQ(JsonDistance(25.0f), "25.0");
    EXPECT_EQ(JsonDistance(12.345f), "12.345");
    EXPECT_EQ(JsonDistance(-0.003f), "-0.003");
    EXPECT_EQ(JsonDistance(0.0f), "0.0");
    EXPECT_EQ(JsonDistance(100.5f), "100.5");
}

TEST(CommandLineProgram, HelpAndTheBuiltInSimulator) {
    int status = -1;
    const std::string help = Capture(std::string(MK27X_CLI_PATH) + " --help", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(help.find("Usage: mk27x"), std::string::npos);
    EXPECT_NE(help.find("stream --seconds S"), std::string::npos);
    EXPECT_NE(help.find("teach"), std::string::npos);
    const std::string version = Capture(std::string(MK27X_CLI_PATH) + " --version", status);
    EXPECT_EQ(version.rfind("mk27x 0.", 0), 0u) << version;
    EXPECT_EQ(status, 0);
    // Each command has its own help.
    const std::string stream_help = Capture(std::string(MK27X_CLI_PATH) + " stream --help", status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(stream_help.find("--csv FILE"), std::string::npos);

    const std::string id =
        Capture(std::string(MK27X_CLI_PATH) + " --simulator identify --json", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(id,
              "{\"model\": 27, \"release\": 2, \"serial\": 1234, \"base_mm\": 100, "
              "\"range_mm\": 50}\n");

    Capture(std::string(MK27X_CLI_PATH) + " --simulator --address 2 identify 2>/dev/null", status);
    EXPECT_EQ(status, 1);
}

}  // namespace
}  // namespace mk27x
