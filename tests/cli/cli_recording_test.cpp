// Recordings of the command line that a user can rely on: sample times of a
// paced stream, the CSV written as the stream goes and complete however the
// command ends (its time, a signal, a silent sensor), the signal exits of the
// program itself, and a sensor left streaming by a killed program.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "calibration/tbl_files.h"
#include "cli/cli.h"
#include "pty_server.h"
#include "support/eventually.h"
#include "virtual_sensor.h"

extern char** environ;

namespace mk27x {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> FileLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

using testing::Eventually;

class CliRecording : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        dir = fs::temp_directory_path() / ("mk27x-rec-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        csv = (dir / "s.csv").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", server.SlavePath()});
        out.str("");
        err.str("");
        CommandLineIo io{out, err, SystemClock::Instance()};
        io.stop_signal = &stop;
        return RunCommandLine(args, io);
    }

    std::shared_ptr<sim::VirtualSensor> sensor = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer server{sensor};
    std::ostringstream out, err;
    std::atomic<int> stop{0};
    fs::path dir;
    std::string csv;
};

TEST_F(CliRecording, PacedStreamHasEvenSampleTimesAndNoGaps) {
    ASSERT_EQ(Run({"stream", "--seconds", "1", "--csv", csv, "--stats"}), 0) << err.str();
    const auto rows = FileLines(csv);
    ASSERT_GT(rows.size(), 1000u);
    std::vector<double> seconds;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        std::istringstream row(rows[i]);
        std::string index, time, s;
        std::getline(row, index, ',');
        std::getline(row, time, ',');
        std::getline(row, s, ',');
        seconds.push_back(std::stod(s));
    }
    std::vector<double> d;
    for (std::size_t i = 1; i < seconds.size(); ++i) d.push_back(seconds[i] - seconds[i - 1]);
    EXPECT_GT(*std::min_element(d.begin(), d.end()), 0);
    // The stream runs at 2000 frames a second: intervals of 0.5 ms, not the
    // bunching of the reads (microseconds, then milliseconds).
    const std::size_t even = static_cast<std::size_t>(
        std::count_if(d.begin(), d.end(), [](double x) { return x > 0.00025 && x < 0.00075; }));
    EXPECT_GT(even, d.size() * 95 / 100);
    const std::string text = out.str();
    const std::size_t gaps = static_cast<std::size_t>(
        std::count_if(d.begin(), d.end(), [](double x) { return x > 0.020; }));
    EXPECT_NE(text.find("Gaps: " + std::to_string(gaps) + "\n"), std::string::npos) << text;
}

TEST_F(CliRecording, APauseOfTheStreamIsOneGapAtItsSample) {
    sim::Faults faults;
    faults.stream_pause_at_frames = 1000;
    faults.stream_pause_ms = 150;
    sensor->SetFaults(faults);
    ASSERT_EQ(Run({"stream", "--seconds", "1.5", "--csv", csv, "--stats"}), 0) << err.str();
    const auto rows = FileLines(csv);
    ASSERT_GT(rows.size(), 1500u);
    std::vector<double> d;
    double last = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        const auto s = std::stod(rows[i].substr(rows[i].find(',', rows[i].find(',') + 1) + 1));
        if (i > 1) d.push_back(s - last);
        last = s;
    }
    EXPECT_GT(d[999], 0.140);  // between samples 999 and 1000
    // A machine too busy to keep the virtual sensor's pace makes pauses of its
    // own: the statistics count every pause the times show, and only those.
    const auto gaps = std::count_if(d.begin(), d.end(), [](double x) { return x > 0.020; });
    EXPECT_GE(gaps, 1);
    EXPECT_NE(out.str().find("Gaps: " + std::to_string(gaps) + "\n"), std::string::npos)
        << out.str();
}

