#include "virtual_sensor.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace mk27x::sim {
namespace {

// Command codes as the sensor knows them (the command byte is 0x80 | code).
constexpr std::uint8_t kIdentify = 0x01;
constexpr std::uint8_t kReadRegister = 0x02;
constexpr std::uint8_t kWriteRegister = 0x03;
constexpr std::uint8_t kFlash = 0x04;
constexpr std::uint8_t kMeasure = 0x06;
constexpr std::uint8_t kStreamStart = 0x07;
constexpr std::uint8_t kStreamStop = 0x08;
constexpr std::uint8_t kCalibration = 0x0A;
constexpr std::uint8_t kTeach = 0x0C;
constexpr std::uint8_t kMeasureDev = 0x0D;

constexpr std::uint8_t kFlashStore = 0xAA;
constexpr std::uint8_t kFlashRestore = 0x69;
constexpr std::uint8_t kCalibrationAccepted = 0xAA;
constexpr std::uint8_t kCalibrationTrailer = 0x8A;

// Number of nibble bytes that follow each command byte; nullopt = unknown code.
std::optional<std::size_t> DataBytesOf(std::uint8_t code) {
    switch (code) {
        case kIdentify:
        case kMeasure:
        case kStreamStart:
        case kStreamStop:
        case kTeach:
        case kMeasureDev:
            return 0;
        case kReadRegister:
        case kFlash:
            return 2;
        case kWriteRegister:
            return 4;
        case kCalibration:
            return kCalibrationPayload;
        default:
            return std::nullopt;
    }
}

std::uint8_t NibbleOf(std::uint8_t byte) {
    return byte & 0x0F;
}

// Appends `count` nibble bytes of `value`, least significant nibble first.
void PutNibbles(std::vector<std::uint8_t>& out, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) {
        out.push_back(static_cast<std::uint8_t>(0x80 | ((value >> (4 * i)) & 0x0F)));
    }
}

// Two nibble bytes received in the order low, high.
std::uint8_t ByteFrom(std::uint8_t low, std::uint8_t high) {
    return static_cast<std::uint8_t>(NibbleOf(low) | (NibbleOf(high) << 4));
}

std::int16_t Clamp16(double v) {
    v = std::clamp(v, -32768.0, 32767.0);
    return static_cast<std::int16_t>(std::lround(v));
}

}  // namespace

VirtualSensor::VirtualSensor(SensorConfig config)
    : identity_(config.identity),
      address_(config.address),
      baud_(config.baud),
      source_(config.source),
      noise_engine_(config.source.seed),
      faults_(config.faults) {
    registers_ = FactoryImage();
    registers_[kRegAddress] = config.address;
    registers_[kRegBaud] = RegisterFromBaud(config.baud);
    flash_ = registers_;
    data_.reserve(kCalibrationPayload);
}

std::vector<std::uint8_t> VirtualSensor::Receive(std::uint8_t byte, std::uint32_t line_baud) {
    std::lock_guard lock(mutex_);
    return ReceiveLocked(byte, line_baud);
}

std::vector<std::uint8_t> VirtualSensor::Feed(std::span<const std::uint8_t> bytes,
                                              std::uint32_t line_baud) {
    std::lock_guard lock(mutex_);
    std::vector<std::uint8_t> out;
    for (std::uint8_t b : bytes) {
        std::vector<std::uint8_t> reply = ReceiveLocked(b, line_baud);
        out.insert(out.end(), reply.begin(), reply.end());
    }
    return out;
}

std::vector<std::uint8_t> VirtualSensor::ReceiveLocked(std::uint8_t byte, std::uint32_t line_baud) {
    if (line_baud != kMatchingBaud && line_baud != baud_) {
        // Wrong rate: the byte arrives as noise and spoils the request in progress.
        ResetParser();
        return {};
    }
    if (byte < 0x80) {
        ResetParser();
        request_address_ = byte;
        state_ = ParseState::kCommand;
        return {};
    }
    switch (state_) {
        case ParseState::kIdle:
            return {};
        case ParseState::kCommand: {
            command_ = byte;
            std::optional<std::size_t> count = DataBytesOf(byte & 0x7F);
            if (!count) {
                ResetParser();
                return {};
            }
            expected_data_ = *count;
            if (expected_data_ == 0) return Complete();
            state_ = ParseState::kData;
            return {};
        }
        case ParseState::kData:
            data_.push_back(byte);
            if (data_.size() == expected_data_) return Complete();
            return {};
    }
    return {};
}

