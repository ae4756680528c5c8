// mk27x monitor as a script uses it: refusals before anything is sent (exit 2),
// a sensor that is not there named (exit 1), the CSV's columns and JSON rows of
// a simulated group, a clean stop on a signal, and a CSV that cannot be written.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "cli/cli.h"
#include "pty_server.h"
#include "support/pty.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class CliMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        csv = (fs::temp_directory_path() / ("mk27x-monitor-" + std::to_string(::getpid()) + ".csv"))
                  .string();
    }
    void TearDown() override { fs::remove(csv); }

    int Run(const std::vector<std::string>& args) {
        out.str("");
        err.str("");
        CommandLineIo io{out, err, SystemClock::Instance()};
        io.stop_signal = &stop;
        return RunCommandLine(args, io);
    }
    std::vector<std::string> CsvLines() const {
        std::ifstream in(csv, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    sim::PtySensorServer server{std::make_shared<sim::VirtualSensor>()};
    std::ostringstream out, err;
    std::atomic<int> stop{0};
    std::string csv;
};

TEST_F(CliMonitor, ARefusedExpressionEndsWithItsPositionBeforeAnythingIsSent) {
    const std::string a = "A=" + server.SlavePath();
    EXPECT_EQ(Run({"monitor", "--sensor", a, "--channel", "t=120 - A -", "--csv", csv}), 2);
    EXPECT_EQ(err.str(),
              "mk27x: channel t = 120 - A -: Unexpected end of expression at position 10\n"
              "  120 - A -\n"
              "           ^\n");
    EXPECT_EQ(Run({"monitor", "--sensor", a, "--channel", "r=max(A, E)"}), 2);
    EXPECT_NE(err.str().find("There is no sensor named E."), std::string::npos) << err.str();
    EXPECT_EQ(server.BytesReceived(), 0u);
    EXPECT_FALSE(fs::exists(csv));
}

TEST_F(CliMonitor, UsageErrors) {
    EXPECT_EQ(Run({"monitor"}), 2);
    EXPECT_EQ(err.str(), "mk27x: no sensor given\nTry 'mk27x monitor --help'.\n");
    EXPECT_EQ(Run({"monitor", "--sensor", "A=COM1", "--sensor", "B=/dev/ttyS0"}), 2);
    EXPECT_NE(err.str().find("share /dev/ttyS0 and the address 1"), std::string::npos);
    EXPECT_EQ(Run({"--port", "COM1", "monitor", "--sensor", "A=COM1"}), 2);
    EXPECT_EQ(Run({"monitor", "--sensor", "A=COM1", "--channel", "A=1"}), 2);
    EXPECT_EQ(err.str(), "mk27x: the name A is given twice\nTry 'mk27x monitor --help'.\n");
    EXPECT_EQ(Run({"monitor", "--help"}), 0);
    EXPECT_NE(out.str().find("--sensor NAME=PORT[@RATE][#ADDRESS]"), std::string::npos);
    // "monitor" as a value is not the command.
    EXPECT_EQ(Run({"--trace", "monitor", "identify", "--sensor", "x"}), 2);
    EXPECT_NE(err.str().find("unknown option --sensor"), std::string::npos) << err.str();
}

TEST_F(CliMonitor, ASensorThatIsNotThereIsNamed) {
    EXPECT_EQ(Run({"monitor", "--sensor", "A=" + server.SlavePath(), "--sensor",
                   "Right=/dev/mk27x-no-such-port", "--seconds", "1"}),
              1);
    EXPECT_EQ(err.str().rfind("Right: ", 0), 0u) << err.str();
}

TEST_F(CliMonitor, SimulatedGroupWritesItsColumnsAndJsonRows) {
    EXPECT_EQ(Run({"--simulator", "monitor", "--sensor", "A=one", "--sensor", "B=two#1", "--sensor",
                   "C=two#2", "--channel", "step=A - B", "--channel",
                   "runout=max(A, B, C) - min(A, B, C)", "--seconds", "1", "--csv", csv, "--json",
                   "--stats"}),
              0)
        << err.str();
    EXPECT_NE(err.str().find("A: serial number 1001"), std::string::npos) << err.str();
    EXPECT_NE(err.str().find(", streaming"), std::string::npos);
    EXPECT_NE(err.str().find("C: serial number 1003"), std::string::npos);
    EXPECT_NE(err.str().find(", polled 20.0 times a second"), std::string::npos);
    const auto lines = CsvLines();
    ASSERT_GT(lines.size(), 10u);
    EXPECT_EQ(lines[0], "index,time,seconds,A,B,C,step,runout\r");
    // The polled sensors are the slowest: rows 50 ms apart, every cell filled
    // after the first rows, the channels not trivially zero.
    std::istringstream row(lines[5]);
    std::vector<std::string> cells;
    for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 8u);
    for (std::size_t c = 3; c < 8; ++c) EXPECT_FALSE(cells[c].empty() || cells[c] == "\r") << c;
    EXPECT_NE(std::stod(cells[6]), 0.0);
    std::istringstream json(out.str());
    std::string first;
    std::getline(json, first);
    EXPECT_EQ(first.rfind("{\"index\": 0, \"time\": \"", 0), 0u) << first;
    EXPECT_NE(first.find("\"runout\": "), std::string::npos);
    EXPECT_NE(out.str().find("{\"statistics\": {\"A\": {\"count\": "), std::string::npos);
}