TEST_F(CliRecording, CsvGrowsDuringTheStreamAndIsCompleteAfterASignal) {
    int status = -1;
    std::thread command([&] {
        status = Run({"stream", "--seconds", "60", "--csv", csv, "--stats"});
    });
    // The header at once, rows within about a second.
    ASSERT_TRUE(Eventually([&] { return FileLines(csv).size() > 100; }));
    EXPECT_EQ(FileLines(csv)[0], "index,time,seconds,mm\r");
    stop = SIGINT;
    command.join();
    EXPECT_EQ(status, 130);
    EXPECT_FALSE(sensor->Streaming());  // the stop request went out
    const auto rows = FileLines(csv);
    const std::string text = out.str();
    const auto at = text.find("Samples: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(std::stoul(text.substr(at + 9)), rows.size() - 1);
    EXPECT_EQ(rows.back().back(), '\r');
}

TEST_F(CliRecording, CsvHoldsTheRowsUpToASilentSensor) {
    sim::Faults faults;
    faults.stream_stop_after_frames = 20;
    sensor->SetFaults(faults);
    EXPECT_EQ(Run({"stream", "--seconds", "5", "--csv", csv}), 1);
    EXPECT_EQ(err.str(), "No answer.\n");
    const auto rows = FileLines(csv);
    ASSERT_EQ(rows.size(), 21u);
    EXPECT_EQ(rows[20].substr(0, 3), "19,");
}

// A stream that never brings a sample is the sensor's silence, however short:
// "No answer." and exit 1, the CSV header kept, the statistics of no samples.
TEST_F(CliRecording, SilentStreamIsNoAnswer) {
    sim::Faults faults;
    faults.stream_stop_after_frames = 0;
    sensor->SetFaults(faults);
    for (const char* seconds : {"0.3", "1"}) {
        EXPECT_EQ(Run({"stream", "--seconds", seconds, "--csv", csv, "--stats", "--json"}), 1);
        EXPECT_EQ(err.str(), "No answer.\n") << seconds;
        EXPECT_EQ(FileLines(csv), std::vector<std::string>{"index,time,seconds,mm\r"});
        EXPECT_NE(out.str().find("{\"statistics\": {\"count\": 0, \"mean_mm\": null"),
                  std::string::npos)
            << out.str();
        EXPECT_FALSE(sensor->Streaming()) << seconds;
    }
}

TEST_F(CliRecording, FileThatCannotBeCreatedIsRefusedBeforeAnythingIsSent) {
    const std::string bad = (dir / "no" / "such.csv").string();
    EXPECT_EQ(Run({"stream", "--seconds", "1", "--csv", bad}), 1);
    EXPECT_EQ(err.str(), "Cannot write file " + bad + ".\n");
    EXPECT_EQ(sensor->RequestsServed(), 0u);
}

// The CSV into a named pipe whose reader stops for 2 s while the sensor
// streams at the line rate of 921600 baud: the reader of the stream does not
// wait for the pipe, so the sample times show no pause of 2 s and every
// decoded frame is a row.
TEST(CliRecordingFile, PipeWhoseReaderStallsLosesNoFrame) {
    constexpr double kRate = 921600 / 44.0;
    sim::SensorConfig config;
    config.baud = 921600;
    sim::PtySensorServer server(std::make_shared<sim::VirtualSensor>(config), {kRate});
    ASSERT_TRUE(server.Start()) << server.Error();
    testing::TempDir dir;
    const std::string fifo = dir.Path("rows.csv");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string text;
    std::thread reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        std::vector<char> buf(1 << 16);
        std::size_t got = 0;
        while (got < 200'000 && in.read(buf.data(), 1).good()) {
            text.push_back(buf[0]);
            ++got;
        }
        std::this_thread::sleep_for(2s);
        std::stringstream rest;
        rest << in.rdbuf();
        text += rest.str();
    });
    std::ostringstream out, err;
    CommandLineIo io{out, err, SystemClock::Instance()};
    const int status = RunCommandLine({"--port", server.SlavePath(), "--baud", "921600", "stream",
                                       "--seconds", "4", "--csv", fifo, "--stats"},
                                      io);
    reader.join();
    ASSERT_EQ(status, 0) << err.str();
    std::istringstream rows(text);
    std::string row;
    std::getline(rows, row);
    ASSERT_EQ(row, "index,time,seconds,mm\r");
    std::uint64_t count = 0;
    double first = 0, last = 0;
    for (; std::getline(rows, row); ++count) {
        ASSERT_EQ(row.substr(0, row.find(',')), std::to_string(count));
        const double s = std::stod(row.substr(row.find(',', row.find(',') + 1) + 1));
        if (count == 0) first = s;
        last = s;
        ASSERT_EQ(row.back(), '\r');
    }
    const auto at = out.str().find("Samples: ");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(std::stoull(out.str().substr(at + 9)), count);
    // The rows span the recording at the stream's period: a reader held up by
    // the pipe would leave a hole of about 2 s (half the frames). A busy
    // machine may still delay the virtual sensor a little.
    ASSERT_GT(last - first, 3.0);
    EXPECT_GT(static_cast<double>(count), 0.97 * (last - first) * kRate);
}

