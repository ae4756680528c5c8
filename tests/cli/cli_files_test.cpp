// mk27x search, backup, clone and --trace end to end: the real serial backend on
// pseudo-terminals against virtual sensors.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cli/cli.h"
#include "pty_server.h"
#include "session/parameter_file.h"
#include "support/not_serial_paths.h"
#include "support/temp_dir.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

namespace fs = std::filesystem;

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result Mk27x(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int status = RunCommandLine(args, {out, err, SystemClock::Instance()});
    return {status, out.str(), err.str()};
}

std::shared_ptr<sim::VirtualSensor> Sensor(std::uint8_t address, std::uint32_t baud,
                                           std::uint16_t serial) {
    sim::SensorConfig c;
    c.address = address;
    c.baud = baud;
    c.identity.serial = serial;
    return std::make_shared<sim::VirtualSensor>(c);
}

class CommandLineFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server_a.Start()) << server_a.Error();
        ASSERT_TRUE(server_b.Start()) << server_b.Error();
        dir = fs::temp_directory_path() /
              ("mk27x-cli-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::shared_ptr<sim::VirtualSensor> a = Sensor(1, 115200, 101);
    std::shared_ptr<sim::VirtualSensor> b = Sensor(1, 9600, 202);
    sim::PtySensorServer server_a{a};
    sim::PtySensorServer server_b{b};
    fs::path dir;
};

