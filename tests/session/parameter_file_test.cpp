// Parameter files: a round trip from one virtual sensor to another through the
// session, the bad files that must change nothing, the other-model question and
// the write through a temporary file.
#include "session/parameter_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "session/session.h"
#include "support/recording_message_box.h"
#include "support/sim_backends.h"
#include "support/temp_dir.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kDelayMsrRegister = 0x10;
constexpr std::uint8_t kSamplingLow = 0x08;

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    const auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string DefaultText() {
    return ParameterFileText(DefaultParameterSet(), SensorIdentity{27, 2, 1234, 100, 50},
                             "2024-05-01T12:00:00Z");
}

TEST(ParameterFileTest, TextCarriesEverythingAndReadsBack) {
    ParameterSet values = DefaultParameterSet();
    values[kSamplingPeriod] = 276;
    values[kDiaCorrection] = 0xFFFF;
    values[9] = 8192;  // Etalon: 25000 um at a 50 mm range
    const std::string text =
        ParameterFileText(values, SensorIdentity{27, 2, 1234, 100, 50}, "2024-05-01T12:00:00Z");
    EXPECT_NE(text.find("\"format\": \"mk27x-parameters\""), std::string::npos);
    EXPECT_NE(text.find("\"version\": 1"), std::string::npos);
    EXPECT_NE(text.find("\"program\": \"MK27x-SP"), std::string::npos);
    EXPECT_NE(text.find("\"time\": \"2024-05-01T12:00:00Z\""), std::string::npos);
    EXPECT_NE(text.find("{\"model\": 27, \"release\": 2, \"serial\": 1234, \"base_mm\": 100, "
                        "\"range_mm\": 50}"),
              std::string::npos);
    EXPECT_NE(text.find("{\"index\": 5, \"name\": \"Sampling period\", \"value\": 276, \"text\": "
                        "\"276\"}"),
              std::string::npos);
    EXPECT_NE(text.find("\"value\": 65535, \"text\": \"-1\""), std::string::npos);
    EXPECT_NE(text.find("\"value\": 8192, \"text\": \"25000\""), std::string::npos);

    const ParameterFileResult r = ParseParameterFile(text);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_TRUE(r.file.sensor);
    EXPECT_EQ(*r.file.sensor, (SensorIdentity{27, 2, 1234, 100, 50}));
    EXPECT_EQ(r.file.time, "2024-05-01T12:00:00Z");
    for (int i = 0; i < kParameterCount; ++i)
        EXPECT_EQ(r.file.values[static_cast<std::size_t>(i)], values[static_cast<std::size_t>(i)]);

    const ParameterFileResult unknown =
        ParseParameterFile(ParameterFileText(values, std::nullopt, "t"));
    ASSERT_TRUE(unknown.ok) << unknown.error;
    EXPECT_FALSE(unknown.file.sensor);
}

// A file as the program has written it since parameter files began: it loads,
// and the same set is written back byte for byte.
TEST(ParameterFileTest, FileOfTheFirstReleaseLoadsAndIsWrittenAlike) {
    const std::string text =
        "{\n"
        "  \"format\": \"mk27x-parameters\",\n"
        "  \"version\": 1,\n"
        "  \"program\": \"MK27x-SP 0.1\",\n"
        "  \"time\": \"2026-12-09T06:29:31Z\",\n"
        "  \"sensor\": {\"model\": 27, \"release\": 2, \"serial\": 1234, \"base_mm\": 100, "
        "\"range_mm\": 50},\n"
        "  \"parameters\": [\n"
        "    {\"index\": 0, \"name\": \"Sensor On/Off\", \"value\": 1, \"text\": \"on\"},\n"
        "    {\"index\": 1, \"name\": \"Synchronization control byte\", \"value\": 0, \"text\": "
        "\"0\"},\n"
        "    {\"index\": 2, \"name\": \"Network address\", \"value\": 1, \"text\": \"1\"},\n"
        "    {\"index\": 3, \"name\": \"UART baudrate\", \"value\": 48, \"text\": \"115200\"},\n"
        "    {\"index\": 4, \"name\": \"Averaged values counter\", \"value\": 1, \"text\": "
        "\"1\"},\n"
        "    {\"index\": 5, \"name\": \"Sampling period\", \"value\": 500, \"text\": \"500\"},\n"
        "    {\"index\": 6, \"name\": \"Analog output range (BEG)\", \"value\": 0, \"text\": "
        "\"0\"},\n"
        "    {\"index\": 7, \"name\": \"Analog output range (END)\", \"value\": 16384, \"text\": "
        "\"1000\"},\n"
        "    {\"index\": 8, \"name\": \"DelayMsr\", \"value\": 1, \"text\": \"1\"},\n"
        "    {\"index\": 9, \"name\": \"Etalon\", \"value\": 0, \"text\": \"0\"},\n"
        "    {\"index\": 10, \"name\": \"AnalogOutLo\", \"value\": 1, \"text\": \"1\"},\n"
        "    {\"index\": 11, \"name\": \"AnalogOutHi\", \"value\": 0, \"text\": \"0\"},\n"
        "    {\"index\": 12, \"name\": \"Number of borders\", \"value\": 1, \"text\": \"1\"},\n"
        "    {\"index\": 13, \"name\": \"Measure type\", \"value\": 0, \"text\": \"knife\"},\n"
        "    {\"index\": 14, \"name\": \"Border A\", \"value\": 1, \"text\": \"1\"},\n"
        "    {\"index\": 15, \"name\": \"Border B\", \"value\": 1, \"text\": \"1\"},\n"
        "    {\"index\": 16, \"name\": \"LowLimit\", \"value\": 0, \"text\": \"0\"},\n"
        "    {\"index\": 17, \"name\": \"UpLimit\", \"value\": 0, \"text\": \"0\"},\n"
        "    {\"index\": 18, \"name\": \"OutLogic\", \"value\": 0, \"text\": \"0\"},\n"
        "    {\"index\": 19, \"name\": \"Dia Correction\", \"value\": 0, \"text\": \"0\"}\n"
        "  ]\n"
        "}\n";
    const ParameterFileResult r = ParseParameterFile(text);
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.file.program, "MK27x-SP 0.1");
    EXPECT_EQ(*r.file.sensor, (SensorIdentity{27, 2, 1234, 100, 50}));
    EXPECT_EQ(r.file.values[kUartBaudrate], 48);
    ParameterSet values{};
    std::copy(r.file.values.begin(), r.file.values.end(), values.begin());
    EXPECT_EQ(ParameterFileText(values, r.file.sensor, r.file.time), text);
}

