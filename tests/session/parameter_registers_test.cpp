// The twenty rows read from a sensor's registers: each register holds a value
// of its own, so that a row reading the wrong register, the wrong number of
// bytes, its bytes in the wrong order or the wrong nibble of a shared register
// shows another text.
#include <gtest/gtest.h>

#include <array>
#include <string>

#include "params/parameter_text.h"
#include "session/session.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

TEST(ParameterRegisters, EveryRowShowsItsOwnRegisters) {
    testing::SimBackends sim;  // a sensor of 50 mm, address 1, 115200 baud
    VirtualClock clock;
    SensorSession session(clock, sim.Backends());
    session.SetPortName("SIM");
    session.Start();
    ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);

    auto put16 = [&](std::uint8_t reg, std::uint16_t value) {
        sim.sensor->SetRegister(reg, static_cast<std::uint8_t>(value & 0xFF));
        sim.sensor->SetRegister(static_cast<std::uint8_t>(reg + 1),
                                static_cast<std::uint8_t>(value >> 8));
    };
    sim.sensor->SetRegister(0x00, 0);     // off
    sim.sensor->SetRegister(0x02, 1);     // synchronisation
    sim.sensor->SetRegister(0x06, 7);     // averaged values
    put16(0x08, 0x1234);                  // sampling period 4660
    put16(0x0C, 8192);                    // half the analog range: 500
    put16(0x0E, 130);                     // 130/16384 of it: 8
    sim.sensor->SetRegister(0x10, 200);   // DelayMsr
    put16(0x15, 0xFFFE);                  // Dia Correction -2
    put16(0x17, 8192);                    // Etalon: 25000 um at 50 mm
    put16(0x19, 0x0102);                  // AnalogOutLo
    put16(0x1B, 0x0304);                  // AnalogOutHi
    sim.sensor->SetRegister(0x1E, 0x22);  // 3 borders, "average"
    sim.sensor->SetRegister(0x1F, 0x0E);  // border A 1, border B 15
    put16(0x22, 3);                       // LowLimit: 9 um
    put16(0x24, 16384);                   // UpLimit: the whole range
    sim.sensor->SetRegister(0x26, 5);     // OutLogic
    ASSERT_TRUE(session.ReadAllParameters());

    const std::array<std::string, kParameterCount> expected{
        "off", "1",   "1", "115200",  "7", "4660", "500", "8",     "200", "25000",
        "258", "772", "3", "average", "1", "15",   "9",   "50000", "5",   "-2"};
    EXPECT_EQ(ParameterTexts(session.Values(), session.Identity().MeasuringRange), expected);
}

}  // namespace
}  // namespace mk27x