TEST_F(CliMonitor, ASignalStopsEveryStreamCleanly) {
    auto sensor_b = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer second(sensor_b);
    ASSERT_TRUE(second.Start());
    std::thread signaller([&] {
        while (CsvLines().size() < 20) std::this_thread::sleep_for(10ms);
        stop = SIGTERM;
    });
    const int status = Run({"monitor", "--sensor", "A=" + server.SlavePath(), "--sensor",
                            "B=" + second.SlavePath(), "--csv", csv});
    signaller.join();
    EXPECT_EQ(status, 128 + SIGTERM);
    EXPECT_FALSE(sensor_b->Streaming());
    EXPECT_GT(CsvLines().size(), 20u);
}

// A channel undefined at every row (a division by zero, the root of a negative
// number) is an empty value everywhere: null in the JSON rows and the
// statistics of no samples, an empty CSV cell; never inf or nan.
TEST_F(CliMonitor, UndefinedChannelIsEmptyInEveryOutput) {
    ASSERT_EQ(
        Run({"--simulator", "monitor", "--sensor", "A=one", "--channel", "ratio=A / (A - A)",
             "--channel", "root=sqrt(-A)", "--seconds", "1", "--csv", csv, "--json", "--stats"}),
        0)
        << err.str();
    const std::string text = out.str();
    for (const char* word : {"inf", "nan", "NaN"}) EXPECT_EQ(text.find(word), std::string::npos);
    std::istringstream json(text);
    std::string row;
    std::getline(json, row);
    EXPECT_NE(row.find("\"ratio\": null, \"root\": null}"), std::string::npos) << row;
    EXPECT_NE(text.find("\"ratio\": {\"count\": 0, \"mean_mm\": null, \"stddev_mm\": null, "
                        "\"min_mm\": null, \"max_mm\": null, \"peak_to_peak_mm\": null, "
                        "\"rate_hz\": null, \"median_interval_s\": null, \"gaps\": 0}"),
              std::string::npos)
        << text;
    const auto lines = CsvLines();
    ASSERT_GT(lines.size(), 2u);
    for (std::size_t i = 1; i < lines.size(); ++i)
        ASSERT_EQ(lines[i].substr(lines[i].size() - 3), ",,\r") << lines[i];
}

