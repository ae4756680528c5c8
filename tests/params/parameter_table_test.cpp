// The table's rows at their edges: the lowest and highest text a bounded row
// takes, the texts just beyond, its cell's length; the first and last item of
// every pick list. Registers, byte counts and packing are read from a sensor
// in tests/session/parameter_registers_test.cpp; the texts of the defaults in
// parameter_text_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "params/commit_rule.h"
#include "params/parameter_table.h"
#include "params/parameter_text.h"

namespace mk27x {
namespace {

constexpr std::int16_t kRange = 50;  // mm
constexpr std::uint16_t kCurrent = 3;

TEST(ParameterTable, BoundedRowsAtTheirEdges) {
    const struct {
        int row;
        int length;
        const char* below;
        const char* lowest;
        std::uint16_t lowest_value;
        const char* highest;
        std::uint16_t highest_value;
        const char* above;
    } rows[] = {
        {kSamplingPeriod, 5, "0", "1", 1, "65535", 65535, "70000"},
        {kRangeBegin, 4, "-1", "0", 0, "1000", 16384, "1001"},
        {kRangeEnd, 4, "-1", "0", 0, "1000", 16384, "1001"},
        {8, 3, "-1", "0", 0, "255", 255, "256"},
        {9, 7, "-1", "0", 0, "65535", 21475, "65536"},  // um: 16384 is 50 mm
        {10, 5, "-1", "0", 0, "65535", 65535, "99999"},
        {11, 5, "-1", "0", 0, "65535", 65535, "99999"},
        {16, 7, "-1", "0", 0, "65535", 21475, "65536"},
        {17, 7, "-1", "0", 0, "65535", 21475, "65536"},
        {kDiaCorrection, 5, "-10000", "-9999", 0xD8F1, "32767", 32767, "32768"},
    };
    int bounded = 0;
    for (int i = 0; i < kParameterCount; ++i) bounded += IsBoundedRow(i);
    EXPECT_EQ(bounded, static_cast<int>(std::size(rows)));
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(ParameterTable[static_cast<std::size_t>(r.row)].name));
        EXPECT_TRUE(IsBoundedRow(r.row));
        auto commit = [&](const std::string& text) {
            return CommitParameterText(r.row, text, kCurrent, kRange);
        };
        for (const std::string& refused :
             {std::string(r.below), std::string(r.above), std::string(r.length, '0') + "1"}) {
            const CommitResult c = commit(refused);
            EXPECT_EQ(c.action, CommitAction::PutBack) << refused;
            EXPECT_EQ(c.value, kCurrent) << refused;
        }
        EXPECT_EQ(commit(r.lowest).action, CommitAction::Store);
        EXPECT_EQ(commit(r.lowest).value, r.lowest_value);
        EXPECT_EQ(commit(r.highest).action, CommitAction::Store);
        EXPECT_EQ(commit(r.highest).value, r.highest_value);
        EXPECT_EQ(commit(std::string(r.length - 1, '0') + "1").action, CommitAction::Store);
    }
}

TEST(ParameterTable, PickListsFromFirstToLastItem) {
    const struct {
        int row;
        std::size_t count;
        const char* first;
        const char* last;
    } lists[] = {
        {kSensorOnOff, 2, "off", "on"},
        {kNetworkAddress, 127, "1", "127"},
        {kUartBaudrate, 5, "9600", "921600"},
        {4, 128, "1", "128"},
        {kNumberOfBorders, 15, "1", "15"},
        {kMeasureType, 5, "knife", "Border_B"},
        {kBorderA, 15, "1", "15"},
        {kBorderB, 15, "1", "15"},
    };
    std::size_t with_list = 0;
    for (int i = 0; i < kParameterCount; ++i) with_list += !PickListItems(i).empty();
    EXPECT_EQ(with_list, std::size(lists));
    for (const auto& l : lists) {
        const std::vector<std::string> items = PickListItems(l.row);
        ASSERT_EQ(items.size(), l.count) << l.row;
        EXPECT_EQ(items.front(), l.first);
        EXPECT_EQ(items.back(), l.last);
        // Pick-list cells offer their items only.
        EXPECT_TRUE(ParameterTable[static_cast<std::size_t>(l.row)].read_only) << l.row;
    }
    EXPECT_EQ(DefaultParameterSet()[kParameterCount], 0);  // the spare entry
}

}  // namespace
}  // namespace mk27x
