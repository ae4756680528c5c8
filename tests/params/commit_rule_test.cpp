// The commit rule of every row at its edges.
#include "params/commit_rule.h"

#include <gtest/gtest.h>

#include "params/parameter_table.h"

namespace mk27x {
namespace {

CommitResult Commit(int index, std::string_view text, std::uint16_t current = 0,
                    std::int16_t range = 50) {
    return CommitParameterText(index, text, current, range);
}

void ExpectStored(const CommitResult& r, std::uint16_t value) {
    EXPECT_EQ(r.action, CommitAction::Store);
    EXPECT_EQ(r.value, value);
}

void ExpectPutBack(const CommitResult& r, std::uint16_t current, const std::string& text) {
    EXPECT_EQ(r.action, CommitAction::PutBack);
    EXPECT_EQ(r.value, current);
    EXPECT_EQ(r.text, text);
}

TEST(CommitRule, BoundedNumbersAtTheirLimitsAndLengths) {
    ExpectPutBack(Commit(5, "70000", 500), 500, "500");  // above 65535
    ExpectPutBack(Commit(5, "0", 500), 500, "500");      // below 1
    ExpectPutBack(Commit(5, "", 500), 500, "500");
    ExpectPutBack(Commit(5, "123456", 500), 500, "500");  // longer than 5
    ExpectStored(Commit(5, "65535", 500), 65535);
    ExpectStored(Commit(5, "1", 500), 1);
    ExpectStored(Commit(8, "255"), 255);
    ExpectPutBack(Commit(8, "256", 1), 1, "1");
    ExpectPutBack(Commit(8, "1000", 1), 1, "1");
    ExpectStored(Commit(10, "65535"), 0xFFFF);
    ExpectStored(Commit(11, "0"), 0);
}

TEST(CommitRule, SignedRowKeepsTheLowSixteenBits) {
    ExpectStored(Commit(19, "-9999"), 0xD8F1);
    ExpectStored(Commit(19, "32767"), 32767);
    ExpectPutBack(Commit(19, "-32768", 7), 7, "7");  // six characters
    ExpectPutBack(Commit(19, "40000", 0xFFFF), 0xFFFF, "-1");
}

TEST(CommitRule, RangeRowsHoldTheConvertedFractionAndPutBackTruncated) {
    ExpectStored(Commit(6, "1000"), 16384);
    ExpectPutBack(Commit(6, "1001", 130), 130, "7");  // 16400 > 16384; 130 reads back 7
    ExpectStored(Commit(7, "8"), 131);
    ExpectStored(Commit(7, "0"), 0);
    ExpectPutBack(Commit(7, "-1", 130), 130, "7");
}

TEST(CommitRule, DistanceRowsHoldTheRegisterValue) {
    ExpectStored(Commit(9, "25000", 0, 50), 8192);
    ExpectStored(Commit(16, "0", 7, 50), 0);
    // The typed number is held against 0..65535 whatever it converts to.
    ExpectStored(Commit(17, "65535", 0, 50), 21475);
    ExpectPutBack(Commit(17, "65536", 0, 50), 0, "0");
    ExpectPutBack(Commit(9, "100000", 8192, 50), 8192, "25000");  // would be 32768
    ExpectPutBack(Commit(9, "100000", 0, 250), 0, "0");
    ExpectPutBack(Commit(9, "-1", 8192, 50), 8192, "25000");
    // And the converted value against 16 bits: 65535 um at 16 mm is 67108.
    ExpectPutBack(Commit(9, "65535", 8192, 16), 8192, "8000");
    ExpectStored(Commit(16, "63999", 0, 16), 65535);
    ExpectPutBack(Commit(16, "64000", 0, 16), 0, "0");  // 65536
    ExpectPutBack(Commit(9, "", 8192, 50), 8192, "25000");
    ExpectPutBack(Commit(9, "12345678", 8192, 50), 8192, "25000");
    // No sensor identified: every distance text is put back.
    EXPECT_EQ(Commit(9, "25000", 5, 0).action, CommitAction::PutBack);
}

TEST(CommitRule, UnboundedRows) {
    ExpectStored(Commit(0, "off", 1), 0);
    ExpectStored(Commit(0, "on", 0), 1);
    ExpectStored(Commit(0, "anything", 0), 1);
    ExpectStored(Commit(3, "230400"), 96);
    ExpectStored(Commit(13, "average"), 2);
    EXPECT_EQ(Commit(13, "sideways", 3).action, CommitAction::Ignore);
    ExpectStored(Commit(2, "5"), 5);
    ExpectStored(Commit(12, "15"), 15);
    EXPECT_EQ(Commit(1, "12", 4).action, CommitAction::Ignore);
    EXPECT_EQ(Commit(18, "7", 4).value, 4);
}

TEST(CommitRule, TextThatIsNoIntegerIsTheConversionError) {
    for (int row : {2, 3, 5, 6, 9, 19}) {
        const CommitResult r = Commit(row, "12a", 3);
        EXPECT_EQ(r.action, CommitAction::ConversionError) << row;
        EXPECT_EQ(r.text, "'12a' is not a valid integer value") << row;
        EXPECT_EQ(r.value, 3) << row;
    }
    EXPECT_EQ(Commit(19, "-").text, "'-' is not a valid integer value");
    EXPECT_EQ(Commit(19, "1-2").action, CommitAction::ConversionError);
    // Decimal digits with an optional leading "-" only.
    for (const char* text : {"$FF", "0x1f", "+7", " 7"}) {
        EXPECT_EQ(Commit(10, text).text,
                  "'" + std::string(text) + "' is not a valid integer value");
        EXPECT_EQ(Commit(2, text).action, CommitAction::ConversionError) << text;
    }
}

TEST(CommitRule, DigitGuardRows) {
    int bounded = 0;
    for (int i = 0; i < kParameterCount; ++i) bounded += IsBoundedRow(i);
    EXPECT_EQ(bounded, 10);
    EXPECT_TRUE(IsBoundedRow(19));
    EXPECT_FALSE(IsBoundedRow(18));
    EXPECT_FALSE(IsBoundedRow(12));
}

}  // namespace
}  // namespace mk27x