// A sensor unplugged and plugged in again at the same path (a link to the
// pseudo-terminal, as udev names a USB adapter): retried, another sensor
// there refused, its own taken back; the other sensor's rows go on throughout.
class CliMonitorRejoin : public CliMonitor {
protected:
    void SetUp() override {
        CliMonitor::SetUp();
        dir = fs::temp_directory_path() / ("mk27x-rejoin-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        link = (dir / "b").string();
    }
    void TearDown() override {
        CliMonitor::TearDown();
        fs::remove_all(dir);
    }
    // B plugged in: a new pseudo-terminal behind the link.
    void Plug(std::uint16_t serial) {
        sim::SensorConfig config;
        config.identity.serial = serial;
        b = std::make_unique<sim::PtySensorServer>(std::make_shared<sim::VirtualSensor>(config));
        ASSERT_TRUE(b->Start());
        fs::remove(link);
        fs::create_symlink(b->SlavePath(), link);
    }
    void Unplug() {
        b->Stop();
        fs::remove(link);
    }
    // Runs the command on a thread of its own, its standard error into a file.
    void Launch(std::vector<std::string> args) {
        runner = std::thread([this, args] {
            std::ofstream err_file(dir / "err.txt");
            CommandLineIo io{out, err_file, SystemClock::Instance()};
            io.stop_signal = &stop;
            status = RunCommandLine(args, io);
        });
    }
    std::string Err() const {
        std::ifstream in(dir / "err.txt");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool ErrHas(const std::string& text) const {
        return testing::WaitFor([&] { return Err().find(text) != std::string::npos; });
    }
    // The cell of B (the fifth) in the CSV's last complete row.
    std::string LastB() const {
        const auto lines = CsvLines();
        if (lines.size() < 3) return "?";
        std::istringstream row(lines[lines.size() - 2]);
        std::vector<std::string> cells;
        for (std::string cell; std::getline(row, cell, ',');) cells.push_back(cell);
        return cells.size() >= 5 ? cells[4] : "?";
    }

    fs::path dir;
    std::string link;
    std::unique_ptr<sim::PtySensorServer> b;
    std::thread runner;
    std::atomic<int> status{-1};
};

TEST_F(CliMonitorRejoin, AnUnpluggedSensorIsRetriedRefusedWhenAnotherAndTakenBack) {
    Plug(1234);
    Launch({"monitor", "--sensor", "A=" + server.SlavePath(), "--sensor", "B=" + link, "--csv", csv,
            "--stats"});
    ASSERT_TRUE(testing::WaitFor([&] { return CsvLines().size() > 100; }));
    Unplug();
    EXPECT_TRUE(ErrHas("B: No answer; retrying.\n"));
    std::size_t rows = CsvLines().size();
    EXPECT_TRUE(testing::WaitFor([&] { return CsvLines().size() > rows + 100; }));
    EXPECT_EQ(LastB(), "\r");  // empty while A's rows go on
    Plug(4321);
    EXPECT_TRUE(ErrHas("B: serial 4321 found, 1234 expected\n"));
    Unplug();
    Plug(1234);
    EXPECT_TRUE(ErrHas("B: back after "));
    EXPECT_TRUE(testing::WaitFor([&] { return LastB() == "25.000\r"; }));
    stop = SIGTERM;
    runner.join();
    EXPECT_EQ(status, 128 + SIGTERM);
    EXPECT_NE(out.str().find("B: 1 loss, "), std::string::npos) << out.str();
}

TEST_F(CliMonitorRejoin, ASensorStillLostAtTheEndIsNamedAndTheExitIsOne) {
    Plug(1234);
    Launch({"monitor", "--sensor", "A=" + server.SlavePath(), "--sensor", "B=" + link, "--seconds",
            "4", "--csv", csv});
    ASSERT_TRUE(testing::WaitFor([&] { return CsvLines().size() > 100; }));
    Unplug();
    runner.join();
    EXPECT_EQ(status, 1);
    const std::string err = Err();
    EXPECT_NE(err.find("B: No answer; retrying.\nB: still no answer at the end.\n"),
              std::string::npos)
        << err;
}

// The rows' CSV into a named pipe whose reader goes away: the run ends at
// once with the file and the reason.
TEST_F(CliMonitor, APipeWhoseReaderLeavesEndsTheRunWithTheReason) {
    const std::string fifo = csv + ".pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        std::string line;
        for (int k = 0; k < 20 && std::getline(in, line); ++k) {
        }
    });
    const auto started = std::chrono::steady_clock::now();
    const int status =
        Run({"monitor", "--sensor", "A=" + server.SlavePath(), "--seconds", "60", "--csv", fifo});
    reader.join();
    fs::remove(fifo);
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.str().find("\nmk27x: cannot write " + fifo + ": Broken pipe\n"),
              std::string::npos)
        << err.str();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 50s);
}

}  // namespace
}  // namespace mk27x
