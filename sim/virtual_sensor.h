// VirtualSensor: a software MK27x sensor, seen from the sensor's side of the line.
//
// The sensor takes the master's bytes one at a time, frames them into requests
// (address byte, command byte, the command's fixed number of nibble bytes) and
// returns the bytes it answers with. While its stream is on it produces four-byte
// measurement frames on demand (ProduceStream), so that whoever carries the
// bytes (the pty server, the in-process transport) decides the pace.
//
// Conventions of this sensor where the protocol leaves room:
//  - Stream frame bytes are (tag << 4) | nibble with bit 7 CLEAR; the tag runs
//    0, 1, ..., 7, 0, ... so that consecutive frames always differ.
//  - Baud register (0x04) byte b means b * 2400 baud, except b = 0x80, which means
//    921600 (the low byte of 384 that a master sends for that rate), and b = 0,
//    which leaves the rate unchanged.
//  - Network address register (0x03): values 1..127 change the address; other
//    values are stored but the address stays.
//  - The factory image holds the parameter defaults, except register 0x04 = 48
//    (the factory rate 115200) and registers 0x1E/0x1F = 0x00 (one border,
//    measure type "knife"; borders A and B = 1).
//  - FLASH operations other than 0xAA and 0x69 answer 0x80 0x80 and do nothing.
//  - Teach copies the current measurement into the Etalon registers 0x17/0x18
//    and answers 0x8C 0x80.
//  - A calibration block with a good trailer is answered 0x8A 0x8A and kept;
//    a bad trailer is answered 0x80 0x80 and the block is dropped.
//  - An address byte (< 0x80) always starts a new request, even in the middle of
//    a calibration block (whose bytes all have bit 7 set).
//  - Each measurement reply and each stream frame takes the next sample of the
//    measurement source; nothing depends on wall-clock time.
//
// Thread-safety: every public member takes an internal mutex, so any number of
// threads may call in at once (the pty worker and a test, or a transport's
// reader and writer). Each call is atomic with respect to the others.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <vector>

namespace mk27x::sim {

inline constexpr std::size_t kRegisterCount = 256;
inline constexpr std::size_t kCalibrationValues = 512;
inline constexpr std::size_t kCalibrationPayload = 2052;
inline constexpr std::uint32_t kFactoryBaud = 115200;
inline constexpr std::uint8_t kFactoryAddress = 1;
// The registers the sensor itself acts on.
inline constexpr std::uint8_t kRegAddress = 0x03;
inline constexpr std::uint8_t kRegBaud = 0x04;
inline constexpr std::uint8_t kRegEtalonLo = 0x17;
inline constexpr std::uint8_t kRegEtalonHi = 0x18;

using RegisterImage = std::array<std::uint8_t, kRegisterCount>;
using CalibrationValues = std::array<std::uint16_t, kCalibrationValues>;

struct Identity {
    std::uint8_t model = 27;
    std::uint8_t release = 2;
    std::uint16_t serial = 1234;
    std::uint16_t base_mm = 100;
    std::uint16_t range_mm = 50;
};

// Raw values in units of 1/16384 of the measuring range. Sample n (counted from
// construction) is:
//   constant: value
//   ramp:     value + (n mod period) * amplitude / period   (sawtooth upwards)
//   sine:     value + amplitude * sin(2 pi n / period)
// plus, for every kind, uniform integer noise in [-noise, +noise] from a
// generator seeded with `seed`; the sum is clamped to the signed 16-bit range.
struct MeasurementSource {
    enum class Kind { kConstant, kRamp, kSine };
    Kind kind = Kind::kConstant;
    std::int32_t value = 8192;
    std::int32_t amplitude = 0;
    std::uint32_t period = 100;  // samples; 0 counts as 1
    std::int32_t noise = 0;
    std::uint32_t seed = 1;
};

// Misbehaviour on demand. Counters start when the faults are set (SetFaults) or,
// for the stream, at each stream start.
struct Faults {
    // Requests to this sensor after the first N are swallowed: no reply, no
    // effect, and no further stream frames.
    std::optional<std::uint32_t> silent_after_requests;
    // Every K-th request to this sensor (counted from when the faults were
    // set) is swallowed, the others are answered: sporadic misses. 0 = off.
    std::uint32_t miss_every_request = 0;
    // Replies to this command byte (0x81..0x8D; a bare code 1..13 is accepted
    // too) are cut to `short_reply_length` bytes, or by one byte when unset.
    std::optional<std::uint8_t> short_reply_command;
    std::optional<std::size_t> short_reply_length;
    // Every K-th stream frame gets one extra byte with a foreign tag after its
    // second byte, so that a reader must drop that frame. 0 = off.
    std::uint32_t stream_garbage_every = 0;
    // The stream falls silent after N frames (the sensor still counts as
    // streaming and still answers requests).
    std::optional<std::uint64_t> stream_stop_after_frames;
    // After N frames the stream pauses for `stream_pause_ms`, once per stream.
    // The sensor keeps measuring meanwhile: the frames that fall due in the
    // pause are lost (their samples and tags are used up), then the stream goes
    // on at its rate. The carrier of the line keeps the time: it stops asking
    // for frames at StreamPauseDue() and calls EndStreamPause() afterwards.
    std::optional<std::uint64_t> stream_pause_at_frames;
    std::uint32_t stream_pause_ms = 0;
    // Bits set in every stream byte: 0x80 gives frames whose bytes all carry
    // bit 7, as a reply's do.
    std::uint8_t stream_byte_bits = 0;
};

struct SensorConfig {
    Identity identity;
    std::uint8_t address = kFactoryAddress;
    std::uint32_t baud = kFactoryBaud;
    MeasurementSource source;
    Faults faults;
};

class VirtualSensor {
public:
    // A master line rate that always matches the sensor's rate.
    static constexpr std::uint32_t kMatchingBaud = 0;