TEST_F(CommandLineFilesTest, SearchPrintsEachSensorAndSkipsMissingPorts) {
    Result r = Mk27x({"search", "--json", "--port", server_a.SlavePath(), "--port",
                      "/dev/mk27x-no-such-port", "--port", server_b.SlavePath()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "{\"port\": \"" + server_a.SlavePath() +
                         "\", \"baud\": 115200, \"address\": 1, \"model\": 27, \"release\": 2, "
                         "\"serial\": 101, \"base_mm\": 100, \"range_mm\": 50}\n"
                         "{\"port\": \"" +
                         server_b.SlavePath() +
                         "\", \"baud\": 9600, \"address\": 1, \"model\": 27, \"release\": 2, "
                         "\"serial\": 202, \"base_mm\": 100, \"range_mm\": 50}\n");
    EXPECT_NE(r.err.find("mk27x: /dev/mk27x-no-such-port skipped: "), std::string::npos) << r.err;

    r = Mk27x({"search", "--port", server_b.SlavePath()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, server_b.SlavePath() +
                         " 9600 baud, address 1: model 27, release 2, serial number 202, base "
                         "100 mm, range 50 mm\n");

    sim::Faults silent;
    silent.silent_after_requests = 0;
    a->SetFaults(silent);
    r = Mk27x({"search", "--port", server_a.SlavePath()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "mk27x: no sensor found\n");
}

TEST_F(CommandLineFilesTest, BackupThenCloneGivesTheSecondSensorTheSameSet) {
    a->SetRegister(0x10, 42);    // DelayMsr
    a->SetRegister(0x1E, 0x21);  // three borders, measure type "substrate"
    a->SetRegister(0x1F, 0x34);
    const std::string file = (dir / "a.json").string();
    Result r = Mk27x({"--port", server_a.SlavePath(), "backup", file});
    ASSERT_EQ(r.status, 0) << r.err;
    const ParameterFileResult saved = ReadParameterFile(file);
    ASSERT_TRUE(saved.ok) << saved.error;
    EXPECT_EQ(saved.file.values[8], 42);
    ASSERT_TRUE(saved.file.sensor);
    EXPECT_EQ(saved.file.sensor->SerialNumber, 101);

    r = Mk27x({"--port", server_b.SlavePath(), "--baud", "9600", "clone", file});
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_EQ(r.out, "All 20 parameters of " + file + " are in the sensor.\n");
    // The file's rate is 115200: Load All moved the sensor (and the program) there.
    EXPECT_EQ(b->Baud(), 115200u);
    EXPECT_EQ(b->Register(0x10), 42);
    EXPECT_EQ(b->Register(0x1E), 0x21);
    EXPECT_EQ(b->Register(0x1F), 0x34);
}

TEST_F(CommandLineFilesTest, CloneReportsWhatDiffersAndBadFilesSendNothing) {
    // The defaults hold 0 borders, which have no register form: the sensor
    // reads back 16.
    ParameterSet defaults = DefaultParameterSet();
    defaults[kUartBaudrate] = 48;
    const std::string file = (dir / "defaults.json").string();
    std::string error;
    ASSERT_TRUE(WriteParameterFile(file, ParameterFileText(defaults, std::nullopt, "t"), error));
    Result r = Mk27x({"--port", server_a.SlavePath(), "clone", file});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out,
              "'Number of borders': file=0, sensor=16\n"
              "'Border A': file=0, sensor=16\n"
              "'Border B': file=0, sensor=16\n");
    EXPECT_EQ(r.err, "mk27x: 3 parameter(s) differ after the re-read\n");

    const std::string bad = (dir / "bad.json").string();
    std::ofstream(bad) << testing::ReadFile(file).substr(0, 300);
    const auto before = a->Registers();
    const auto served = a->RequestsServed();
    r = Mk27x({"--port", server_a.SlavePath(), "clone", bad});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("mk27x: Cannot load " + bad + ": not valid JSON"), std::string::npos)
        << r.err;
    EXPECT_EQ(a->Registers(), before);
    EXPECT_EQ(a->RequestsServed(), served + 30);  // the connect's identify and reads only

    EXPECT_EQ(Mk27x({"clone"}).status, 2);
    EXPECT_EQ(Mk27x({"backup", "a", "b"}).status, 2);
}

TEST_F(CommandLineFilesTest, TraceHoldsEveryByteTheSensorReceived) {
    const std::string trace = (dir / "trace.txt").string();
    const std::uint64_t before = server_a.BytesReceived();
    Result r = Mk27x({"--trace", trace, "--port", server_a.SlavePath(), "identify"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string text = testing::ReadFile(trace);
    EXPECT_NE(text.find(" TX IdentifySensor: 01 81\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" TX ReadParameter 5: 01 82 88 80\n"), std::string::npos);
    EXPECT_NE(text.find(" -- open " + server_a.SlavePath() + " at 115200 baud\n"),
              std::string::npos);
    std::istringstream lines(text);
    std::uint64_t tx_bytes = 0;
    for (std::string line; std::getline(lines, line);) {
        const auto at = line.find(" TX ");
        if (at == std::string::npos) continue;
        const std::string hex = line.substr(line.find(": ", at) + 2);
        tx_bytes += (hex.size() + 1) / 3;
    }
    // The server counts what reached the sensor's side of the line.
    for (int i = 0; i < 100 && server_a.BytesReceived() - before < tx_bytes; ++i) ::usleep(10000);
    EXPECT_EQ(server_a.BytesReceived() - before, tx_bytes);
    EXPECT_EQ(tx_bytes, 2u + 29u * 4u);

    EXPECT_EQ(Mk27x({"--trace", "/nonexistent-dir/t.txt", "identify"}).status, 2);
}

// A path that is no terminal is refused by every command before a byte is
// written; the file is left as it was.
TEST(CommandLinePorts, PathsThatAreNoSerialPortAreRefusedUntouched) {
    const testing::NotSerialPaths paths("cli");
    for (const std::string& path : paths.All()) {
        SCOPED_TRACE(path);
        Result r = Mk27x({"--port", path, "identify"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("mk27x: cannot open " + path + ": not a serial port\n"),
                  std::string::npos)
            << r.err;
        r = Mk27x({"search", "--port", path});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("mk27x: " + path + " skipped: "), std::string::npos) << r.err;
        EXPECT_EQ(Mk27x({"monitor", "--sensor", "A=" + path, "--seconds", "1"}).status, 1);
        EXPECT_TRUE(paths.Unchanged());
    }
}

}  // namespace
}  // namespace mk27x