// A file system that fills up during the stream: the recording ends, the
// message names the file and the reason, the status is 1, and the rows that
// fitted are in the file, whole.
TEST(CliRecordingFile, FullDiskEndsTheRecordingWithTheReason) {
    testing::TempDir dir;
    const std::string mount = dir.Path("small");
    std::filesystem::create_directory(mount);
    if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "no tmpfs of our own: " << std::strerror(errno);
    auto sensor = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer server(sensor);
    ASSERT_TRUE(server.Start()) << server.Error();
    const std::string csv = mount + "/s.csv";
    std::ostringstream out, err;
    CommandLineIo io{out, err, SystemClock::Instance()};
    const auto started = std::chrono::steady_clock::now();
    const int status = RunCommandLine(
        {"--port", server.SlavePath(), "stream", "--seconds", "60", "--csv", csv}, io);
    const auto took = std::chrono::steady_clock::now() - started;
    const auto rows = FileLines(csv);
    ::umount2(mount.c_str(), MNT_DETACH);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err.str(), "mk27x: cannot write " + csv + ": No space left on device\n");
    EXPECT_LT(took, 50s);  // ended by the failure, not by its time
    ASSERT_GT(rows.size(), 100u);
    EXPECT_EQ(rows[0], "index,time,seconds,mm\r");
    EXPECT_FALSE(sensor->Streaming());
}

TEST_F(CliRecording, SensorLeftStreamingIsStoppedAndIdentified) {
    // Its frames with bit 7 clear, with bit 7 set, and with a foreign tag in each.
    sim::Faults bit7_set, mixed_tags;
    bit7_set.stream_byte_bits = 0x80;
    mixed_tags.stream_garbage_every = 1;
    for (const sim::Faults& faults : {sim::Faults{}, bit7_set, mixed_tags}) {
        sensor->SetFaults(faults);
        const std::uint8_t start[] = {0x01, 0x87};
        sensor->Feed(start);  // as a killed program leaves it
        ASSERT_TRUE(sensor->Streaming());
        const std::uint64_t sent = server.FramesSent();
        ASSERT_TRUE(Eventually([&] { return server.FramesSent() > sent + 100; }));
        ASSERT_EQ(Run({"identify"}), 0) << err.str();
        EXPECT_EQ(out.str(),
                  "Model: 27\nRelease: 2\nSerial number: 1234\nBase distance: 100 mm\n"
                  "Measuring range: 50 mm\n");
        EXPECT_FALSE(sensor->Streaming());
    }
}

TEST_F(CliRecording, UploadStoppedBySignalEndsAfterTheBlockInFlight) {
    testing::TempDir tbl;
    const std::string path = tbl.Write("1234.tbl", testing::TblText(testing::SampleFields(15900)));
    int status = -1;
    std::thread command([&] { status = Run({"upload", path}); });
    ASSERT_TRUE(Eventually([&] { return sensor->CalibrationBlocks().size() >= 2; }));
    stop = SIGTERM;
    command.join();
    EXPECT_EQ(status, 143);
    const std::size_t written = sensor->CalibrationBlocks().size();
    EXPECT_LT(written, 30u);
    EXPECT_NE(
        err.str().find("upload stopped: " + std::to_string(written) + " of 30 blocks written"),
        std::string::npos)
        << err.str();
}

// The program itself: each signal stops the stream cleanly with its status.
TEST(CliSignals, StreamStopsCleanlyWithTheSignalsStatus) {
    const fs::path dir = fs::temp_directory_path() / ("mk27x-sig-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    for (auto [signal, status] : {std::pair{SIGINT, 130}, {SIGTERM, 143}, {SIGHUP, 129}}) {
        const std::string csv = (dir / (std::to_string(signal) + ".csv")).string();
        const std::string out = (dir / "out.txt").string();
        std::vector<std::string> args = {MK27X_CLI_PATH, "--simulator", "stream", "--seconds",
                                         "60",           "--csv",       csv,      "--stats"};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        pid_t pid = 0;
        ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ASSERT_TRUE(Eventually([&] { return FileLines(csv).size() > 50; }));
        ::kill(pid, signal);
        int wstatus = 0;
        ASSERT_EQ(::waitpid(pid, &wstatus, 0), pid);
        ASSERT_TRUE(WIFEXITED(wstatus)) << signal;
        EXPECT_EQ(WEXITSTATUS(wstatus), status);
        const auto rows = FileLines(csv);
        std::ifstream in(out);
        std::stringstream text;
        text << in.rdbuf();
        const auto at = text.str().find("Samples: ");
        ASSERT_NE(at, std::string::npos) << signal;
        EXPECT_EQ(std::stoul(text.str().substr(at + 9)), rows.size() - 1) << signal;
    }
    fs::remove_all(dir);
}

}  // namespace
}  // namespace mk27x