TEST(ParameterFileTest, BadFilesAreRefusedWithTheFirstBadEntry) {
    const std::string good = DefaultText();
    struct Case {
        std::string text;
        std::string error;
    };
    const std::vector<Case> cases{
        {good.substr(0, good.size() / 2), "not valid JSON: unexpected end of file"},
        {"", "not valid JSON: unexpected end of file"},
        {"[1, 2]", "not a parameter file"},
        {Replace(good, "\"version\": 1", "\"version\": 2"), "unknown format version 2"},
        {Replace(good, "\"version\": 1", "\"version\": \"1\""),
         "\"version\" is missing or not a whole number"},
        {Replace(good, "\"mk27x-parameters\"", "\"other\""), "not a parameter file"},
        {Replace(good, "\"name\": \"Sampling period\", \"value\": 500",
                 "\"name\": \"Sampling period\", \"value\": \"500\""),
         "Parameter 'Sampling period': \"value\" is not a number"},
        {Replace(good, "\"name\": \"Sampling period\", \"value\": 500",
                 "\"name\": \"Sampling period\", \"value\": 0"),
         "Parameter 'Sampling period': value 0 is out of range (1 to 65535)"},
        {Replace(good, "\"name\": \"DelayMsr\", \"value\": 1",
                 "\"name\": \"DelayMsr\", \"value\": 256"),
         "Parameter 'DelayMsr': value 256 is out of range (0 to 255)"},
        {Replace(good, "\"name\": \"Sampling period\", \"value\": 500",
                 "\"name\": \"Sampling period\", \"value\": 70000"),
         "Parameter 'Sampling period': \"value\" is not a whole number 0 to 65535"},
        {Replace(good, "\"name\": \"Sampling period\", \"value\": 500",
                 "\"name\": \"Sampling period\", \"value\": 1.5"),
         "Parameter 'Sampling period': \"value\" is not a whole number 0 to 65535"},
        {Replace(good, "\"name\": \"UART baudrate\", \"value\": 4",
                 "\"name\": \"UART baudrate\", \"value\": 5"),
         "Parameter 'UART baudrate': value 5 is not one the row offers"},
        {Replace(good, "\"name\": \"Network address\", \"value\": 1",
                 "\"name\": \"Network address\", \"value\": 128"),
         "Parameter 'Network address': value 128 is not one the row offers"},
        {Replace(good, "\"name\": \"OutLogic\", \"value\": 0",
                 "\"name\": \"OutLogic\", \"value\": 256"),
         "Parameter 'OutLogic': value 256 does not fit one byte"},
        {Replace(good, "\"name\": \"DelayMsr\"", "\"name\": \"Delay\""),
         "Parameter 'DelayMsr': \"name\" does not match"},
        {Replace(good, "{\"index\": 8,", "{\"index\": 9,"),
         "Parameter 'DelayMsr': \"index\" is not 8"},
        {Replace(good, "\"sensor\": {\"model\": 27", "\"sensor\": {\"model\": \"27\""),
         "sensor \"model\" is missing or not a number 0 to 255"},
        {Replace(good, "\"parameters\": [", "\"parameters\": [1, "),
         "\"parameters\" holds 21 entries, not 20"},
        {std::string(100, '[') + std::string(100, ']'), "not valid JSON: nesting too deep"},
        {"{\"format\": \"" + std::string(300, 'x') + "\"}", "not valid JSON: string too long"},
        {"[1e999]", "not valid JSON: bad number"},
        {"{\"format\": tru}", "not valid JSON: invalid literal at byte 14"},
        {std::string(kMaxParameterFileBytes + 1, ' '), "the file is larger than 65536 bytes"},
    };
    for (const Case& c : cases) {
        const ParameterFileResult r = ParseParameterFile(c.text);
        EXPECT_FALSE(r.ok) << c.error;
        // JSON errors go on with the byte they were found at.
        EXPECT_EQ(r.error.substr(0, c.error.size()), c.error);
    }
    // The defaults round-trip, even where a pick list has no item for them.
    EXPECT_TRUE(ParseParameterFile(good).ok);
    // Signed rows take their whole range.
    EXPECT_EQ(ParameterValueProblem(kDiaCorrection, 0x8000), "");
}

