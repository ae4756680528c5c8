// The sensor request protocol: the program is the master; every request starts
// with the sensor's network address, then a command byte and nibble data bytes,
// each written alone and paced by fixed pauses; replies are fixed-length runs of
// nibble bytes read in one call under the port's time-outs. Nothing is retried.
//
// Operations report what happened (a bool, or a FlashResult); the protocol
// shows nothing.
//
// Threading: every request is made from the owner's thread. LinkAlive and
// LastDistance are also written by the stream reader thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <span>

#include "params/parameter_table.h"
#include "platform/clock.h"
#include "protocol/codec.h"
#include "protocol/stream_link.h"
#include "transport/sensor_port.h"

namespace mk27x {

// Pauses of the protocol, in milliseconds.
inline constexpr unsigned kBytePauseMs = 5;
inline constexpr unsigned kFlashReplyPauseMs = 1000;
inline constexpr unsigned kRestoreRereadPauseMs = 500;
inline constexpr unsigned kCalibrationBlockPauseMs = 100;

inline constexpr std::size_t kTeachReplyLength = 2;
inline constexpr std::size_t kCalibrationAckLength = 2;

inline constexpr std::uint8_t kFlashStore = 0xAA;
inline constexpr std::uint8_t kFlashRestore = 0x69;

// What the protocol reports as it goes, in device terms. Unset hooks do nothing;
// all of them run on the calling thread.
struct LinkEvents {
    // The sensor identified itself.
    std::function<void(const SensorIdentity&)> identity_known;
    // A read-all or write-all moved on: `done` of `total` (a read-all reports
    // 0..19 of 19, a write-all 1..20 of 19).
    std::function<void(int done, int total)> progress;
    // The program's own address or port rate followed the sensor: after a write of
    // the address or baud parameter, or the factory restore.
    std::function<void(std::uint8_t address)> address_changed;
    std::function<void(std::uint32_t baud)> baud_changed;
    // The working set was replaced as a whole by what was read from the sensor.
    std::function<void()> parameters_replaced;
};

// What a FLASH operation came to.
enum class FlashResult {
    Done,        // the sensor echoed the operation's code (a restore: and all was read back)
    NoEcho,      // a short reply, or another code
    ReadFailed,  // a restore the sensor confirmed, whose re-read of all parameters failed
};

class SensorProtocol final : public StreamLink {
public:
    SensorProtocol(SensorPort& port, Clock& clock);

    LinkEvents events;

    // The sensor's network address, the first byte of every request.
    std::uint8_t NetAddress() const { return net_address_; }
    void SetNetAddress(std::uint8_t address) { net_address_ = address; }
    // 1 while the last watched exchange got its whole reply.
    std::uint8_t LinkAlive() const { return link_alive_.load(); }
    void SetLinkAlive(bool alive) { link_alive_ = alive ? 1 : 0; }

    SensorIdentity Identity;
    std::atomic<float> LastDistance{0.0f};
    bool MeasureDevMode = false;

    ParameterSet ParameterValues = DefaultParameterSet();
    ParameterSet ReadBackValues = DefaultParameterSet();

    SensorPort& Port() { return port_; }

    // The stream reader's view (see stream_link.h).
    SensorPort& StreamPort() override { return port_; }
    std::uint16_t StreamRange() const override { return Identity.MeasuringRange; }
    std::atomic<std::uint8_t>& LinkAliveFlag() override { return link_alive_; }
    std::atomic<float>& LastDistanceValue() override { return LastDistance; }

    bool IdentifySensor();
    bool ReadParameter(int index);
    void WriteParameter(int index);
    bool ReadAllParameters();
    void WriteAllParameters();
    bool CompareParameter(int index);
    bool CompareAllParameters();
    // The sensor stores its parameters in FLASH.
    FlashResult WriteParametersToFlash();
    // The sensor restores its factory set: on its echo the link goes back to
    // 115200 baud and address 1, and after 500 ms all parameters are read back
    // and adopted.
    FlashResult RestoreFactoryParameters();
    bool MeasureOnce();
    void StartStream();
    void StopStream();
    // The teach request and its 2-byte reply, which is read but not examined:
    // the sensor's answer (or its silence) changes nothing, LinkAlive included.
    void Teach();
    // One block of a calibration table: the address, the command byte 0x8A,
    // 100 ms, the block's bytes in one write, then the 2-byte acknowledgement.
    // Its value (low nibbles, the first byte low), or nothing when fewer than 2
    // nibble bytes came. LinkAlive is left alone.
    std::optional<unsigned> CalibrationBlockExchange(std::span<const std::uint8_t> block);

    // Copies all 21 entries of the read set over the working set and reports it
    // (parameters_replaced).
    void AdoptReadBackValues();

    // The last reply was not valid yet bytes came: the line carries something
    // else (a stream left running by a program that was killed, noise), not
    // silence.
    bool LastReplyStray() const { return last_reply_stray_; }

private:
    // Purge, the address byte alone, 5 ms.
    void BeginFrame();
    // BeginFrame, then the command and data bytes, 5 ms after each byte that
    // has another after it.
    void SendRequest(Command command, std::initializer_list<std::uint8_t> data);
    // One read call for exactly `count` bytes; false when fewer came or one of
    // them is not a nibble byte.
    bool ReadReply(std::uint8_t* reply, std::size_t count);
    bool ReadRegister(unsigned reg, std::uint8_t& value);
    // `low_wire` and `high_wire` are the two data bytes exactly as sent.
    void WriteRegister(unsigned reg, std::uint8_t low_wire, std::uint8_t high_wire);
    // Sends a FLASH operation and returns the echoed code (-1 on a short reply).
    int FlashOperation(std::uint8_t code);

    SensorPort& port_;
    Clock& clock_;
    std::uint8_t net_address_ = 1;
    std::atomic<std::uint8_t> link_alive_{0};
    bool last_reply_stray_ = false;
};

}  // namespace mk27x
