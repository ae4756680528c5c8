// The *.tbl reader: how many lines, which characters, which numbers, and every
// way a file is refused.
#include <gtest/gtest.h>

#include <sstream>

#include "calibration/calibration_table.h"
#include "platform/message_box.h"
#include "tbl_files.h"

namespace mk27x {
namespace {

using testing::LinePrefix;
using testing::SampleFields;
using testing::SampleValue;
using testing::TblText;
using testing::TempDir;

CalibrationFileResult Parse(const std::string& text, std::uint8_t release = 2) {
    std::istringstream in(text);
    return ReadCalibration(in, release);
}

// The refusal message of a file, or "" when it was read.
std::string Refusal(const std::string& text) {
    const CalibrationFileResult r = Parse(text);
    return r.ok() ? "" : r.error.text;
}

TEST(CalibrationSizes, ByRelease) {
    EXPECT_EQ(CalibrationSizesFor(1), (CalibrationSizes{41740, 82}));
    EXPECT_EQ(CalibrationSizesFor(0), (CalibrationSizes{15900, 30}));
    EXPECT_EQ(CalibrationSizesFor(2), (CalibrationSizes{15900, 30}));
    EXPECT_EQ(CalibrationSizesFor(255), (CalibrationSizes{15900, 30}));
}

TEST(CalibrationFile, ReleaseOneReadsExactly41740LinesAndIgnoresTheRest) {
    std::vector<std::string> fields = SampleFields(41740);
    fields.push_back("not a number at all");  // line 41741 is never looked at
    const CalibrationFileResult r = Parse(TblText(fields), 1);
    ASSERT_TRUE(r.ok()) << r.error.text;
    EXPECT_EQ(r.table->sizes, (CalibrationSizes{41740, 82}));
    for (int i = 0; i < 41740; ++i) ASSERT_EQ(r.table->entries[i], SampleValue(i)) << i;
    EXPECT_EQ(r.table->entries[41740], 0);
    EXPECT_EQ(r.table->entries.size(), 100000u);
}

TEST(CalibrationFile, OtherReleasesRead15900Lines) {
    std::vector<std::string> fields = SampleFields(15900);
    fields.push_back("garbage");
    EXPECT_TRUE(Parse(TblText(fields), 2).ok());
    // ... and the 15900th line is read: a bad one there is refused.
    fields.pop_back();
    fields.back() = "garbage";
    EXPECT_EQ(Refusal(TblText(fields)), "'garbage' is not a valid integer value");
}

TEST(CalibrationFile, FieldFormsFromThe18thCharacter) {
    const std::vector<std::string> fields = {
        "1234",   "  -17", "+5", "$1F",    "0x1f",   "-$10",
        "0X7FFF", "0",     "-0", "123456", "-12345", "   999",
    };
    const CalibrationFileResult r = Parse(TblText(fields));
    ASSERT_TRUE(r.ok()) << r.error.text;
    const std::vector<std::int32_t> expected = {1234,   -17, 5, 31,     31,     -16,
                                                0x7FFF, 0,   0, 123456, -12345, 999};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(r.table->entries[i], expected[i]);
    // The 17 characters before the field may be anything but a NUL or a line end.
    EXPECT_EQ(Parse("h\n!@#$%^&*()-=+xyzw42\n").table->entries[0], 42);
    // Extremes of 32 bits fit only in longer fields, which no line of at most
    // 23 characters holds; the widest fields still do.
    EXPECT_EQ(Parse(TblText({"-99999", "$FFFFF"})).table->entries[1], 0xFFFFF);
}

TEST(CalibrationFile, LineEndsCrLfAndMissingFinalLineFeed) {
    const CalibrationFileResult crlf = Parse(TblText({"12", "34"}, "\r\n"));
    ASSERT_TRUE(crlf.ok()) << crlf.error.text;
    EXPECT_EQ(crlf.table->entries[1], 34);
    // 23 characters plus CR LF is still a data line of 23 characters.
    const CalibrationFileResult widest = Parse(TblText({"123456"}, "\r\n"));
    ASSERT_TRUE(widest.ok()) << widest.error.text;
    EXPECT_EQ(widest.table->entries[0], 123456);
    const CalibrationFileResult no_final = Parse("header\n" + LinePrefix(0) + "77");
    ASSERT_TRUE(no_final.ok());
    EXPECT_EQ(no_final.table->entries[0], 77);
    // A carriage return inside a line is a character of it.
    EXPECT_EQ(Refusal("header\n" + LinePrefix(0) + "7\r7\n"),
              "'7\r7' is not a valid integer value");
}

TEST(CalibrationFile, ShortFileRepeatsTheLastValue) {
    const CalibrationFileResult r = Parse(TblText({"5", "6", "-7"}));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.table->entries[0], 5);
    EXPECT_EQ(r.table->entries[1], 6);
    for (int i = 2; i < 15900; ++i) ASSERT_EQ(r.table->entries[i], -7) << i;
    EXPECT_EQ(r.table->entries[15900], 0);
}

TEST(CalibrationFile, RefusedFilesAndTheirMessages) {
    const std::string empty_field = "'' is not a valid integer value";
    EXPECT_EQ(Refusal(""), empty_field);
    EXPECT_EQ(Refusal("header only\n"), empty_field);
    EXPECT_EQ(Refusal("header only, no line end"), empty_field);
    // Shorter than 18 characters: an empty field, whatever the line holds.
    EXPECT_EQ(Refusal(TblText({"1", "2"}) + "1234567890\n"), empty_field);
    EXPECT_EQ(Refusal("h\n1234567890\n"), empty_field);
    EXPECT_EQ(Refusal("h\n" + LinePrefix(0) + "\n"), empty_field);
    EXPECT_EQ(Refusal("h\n\n"), empty_field);
    EXPECT_EQ(Refusal(TblText({"1", "", "3"})), empty_field);
    // Not a number.
    EXPECT_EQ(Refusal(TblText({"12a4"})), "'12a4' is not a valid integer value");
    EXPECT_EQ(Refusal(TblText({"1234 "})), "'1234 ' is not a valid integer value");
    EXPECT_EQ(Refusal(TblText({"- 5"})), "'- 5' is not a valid integer value");
    EXPECT_EQ(Refusal(TblText({"0x"})), "'0x' is not a valid integer value");
    EXPECT_EQ(Refusal(TblText({"$"})), "'$' is not a valid integer value");
    EXPECT_EQ(Refusal(TblText({"1.5"})), "'1.5' is not a valid integer value");
    // Longer than 23 characters: refused with the whole field, numeric or not.
    EXPECT_EQ(Refusal(TblText({"1234567"})), "'1234567' is not a valid integer value");
    EXPECT_EQ(Refusal(TblText({"12", "    1234"})), "'    1234' is not a valid integer value");
    const std::string long_field(500, '9');
    EXPECT_EQ(Refusal(TblText({long_field})),
              "'" + std::string(kShownFieldLimit, '9') + "...' is not a valid integer value");
    // A NUL byte: the line it stands in is refused, with its field up to it.
    EXPECT_EQ(Refusal(TblText({"1", std::string("12\0", 3) + "3"})),
              "'12' is not a valid integer value");
    EXPECT_EQ(Refusal("h\n" + std::string("abc\0", 4) + "defghijklmnopq55\n"), empty_field);
    EXPECT_EQ(Refusal(std::string("head\0er\n", 8) + LinePrefix(0) + "1\n"), empty_field);
}

TEST(CalibrationFile, RefusalsUseTheGeneralErrorReport) {
    const CalibrationFileResult r = Parse(TblText({"x"}));
    EXPECT_EQ(r.error, (CalibrationRefusal{CalibrationRefusal::Kind::ConversionError,
                                           "'x' is not a valid integer value"}));
}

TEST(CalibrationFile, ReadsFromDiskAndRefusesWhatCannotBeOpened) {
    TempDir dir;
    const std::string path = dir.Write("1234.tbl", TblText({"10", "-20"}, "\r\n"));
    const CalibrationFileResult r = ReadCalibrationFile(path, 1);
    ASSERT_TRUE(r.ok()) << r.error.text;
    EXPECT_EQ(r.table->sizes.blocks, 82);
    EXPECT_EQ(r.table->entries[41739], -20);

    const std::string missing = dir.Path("missing.tbl");
    EXPECT_EQ(ReadCalibrationFile(missing, 2).error,
              (CalibrationRefusal{CalibrationRefusal::Kind::CannotOpen,
                                  "Cannot open file " + missing + "."}));
    const std::string directory = dir.Path("");
    EXPECT_EQ(ReadCalibrationFile(directory, 2).error.text, "Cannot open file " + directory + ".");

    // A device that never ends a line is refused at once.
    EXPECT_EQ(ReadCalibrationFile("/dev/zero", 2).error.text, "'' is not a valid integer value");

    // A binary file: the line holding its first NUL byte is refused.
    std::string binary;
    for (int i = 0; i < 512; ++i) binary.push_back(static_cast<char>(i & 0xFF));
    EXPECT_EQ(ReadCalibrationFile(dir.Write("binary.tbl", binary), 2).error.text,
              "'' is not a valid integer value");
}

}  // namespace
}  // namespace mk27x