TEST(ParameterFileTest, OtherModelLoadsOnlyAfterConfirmation) {
    ParameterFile file = ParseParameterFile(DefaultText()).file;
    file.values[kSamplingPeriod] = 1000;
    ParameterSet values = DefaultParameterSet();
    values[20] = 77;
    const ParameterSet before = values;
    std::vector<std::pair<int, int>> asked;
    bool answer = false;
    auto ask = [&](int file_model, int sensor_model) {
        asked.emplace_back(file_model, sensor_model);
        return answer;
    };
    const SensorIdentity other{28, 1, 1, 1, 1};

    EXPECT_FALSE(ApplyParameterFile(file, other, values, ask));
    EXPECT_EQ(values, before);
    EXPECT_EQ(asked, (std::vector<std::pair<int, int>>{{27, 28}}));

    answer = true;
    EXPECT_TRUE(ApplyParameterFile(file, other, values, ask));
    EXPECT_EQ(values[kSamplingPeriod], 1000);
    EXPECT_EQ(values[20], 77);  // the spare entry stays

    // Same model, or no sensor known: no question.
    asked.clear();
    EXPECT_TRUE(ApplyParameterFile(file, SensorIdentity{27, 9, 9, 9, 9}, values, ask));
    EXPECT_TRUE(ApplyParameterFile(file, std::nullopt, values, ask));
    EXPECT_TRUE(asked.empty());
}

TEST(ParameterFileTest, RoundTripFromOneSensorToAnother) {
    // Sensor A with its own settings is read and saved.
    testing::SimBackends a;
    a.sensor->SetRegister(kDelayMsrRegister, 9);
    a.sensor->SetRegister(kSamplingLow, 0x14);
    VirtualClock clock;
    SensorSession session_a(clock, a.Backends());
    ASSERT_EQ(session_a.Connect(), ConnectOutcome::Connected);
    const std::string text =
        ParameterFileText(session_a.Values(), session_a.Identity(), ParameterFileTime());

    // Sensor B starts from the factory set; the file goes in through Load All.
    testing::SimBackends b;
    SensorSession session_b(clock, b.Backends());
    ASSERT_EQ(session_b.Connect(), ConnectOutcome::Connected);
    const ParameterFileResult r = ParseParameterFile(text);
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_TRUE(ApplyParameterFile(r.file, session_b.Identity(), session_b.Values(), {}));
    session_b.LoadAllParameters();
    EXPECT_TRUE(session_b.LinkAlive());
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        EXPECT_EQ(session_b.ReadBack()[k], session_a.Values()[k]) << ParameterTable[k].name;
    }
    EXPECT_EQ(b.sensor->Register(kDelayMsrRegister), 9);
}

class ParameterFileDiskTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("mk27x-pf-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir_);
    }
    void TearDown() override {
        fs::permissions(dir_, fs::perms::owner_all);
        fs::remove_all(dir_);
    }
    fs::path dir_;
};

TEST_F(ParameterFileDiskTest, WriteReplacesWholeAndLeavesNoTemporary) {
    const fs::path target = dir_ / "set.json";
    std::ofstream(target) << "old";
    std::string error;
    ASSERT_TRUE(WriteParameterFile(target.string(), DefaultText(), error)) << error;
    EXPECT_EQ(testing::ReadFile(target), DefaultText());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
    const ParameterFileResult r = ReadParameterFile(target.string());
    EXPECT_TRUE(r.ok) << r.error;
    EXPECT_EQ(ReadParameterFile((dir_ / "none.json").string()).error, "cannot open the file");
    EXPECT_FALSE(WriteParameterFile((dir_ / "no-dir" / "set.json").string(), "x", error));
    // Renaming over a directory fails: the temporary goes, the directory stays.
    fs::create_directory(dir_ / "taken.json");
    EXPECT_FALSE(WriteParameterFile((dir_ / "taken.json").string(), "x", error));
    EXPECT_TRUE(fs::is_directory(dir_ / "taken.json"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 2);
}

TEST_F(ParameterFileDiskTest, FailedWriteKeepsTheOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes anywhere";
    const fs::path target = dir_ / "set.json";
    std::ofstream(target) << "old";
    // Neither the folder nor the file takes a write.
    fs::permissions(target, fs::perms::owner_read);
    fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
    std::string error;
    EXPECT_FALSE(WriteParameterFile(target.string(), DefaultText(), error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(testing::ReadFile(target), "old");
}

}  // namespace
}  // namespace mk27x