    explicit VirtualSensor(SensorConfig config = {});
    VirtualSensor(const VirtualSensor&) = delete;
    VirtualSensor& operator=(const VirtualSensor&) = delete;

    // --- the line -----------------------------------------------------------
    // Takes bytes the master sent at `line_baud`; returns what the sensor sends
    // back in answer (empty for most bytes). Bytes sent at a rate other than the
    // sensor's are garbage to it: they are dropped and abandon any request in
    // progress.
    std::vector<std::uint8_t> Receive(std::uint8_t byte, std::uint32_t line_baud = kMatchingBaud);
    std::vector<std::uint8_t> Feed(std::span<const std::uint8_t> bytes,
                                   std::uint32_t line_baud = kMatchingBaud);
    // Appends the bytes of up to `max_frames` stream frames to `out` and returns
    // how many frames were produced: 0 when the stream is off, stopped by a
    // fault, or the sensor is silent.
    std::size_t ProduceStream(std::vector<std::uint8_t>& out, std::size_t max_frames);
    bool Streaming() const;
    // The pause in milliseconds when the stream has reached its pause (and
    // ProduceStream gives nothing until EndStreamPause); nothing otherwise.
    std::optional<std::uint32_t> StreamPauseDue() const;
    // Ends the pause, losing the `lost_frames` frames that fell due in it.
    // Does nothing when no pause is due.
    void EndStreamPause(std::uint64_t lost_frames);

    // --- state, for tests and the command line ------------------------------
    Identity GetIdentity() const;
    std::uint8_t Address() const;
    std::uint32_t Baud() const;
    // Frames a second of its stream: one a "Sampling period" (registers
    // 0x08/0x09, low byte first, in ticks of a microsecond; 0 counts as 1), at
    // most as many as the line carries at its rate (four bytes of 11 bits).
    double StreamRate() const;
    std::uint8_t Register(std::uint8_t reg) const;
    void SetRegister(std::uint8_t reg, std::uint8_t value);
    RegisterImage Registers() const;
    RegisterImage FlashImage() const;
    static RegisterImage FactoryImage();
    // Calibration blocks accepted so far, by block number.
    std::map<std::uint8_t, CalibrationValues> CalibrationBlocks() const;
    std::optional<CalibrationValues> CalibrationBlock(std::uint8_t block) const;
    // Requests addressed to this sensor and executed (not counting swallowed ones).
    std::uint64_t RequestsServed() const;
    // The value the next measurement would return, without taking it.
    std::int16_t PeekMeasurement() const;

    void SetSource(const MeasurementSource& source);
    void SetFaults(const Faults& faults);
    Faults GetFaults() const;
    // Power-on: registers from the FLASH image, address and rate from them; the
    // stream is off and any partial request is dropped.
    void PowerCycle();

    // Rate a baud register byte selects; 0 for the byte 0 (no change).
    static std::uint32_t BaudFromRegister(std::uint8_t value);
    static std::uint8_t RegisterFromBaud(std::uint32_t baud);

private:
    enum class ParseState { kIdle, kCommand, kData };

    std::vector<std::uint8_t> ReceiveLocked(std::uint8_t byte, std::uint32_t line_baud);
    // A request is complete: executes it (when it is for this sensor) and resets
    // the framing.
    std::vector<std::uint8_t> Complete();
    std::vector<std::uint8_t> Execute();
    std::int16_t NextSample();
    std::size_t ProduceLocked(std::vector<std::uint8_t>& out, std::size_t max_frames);
    bool PauseDueLocked() const;
    std::int16_t SampleAt(std::uint64_t n, std::int32_t noise_value) const;
    void ApplyPendingLinkChanges();
    void ResetParser();
    bool SilentLocked() const;

    mutable std::mutex mutex_;
    Identity identity_;
    RegisterImage registers_{};
    RegisterImage flash_{};
    std::uint8_t address_;
    std::uint32_t baud_;
    std::optional<std::uint8_t> pending_address_;
    std::optional<std::uint32_t> pending_baud_;

    // Request framing.
    ParseState state_ = ParseState::kIdle;
    std::uint8_t request_address_ = 0;
    std::uint8_t command_ = 0;
    std::size_t expected_data_ = 0;
    std::vector<std::uint8_t> data_;

    // Measurement.
    MeasurementSource source_;
    std::uint64_t sample_index_ = 0;
    std::mt19937 noise_engine_;

    // Stream.
    bool streaming_ = false;
    std::uint8_t next_tag_ = 0;
    std::uint64_t frames_this_stream_ = 0;
    bool pause_taken_ = false;

    Faults faults_;
    std::uint64_t requests_since_faults_ = 0;
    std::uint64_t requests_served_ = 0;

    std::map<std::uint8_t, CalibrationValues> calibration_;
};

}  // namespace mk27x::sim
