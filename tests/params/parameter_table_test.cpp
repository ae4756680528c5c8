// The parameter table row by row: register image, default, limits and the
// grid cell of every parameter, written out here independently of the table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "params/parameter_table.h"
#include "params/parameter_text.h"

namespace mk27x {
namespace {

struct ExpectedRow {
    const char* name;
    int reg;
    int bytes;
    int default_value;
    int lower;
    int upper;
    EditStyle style;
    int max_length;
    std::vector<std::string> pick_list;
    bool read_only;
};

std::vector<std::string> Numbers(int last) {
    std::vector<std::string> v;
    for (int i = 1; i <= last; ++i) v.push_back(std::to_string(i));
    return v;
}

using enum EditStyle;

const std::vector<ExpectedRow>& Expected() {
    static const std::vector<ExpectedRow> rows{
        {"Sensor On/Off", 0x00, 1, 1, 0, 1, PickList, 5, {"off", "on"}, true},
        {"Synchronization control byte", 0x02, 1, 0, 0, 1, Ellipsis, 7, {}, false},
        {"Network address", 0x03, 1, 1, 1, 127, PickList, 5, Numbers(127), true},
        {"UART baudrate",
         0x04,
         1,
         4,
         1,
         8,
         PickList,
         6,
         {"9600", "115200", "230400", "460800", "921600"},
         true},
        {"Averaged values counter", 0x06, 1, 1, 1, 128, PickList, 3, Numbers(128), true},
        {"Sampling period", 0x08, 2, 500, 1, 65535, Simple, 5, {}, false},
        {"Analog output range (BEG)", 0x0C, 2, 0, 0, 16384, Ellipsis, 4, {}, false},
        {"Analog output range (END)", 0x0E, 2, 16384, 0, 16384, Ellipsis, 4, {}, false},
        {"DelayMsr", 0x10, 1, 1, 0, 255, Simple, 3, {}, false},
        {"Etalon", 0x17, 2, 0, 0, 65535, Simple, 7, {}, false},
        {"AnalogOutLo", 0x19, 2, 1, 0, 65535, Simple, 5, {}, false},
        {"AnalogOutHi", 0x1B, 2, 0, 0, 65535, Simple, 5, {}, false},
        {"Number of borders", 0x1E, 1, 0, 0, 255, PickList, 3, Numbers(15), true},
        {"Measure type",
         0x1E,
         1,
         0,
         0,
         255,
         PickList,
         5,
         {"knife", "substrate", "average", "Border_A", "Border_B"},
         true},
        {"Border A", 0x1F, 1, 0, 0, 255, PickList, 3, Numbers(15), true},
        {"Border B", 0x1F, 1, 0, 0, 255, PickList, 3, Numbers(15), true},
        {"LowLimit", 0x22, 2, 0, 0, 65535, Simple, 7, {}, false},
        {"UpLimit", 0x24, 2, 0, 0, 65535, Simple, 7, {}, false},
        {"OutLogic", 0x26, 1, 0, 0, 7, Ellipsis, 7, {}, false},
        {"Dia Correction", 0x15, 2, 0, -32768, 32767, Simple, 5, {}, false},
    };
    return rows;
}

TEST(ParameterTable, EveryRowMatchesItsRegisterImageAndGridCell) {
    ASSERT_EQ(Expected().size(), static_cast<std::size_t>(kParameterCount));
    for (int i = 0; i < kParameterCount; ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        const ExpectedRow& e = Expected()[static_cast<std::size_t>(i)];
        const ParameterRow& row = ParameterTable[static_cast<std::size_t>(i)];
        EXPECT_EQ(row.name, e.name);
        EXPECT_EQ(row.reg, e.reg);
        EXPECT_EQ(row.bytes, e.bytes);
        EXPECT_EQ(row.default_value, e.default_value);
        EXPECT_EQ(row.lower, e.lower);
        EXPECT_EQ(row.upper, e.upper);
        EXPECT_EQ(row.edit_style, e.style);
        EXPECT_EQ(row.max_length, e.max_length);
        EXPECT_EQ(PickListItems(i), e.pick_list);
        EXPECT_EQ(row.read_only, e.read_only);
    }
}

TEST(ParameterTable, BothSetsStartAtTheDefaultsWithTheSpareAtZero) {
    const ParameterSet set = DefaultParameterSet();
    for (int i = 0; i < kParameterCount; ++i)
        EXPECT_EQ(set[static_cast<std::size_t>(i)],
                  Expected()[static_cast<std::size_t>(i)].default_value)
            << "row " << i;
    EXPECT_EQ(set[kParameterCount], 0);
}

}  // namespace
}  // namespace mk27x
