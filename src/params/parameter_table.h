// The sensor's 20 working parameters: where each lives in the register space,
// its default and limits, and how its grid row is presented.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace mk27x {

inline constexpr int kParameterCount = 20;
// Both value sets carry one spare entry after the 20 parameters.
inline constexpr int kValueSetSize = 21;

using ParameterSet = std::array<std::uint16_t, kValueSetSize>;

// The rates of the sensor's UART, in the order of the "UART baudrate" row's
// list: the items of the window's rate box and the values of --baud.
inline constexpr std::array<std::uint32_t, 5> kBaudRates{9600, 115200, 230400, 460800, 921600};

enum class EditStyle { Simple, Ellipsis, PickList };

enum class DisplayForm {
    Decimal,
    SignedDecimal,
    Switch,
    Baud,
    RangeFraction,
    Distance,
    MeasureType,
};

// How the two parameters sharing a register byte are packed into it.
enum class Packing {
    None,
    HighNibbleMinusOne,  // "Number of borders", "Border A": stored (value - 1) in bits 7..4
    LowNibble,           // "Measure type": stored as is in bits 3..0
    LowNibbleMinusOne,   // "Border B": stored (value - 1) in bits 3..0
};

struct ParameterRow {
    std::string_view name;
    std::uint8_t reg;
    std::uint8_t bytes;
    std::uint16_t default_value;
    std::int32_t lower;
    std::int32_t upper;
    EditStyle edit_style;
    int max_length;
    std::string_view pick_list;  // comma-separated; a numeric list is "1..N"
    bool read_only;
    DisplayForm form;
    Packing packing;
};

// Indexes with a meaning of their own elsewhere in the program.
enum ParameterIndex : int {
    kSensorOnOff = 0,
    kSynchronization = 1,
    kNetworkAddress = 2,
    kUartBaudrate = 3,
    kSamplingPeriod = 5,
    kRangeBegin = 6,
    kRangeEnd = 7,
    kNumberOfBorders = 12,
    kMeasureType = 13,
    kBorderA = 14,
    kBorderB = 15,
    kOutLogic = 18,
    kDiaCorrection = 19,
};

// clang-format off
inline constexpr std::array<ParameterRow, kParameterCount> ParameterTable{{
    {"Sensor On/Off",                0x00, 1,     1,      0,     1, EditStyle::PickList, 5, "off,on", true,  DisplayForm::Switch,        Packing::None},
    {"Synchronization control byte", 0x02, 1,     0,      0,     1, EditStyle::Ellipsis, 7, "",       false, DisplayForm::Decimal,       Packing::None},
    {"Network address",              0x03, 1,     1,      1,   127, EditStyle::PickList, 5, "1..127", true,  DisplayForm::Decimal,       Packing::None},
    {"UART baudrate",                0x04, 1,     4,      1,     8, EditStyle::PickList, 6, "9600,115200,230400,460800,921600", true, DisplayForm::Baud, Packing::None},
    {"Averaged values counter",      0x06, 1,     1,      1,   128, EditStyle::PickList, 3, "1..128", true,  DisplayForm::Decimal,       Packing::None},
    {"Sampling period",              0x08, 2,   500,      1, 65535, EditStyle::Simple,   5, "",       false, DisplayForm::Decimal,       Packing::None},
    {"Analog output range (BEG)",    0x0C, 2,     0,      0, 16384, EditStyle::Ellipsis, 4, "",       false, DisplayForm::RangeFraction, Packing::None},
    {"Analog output range (END)",    0x0E, 2, 16384,      0, 16384, EditStyle::Ellipsis, 4, "",       false, DisplayForm::RangeFraction, Packing::None},
    {"DelayMsr",                     0x10, 1,     1,      0,   255, EditStyle::Simple,   3, "",       false, DisplayForm::Decimal,       Packing::None},
    {"Etalon",                       0x17, 2,     0,      0, 65535, EditStyle::Simple,   7, "",       false, DisplayForm::Distance,      Packing::None},
    {"AnalogOutLo",                  0x19, 2,     1,      0, 65535, EditStyle::Simple,   5, "",       false, DisplayForm::Decimal,       Packing::None},
    {"AnalogOutHi",                  0x1B, 2,     0,      0, 65535, EditStyle::Simple,   5, "",       false, DisplayForm::Decimal,       Packing::None},
    {"Number of borders",            0x1E, 1,     0,      0,   255, EditStyle::PickList, 3, "1..15",  true,  DisplayForm::Decimal,       Packing::HighNibbleMinusOne},
    {"Measure type",                 0x1E, 1,     0,      0,   255, EditStyle::PickList, 5, "knife,substrate,average,Border_A,Border_B", true, DisplayForm::MeasureType, Packing::LowNibble},
    {"Border A",                     0x1F, 1,     0,      0,   255, EditStyle::PickList, 3, "1..15",  true,  DisplayForm::Decimal,       Packing::HighNibbleMinusOne},
    {"Border B",                     0x1F, 1,     0,      0,   255, EditStyle::PickList, 3, "1..15",  true,  DisplayForm::Decimal,       Packing::LowNibbleMinusOne},
    {"LowLimit",                     0x22, 2,     0,      0, 65535, EditStyle::Simple,   7, "",       false, DisplayForm::Distance,      Packing::None},
    {"UpLimit",                      0x24, 2,     0,      0, 65535, EditStyle::Simple,   7, "",       false, DisplayForm::Distance,      Packing::None},
    {"OutLogic",                     0x26, 1,     0,      0,     7, EditStyle::Ellipsis, 7, "",       false, DisplayForm::Decimal,       Packing::None},
    {"Dia Correction",               0x15, 2,     0, -32768, 32767, EditStyle::Simple,   5, "",       false, DisplayForm::SignedDecimal, Packing::None},
}};
// clang-format on

// Both value sets at start: the defaults, spare entry 0.
ParameterSet DefaultParameterSet();

}  // namespace mk27x