std::vector<std::uint8_t> VirtualSensor::Complete() {
    std::vector<std::uint8_t> reply = Execute();
    ResetParser();
    return reply;
}

void VirtualSensor::ResetParser() {
    state_ = ParseState::kIdle;
    data_.clear();
    expected_data_ = 0;
}

bool VirtualSensor::SilentLocked() const {
    if (faults_.miss_every_request > 0 && requests_since_faults_ % faults_.miss_every_request == 0)
        return true;
    return faults_.silent_after_requests && requests_since_faults_ > *faults_.silent_after_requests;
}

std::vector<std::uint8_t> VirtualSensor::Execute() {
    const std::uint8_t code = command_ & 0x7F;
    const std::vector<std::uint8_t>& data = data_;
    if (request_address_ != address_) return {};

    ++requests_since_faults_;
    if (SilentLocked()) return {};
    ++requests_served_;

    std::vector<std::uint8_t> reply;
    switch (code) {
        case kIdentify:
            PutNibbles(reply, identity_.model, 2);
            PutNibbles(reply, identity_.release, 2);
            PutNibbles(reply, identity_.serial, 4);
            PutNibbles(reply, identity_.base_mm, 4);
            PutNibbles(reply, identity_.range_mm, 4);
            break;
        case kReadRegister: {
            const std::uint8_t reg = ByteFrom(data[0], data[1]);
            PutNibbles(reply, registers_[reg], 2);
            break;
        }
        case kWriteRegister: {
            const std::uint8_t reg = ByteFrom(data[0], data[1]);
            const std::uint8_t value = ByteFrom(data[2], data[3]);
            registers_[reg] = value;
            if (reg == kRegAddress && value >= 1 && value <= 127) pending_address_ = value;
            if (reg == kRegBaud && value != 0) pending_baud_ = BaudFromRegister(value);
            break;
        }
        case kFlash: {
            const std::uint8_t op = ByteFrom(data[0], data[1]);
            if (op == kFlashStore) {
                flash_ = registers_;
                PutNibbles(reply, op, 2);
            } else if (op == kFlashRestore) {
                registers_ = FactoryImage();
                flash_ = registers_;
                pending_address_ = kFactoryAddress;
                pending_baud_ = kFactoryBaud;
                PutNibbles(reply, op, 2);
            } else {
                PutNibbles(reply, 0, 2);
            }
            break;
        }
        case kMeasure:
        case kMeasureDev:
            PutNibbles(reply, static_cast<std::uint16_t>(NextSample()), 4);
            break;
        case kStreamStart:
            streaming_ = true;
            frames_this_stream_ = 0;
            pause_taken_ = false;
            break;
        case kStreamStop:
            streaming_ = false;
            break;
        case kCalibration: {
            const bool trailer_ok =
                data[2050] == kCalibrationTrailer && data[2051] == kCalibrationTrailer;
            if (trailer_ok) {
                CalibrationValues values{};
                for (std::size_t k = 0; k < kCalibrationValues; ++k) {
                    const std::uint8_t* p = &data[4 * k];
                    values[k] =
                        static_cast<std::uint16_t>(NibbleOf(p[0]) << 8 | NibbleOf(p[1]) << 12 |
                                                   NibbleOf(p[2]) | NibbleOf(p[3]) << 4);
                }
                calibration_[ByteFrom(data[2048], data[2049])] = values;
                PutNibbles(reply, kCalibrationAccepted, 2);
            } else {
                PutNibbles(reply, 0, 2);
            }
            break;
        }
        case kTeach: {
            const auto v = static_cast<std::uint16_t>(NextSample());
            registers_[kRegEtalonLo] = static_cast<std::uint8_t>(v & 0xFF);
            registers_[kRegEtalonHi] = static_cast<std::uint8_t>(v >> 8);
            PutNibbles(reply, kTeach, 2);
            break;
        }
        default:
            break;
    }

    if (faults_.short_reply_command && (*faults_.short_reply_command | 0x80) == command_) {
        const std::size_t length =
            faults_.short_reply_length.value_or(reply.empty() ? 0 : reply.size() - 1);
        reply.resize(std::min(length, reply.size()));
    }
    ApplyPendingLinkChanges();
    return reply;
}

