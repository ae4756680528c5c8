// The sensor's registers as they leave the factory, and the baud register's
// code.
#include "virtual_sensor.h"

namespace mk27x::sim {

RegisterImage VirtualSensor::FactoryImage() {
    RegisterImage r{};
    auto put16 = [&r](std::uint8_t reg, std::uint16_t v) {
        r[reg] = static_cast<std::uint8_t>(v & 0xFF);
        r[reg + 1] = static_cast<std::uint8_t>(v >> 8);
    };
    r[0x00] = 1;                                   // sensor on
    r[0x02] = 0;                                   // synchronisation control
    r[kRegAddress] = kFactoryAddress;              // network address
    r[kRegBaud] = RegisterFromBaud(kFactoryBaud);  // 48 = 115200 baud
    r[0x06] = 1;                                   // averaged values counter
    put16(0x08, 500);                              // sampling period
    put16(0x0C, 0);                                // analog output range begin
    put16(0x0E, 16384);                            // analog output range end
    r[0x10] = 1;                                   // DelayMsr
    put16(0x15, 0);                                // diameter correction
    put16(kRegEtalonLo, 0);                        // Etalon
    put16(0x19, 1);                                // AnalogOutLo
    put16(0x1B, 0);                                // AnalogOutHi
    r[0x1E] = 0x00;                                // one border, measure type knife
    r[0x1F] = 0x00;                                // border A = 1, border B = 1
    put16(0x22, 0);                                // LowLimit
    put16(0x24, 0);                                // UpLimit
    r[0x26] = 0;                                   // OutLogic
    return r;
}

std::uint32_t VirtualSensor::BaudFromRegister(std::uint8_t value) {
    if (value == 0x80) return 921600;
    return static_cast<std::uint32_t>(value) * 2400;
}

std::uint8_t VirtualSensor::RegisterFromBaud(std::uint32_t baud) {
    if (baud == 921600) return 0x80;
    return static_cast<std::uint8_t>((baud / 2400) & 0xFF);
}

}  // namespace mk27x::sim
