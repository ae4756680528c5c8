#include "protocol/protocol.h"

#include <iterator>

namespace mk27x {
namespace {

template <typename Hook, typename... Args>
void Call(const Hook& hook, Args... args) {
    if (hook) hook(args...);
}

// Packed registers: the wire bytes of register 0x1E or 0x1F from the working
// values of both members. Arithmetic on the low byte, modulo 256: a member at 0
// (which has no nibble form) sends all ones.
std::uint8_t Wire(unsigned v) {
    return static_cast<std::uint8_t>(0x80 | (v & 0xFF));
}

}  // namespace

SensorProtocol::SensorProtocol(SensorPort& port, Clock& clock) : port_(port), clock_(clock) {}

void SensorProtocol::BeginFrame() {
    port_.Purge();
    port_.WriteByte(net_address_);
    clock_.Sleep(kBytePauseMs);
}

void SensorProtocol::SendRequest(Command command, std::initializer_list<std::uint8_t> data) {
    BeginFrame();
    port_.WriteByte(CommandByte(command));
    for (std::uint8_t byte : data) {
        clock_.Sleep(kBytePauseMs);
        port_.WriteByte(byte);
    }
}

bool SensorProtocol::ReadReply(std::uint8_t* reply, std::size_t count) {
    const std::size_t got = port_.Read(reply, count);
    const bool valid = got == count && AllNibbleBytes(reply, count);
    last_reply_stray_ = !valid && got > 0;
    return valid;
}

bool SensorProtocol::IdentifySensor() {
    port_.SetOperation("IdentifySensor");
    SendRequest(Command::Identify, {});
    std::uint8_t reply[kIdentityReplyLength];
    if (!ReadReply(reply, sizeof reply)) {
        link_alive_ = 0;
        return false;
    }
    Identity = DecodeIdentity(reply);
    Call(events.identity_known, Identity);
    link_alive_ = 1;
    return true;
}

bool SensorProtocol::ReadRegister(unsigned reg, std::uint8_t& value) {
    SendRequest(Command::ReadRegister, {NibbleByte(reg), NibbleByte(reg >> 4)});
    std::uint8_t reply[2];
    if (!ReadReply(reply, sizeof reply)) return false;
    value = static_cast<std::uint8_t>(NibblesValue(reply, 2));
    return true;
}

bool SensorProtocol::ReadParameter(int index) {
    port_.SetOperation("ReadParameter", index);
    const ParameterRow& row = ParameterTable[index];
    unsigned v = 0;
    bool ok = true;
    for (unsigned k = 0; k < row.bytes && ok; ++k) {
        std::uint8_t byte = 0;
        ok = ReadRegister(row.reg + k, byte);
        v |= static_cast<unsigned>(byte) << (8 * k);
    }
    if (ok) {
        switch (row.packing) {
            case Packing::None:
                break;
            case Packing::HighNibbleMinusOne:
                v = (v >> 4) + 1;
                break;
            case Packing::LowNibble:
                v = v & 0xF;
                break;
            case Packing::LowNibbleMinusOne:
                v = (v & 0xF) + 1;
                break;
        }
        ReadBackValues[index] = static_cast<std::uint16_t>(v);
    }
    link_alive_ = ok ? 1 : 0;
    return ok;
}

void SensorProtocol::WriteRegister(unsigned reg, std::uint8_t low_wire, std::uint8_t high_wire) {
    SendRequest(Command::WriteRegister,
                {NibbleByte(reg), NibbleByte(reg >> 4), low_wire, high_wire});
}

void SensorProtocol::WriteParameter(int index) {
    port_.SetOperation("WriteParameter", index);
    const ParameterRow& row = ParameterTable[index];
    const unsigned v = ParameterValues[index];
    const ParameterSet& pv = ParameterValues;
    if (row.reg == 0x1E) {
        WriteRegister(row.reg, Wire(pv[kMeasureType]), Wire(pv[kNumberOfBorders] - 1u));
    } else if (row.reg == 0x1F) {
        WriteRegister(row.reg, Wire(pv[kBorderB] - 1u), Wire(pv[kBorderA] - 1u));
    } else {
        for (unsigned k = 0; k < row.bytes; ++k) {
            const unsigned shift = 8 * (row.bytes - 1 - k);
            const unsigned d = (v >> shift) & 0xFF;
            WriteRegister(row.reg + row.bytes - 1 - k, NibbleByte(d), NibbleByte(d >> 4));
        }
    }

    if (index == kNetworkAddress) {
        net_address_ = static_cast<std::uint8_t>(v & 0xFF);
        Call(events.address_changed, net_address_);
    } else if (index == kUartBaudrate) {
        clock_.Sleep(kBytePauseMs);
        port_.SetPortBaudRate(v * 2400u);
        port_.ApplyBaudRate();
        clock_.Sleep(kBytePauseMs);
        Call(events.baud_changed, port_.PortBaudRate());
    }
}

bool SensorProtocol::ReadAllParameters() {
    bool ok = true;
    for (int p = 0; p < kParameterCount && ok; ++p) {
        ok = ReadParameter(p);
        Call(events.progress, p, kParameterCount - 1);
    }
    link_alive_ = ok ? 1 : 0;
    return ok;
}

void SensorProtocol::WriteAllParameters() {
    for (int j = 1; j <= kParameterCount; ++j) {
        WriteParameter(kParameterCount - j);
        Call(events.progress, j, kParameterCount - 1);
    }
}

bool SensorProtocol::CompareParameter(int index) {
    if (!ReadParameter(index)) return false;
    return ParameterValues[index] == ReadBackValues[index];
}

bool SensorProtocol::CompareAllParameters() {
    if (!ReadAllParameters()) return false;
    for (int p = 0; p < kParameterCount; ++p)
        if (ParameterValues[p] != ReadBackValues[p]) return false;
    return true;
}

int SensorProtocol::FlashOperation(std::uint8_t code) {
    port_.SetOperation(code == kFlashStore ? "WriteParametersToFlash" : "RestoreFactoryParameters");
    BeginFrame();
    port_.WriteByte(CommandByte(Command::Flash));
    clock_.Sleep(kBytePauseMs);
    port_.WriteByte(NibbleByte(code));
    clock_.Sleep(kBytePauseMs);
    port_.WriteByte(NibbleByte(code >> 4));
    clock_.Sleep(kFlashReplyPauseMs);
    std::uint8_t reply[2];
    if (!ReadReply(reply, sizeof reply)) return -1;
    return static_cast<int>(NibblesValue(reply, 2));
}

FlashResult SensorProtocol::WriteParametersToFlash() {
    return FlashOperation(kFlashStore) == kFlashStore ? FlashResult::Done : FlashResult::NoEcho;
}

FlashResult SensorProtocol::RestoreFactoryParameters() {
    if (FlashOperation(kFlashRestore) != kFlashRestore) return FlashResult::NoEcho;
    // The sensor is back at its factory link settings: 115200 baud and address 1.
    port_.SetPortBaudRate(115200);
    port_.ApplyBaudRate();
    net_address_ = 1;
    Call(events.baud_changed, port_.PortBaudRate());
    Call(events.address_changed, net_address_);
    clock_.Sleep(kRestoreRereadPauseMs);
    if (!ReadAllParameters()) return FlashResult::ReadFailed;
    AdoptReadBackValues();
    return FlashResult::Done;
}

void SensorProtocol::AdoptReadBackValues() {
    ParameterValues = ReadBackValues;
    Call(events.parameters_replaced);
}

bool SensorProtocol::MeasureOnce() {
    port_.SetOperation(MeasureDevMode ? "MeasureDev" : "MeasureOnce");
    SendRequest(MeasureDevMode ? Command::MeasureDev : Command::Measure, {});
    std::uint8_t reply[4];
    if (!ReadReply(reply, sizeof reply)) {
        link_alive_ = 0;
        return false;
    }
    const auto value = static_cast<std::uint16_t>(NibblesValue(reply, 4));
    LastDistance = DistanceMm(value, Identity.MeasuringRange);
    link_alive_ = 1;
    return true;
}

void SensorProtocol::StartStream() {
    link_alive_ = 1;
    port_.SetOperation("StartStream");
    SendRequest(Command::StreamStart, {});
}

void SensorProtocol::StopStream() {
    port_.SetOperation("StopStream");
    SendRequest(Command::StreamStop, {});
}

void SensorProtocol::Teach() {
    port_.SetOperation("Teach");
    SendRequest(Command::Teach, {});
    std::uint8_t reply[kTeachReplyLength];
    port_.Read(reply, sizeof reply);
}

std::optional<unsigned> SensorProtocol::CalibrationBlockExchange(
    std::span<const std::uint8_t> block) {
    port_.SetOperation("CalibrationBlock");
    BeginFrame();
    port_.WriteByte(CommandByte(Command::CalibrationBlock));
    clock_.Sleep(kCalibrationBlockPauseMs);
    port_.Write(block.data(), block.size());
    std::uint8_t ack[kCalibrationAckLength] = {};
    if (port_.Read(ack, sizeof ack) != sizeof ack || !AllNibbleBytes(ack, sizeof ack))
        return std::nullopt;
    return static_cast<unsigned>(NibblesValue(ack, sizeof ack));
}

}  // namespace mk27x