void VirtualSensor::ApplyPendingLinkChanges() {
    if (pending_address_) address_ = *pending_address_;
    if (pending_baud_) baud_ = *pending_baud_;
    pending_address_.reset();
    pending_baud_.reset();
}

std::int16_t VirtualSensor::SampleAt(std::uint64_t n, std::int32_t noise_value) const {
    const double period = source_.period == 0 ? 1.0 : static_cast<double>(source_.period);
    double v = source_.value;
    switch (source_.kind) {
        case MeasurementSource::Kind::kConstant:
            break;
        case MeasurementSource::Kind::kRamp: {
            const std::uint64_t p = source_.period == 0 ? 1 : source_.period;
            v += static_cast<double>(n % p) * source_.amplitude / period;
            v = std::floor(v);
            break;
        }
        case MeasurementSource::Kind::kSine:
            v += source_.amplitude *
                 std::sin(2.0 * std::numbers::pi * static_cast<double>(n) / period);
            break;
    }
    return Clamp16(v + noise_value);
}

std::int16_t VirtualSensor::NextSample() {
    std::int32_t noise = 0;
    if (source_.noise > 0) {
        const auto span = static_cast<std::uint32_t>(2 * source_.noise + 1);
        noise = static_cast<std::int32_t>(noise_engine_() % span) - source_.noise;
    }
    return SampleAt(sample_index_++, noise);
}

std::int16_t VirtualSensor::PeekMeasurement() const {
    std::lock_guard lock(mutex_);
    std::int32_t noise = 0;
    if (source_.noise > 0) {
        std::mt19937 engine = noise_engine_;
        const auto span = static_cast<std::uint32_t>(2 * source_.noise + 1);
        noise = static_cast<std::int32_t>(engine() % span) - source_.noise;
    }
    return SampleAt(sample_index_, noise);
}

std::size_t VirtualSensor::ProduceStream(std::vector<std::uint8_t>& out, std::size_t max_frames) {
    std::lock_guard lock(mutex_);
    if (!streaming_ || SilentLocked() || PauseDueLocked()) return 0;
    std::size_t frames = max_frames;
    if (faults_.stream_pause_at_frames && !pause_taken_) {
        const std::uint64_t at = *faults_.stream_pause_at_frames;
        frames =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames, at - frames_this_stream_));
    }
    return ProduceLocked(out, frames);
}

bool VirtualSensor::PauseDueLocked() const {
    return streaming_ && faults_.stream_pause_at_frames && !pause_taken_ &&
           frames_this_stream_ >= *faults_.stream_pause_at_frames;
}

std::optional<std::uint32_t> VirtualSensor::StreamPauseDue() const {
    std::lock_guard lock(mutex_);
    if (!PauseDueLocked() || SilentLocked()) return std::nullopt;
    return faults_.stream_pause_ms;
}

void VirtualSensor::EndStreamPause(std::uint64_t lost_frames) {
    std::lock_guard lock(mutex_);
    if (!PauseDueLocked()) return;
    pause_taken_ = true;
    std::vector<std::uint8_t> lost;
    constexpr std::uint64_t kChunk = 4096;
    while (lost_frames > 0) {
        const auto n = static_cast<std::size_t>(std::min(lost_frames, kChunk));
        lost.clear();
        if (ProduceLocked(lost, n) < n) break;
        lost_frames -= n;
    }
}

std::size_t VirtualSensor::ProduceLocked(std::vector<std::uint8_t>& out, std::size_t max_frames) {
    std::size_t frames = max_frames;
    if (faults_.stream_stop_after_frames) {
        const std::uint64_t limit = *faults_.stream_stop_after_frames;
        const std::uint64_t left = limit > frames_this_stream_ ? limit - frames_this_stream_ : 0;
        frames = static_cast<std::size_t>(std::min<std::uint64_t>(frames, left));
    }
    out.reserve(out.size() + frames * 5);
    for (std::size_t f = 0; f < frames; ++f) {
        const auto v = static_cast<std::uint16_t>(NextSample());
        const std::uint8_t tag = next_tag_;
        next_tag_ = static_cast<std::uint8_t>((next_tag_ + 1) & 0x07);
        ++frames_this_stream_;
        const bool garbage = faults_.stream_garbage_every != 0 &&
                             frames_this_stream_ % faults_.stream_garbage_every == 0;
        for (int i = 0; i < 4; ++i) {
            out.push_back(static_cast<std::uint8_t>(tag << 4 | ((v >> (4 * i)) & 0x0F) |
                                                    faults_.stream_byte_bits));
            if (garbage && i == 1) {
                // A tag four steps away differs from this frame's and the next one's.
                const auto foreign = static_cast<std::uint8_t>((tag + 4) & 0x07);
                out.push_back(static_cast<std::uint8_t>(foreign << 4 | 0x05));
            }
        }
    }
    return frames;
}

bool VirtualSensor::Streaming() const {
    std::lock_guard lock(mutex_);
    return streaming_;
}

Identity VirtualSensor::GetIdentity() const {
    std::lock_guard lock(mutex_);
    return identity_;
}

std::uint8_t VirtualSensor::Address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

std::uint32_t VirtualSensor::Baud() const {
    std::lock_guard lock(mutex_);
    return baud_;
}

double VirtualSensor::StreamRate() const {
    std::lock_guard lock(mutex_);
    const unsigned ticks =
        std::max(1u, static_cast<unsigned>(registers_[0x08] | (registers_[0x09] << 8)));
    const double rate = 1e6 / static_cast<double>(ticks);
    const double line = static_cast<double>(baud_) / 44.0;
    return baud_ == 0 ? rate : std::min(rate, line);
}

std::uint8_t VirtualSensor::Register(std::uint8_t reg) const {
    std::lock_guard lock(mutex_);
    return registers_[reg];
}

void VirtualSensor::SetRegister(std::uint8_t reg, std::uint8_t value) {
    std::lock_guard lock(mutex_);
    registers_[reg] = value;
}

RegisterImage VirtualSensor::Registers() const {
    std::lock_guard lock(mutex_);
    return registers_;
}

RegisterImage VirtualSensor::FlashImage() const {
    std::lock_guard lock(mutex_);
    return flash_;
}

std::map<std::uint8_t, CalibrationValues> VirtualSensor::CalibrationBlocks() const {
    std::lock_guard lock(mutex_);
    return calibration_;
}

std::optional<CalibrationValues> VirtualSensor::CalibrationBlock(std::uint8_t block) const {
    std::lock_guard lock(mutex_);
    auto it = calibration_.find(block);
    if (it == calibration_.end()) return std::nullopt;
    return it->second;
}

std::uint64_t VirtualSensor::RequestsServed() const {
    std::lock_guard lock(mutex_);
    return requests_served_;
}

void VirtualSensor::SetSource(const MeasurementSource& source) {
    std::lock_guard lock(mutex_);
    source_ = source;
    sample_index_ = 0;
    noise_engine_.seed(source.seed);
}

void VirtualSensor::SetFaults(const Faults& faults) {
    std::lock_guard lock(mutex_);
    faults_ = faults;
    requests_since_faults_ = 0;
    pause_taken_ = false;
}

Faults VirtualSensor::GetFaults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void VirtualSensor::PowerCycle() {
    std::lock_guard lock(mutex_);
    registers_ = flash_;
    const std::uint8_t addr = registers_[kRegAddress];
    if (addr >= 1 && addr <= 127) address_ = addr;
    if (registers_[kRegBaud] != 0) baud_ = BaudFromRegister(registers_[kRegBaud]);
    pending_address_.reset();
    pending_baud_.reset();
    streaming_ = false;
    ResetParser();
}

}  // namespace mk27x::sim
