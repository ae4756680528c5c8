// Fuzz target: the request protocol against a sensor that answers with
// arbitrary bytes, on a virtual clock.
//
// Input: the first four bytes choose four operations (and their parameter
// row); the rest is everything the "sensor" sends, served to the reads in
// order, whatever was asked.
// Checked: a read never gets more than it asked for or more than was sent;
// every request byte after the address has bit 7 set; LinkAlive is 0 or 1; a
// successful identification decodes exactly the 16 bytes it was given; a
// measured distance is finite.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/message_box.h"
#include "protocol/codec.h"
#include "protocol/protocol.h"
#include "support/recording_message_box.h"
#include "support/virtual_clock.h"
#include "transport/sensor_port.h"
#include "transport/transport.h"

using namespace mk27x;

namespace {

class FuzzTransport final : public ByteTransport {
public:
    FuzzTransport(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    void Purge() override { after_purge_ = true; }
    void Write(const std::uint8_t* data, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            // The address is the first byte after the purge; everything else
            // of a request carries bit 7.
            if (!after_purge_ && (data[i] & 0x80) == 0) std::abort();
            after_purge_ = false;
        }
    }
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override {
        const std::size_t n = std::min(count, size_ - pos_);
        std::memcpy(buffer, data_ + pos_, n);
        last_read_ = data_ + pos_;
        last_count_ = n;
        pos_ += n;
        return n;
    }
    void SetBaudRate(std::uint32_t) override {}
    void SetBreak() override {}

    const std::uint8_t* last_read_ = nullptr;
    std::size_t last_count_ = 0;

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    bool after_purge_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    auto wire = std::make_shared<FuzzTransport>(data + 4, size - 4);
    VirtualClock clock;
    SensorPort port{{[&](const std::string&, std::uint32_t, std::string&) { return wire; }, {}}};
    port.SetPortName("COM1");
    if (!port.Open()) std::abort();
    SensorProtocol protocol{port, clock};

    for (int k = 0; k < 4; ++k) {
        const int op = data[k] & 0xF;
        const int index = (data[k] >> 4) % kParameterCount;
        switch (op) {
            case 0:
            case 1:
                if (protocol.IdentifySensor()) {
                    if (wire->last_count_ != kIdentityReplyLength) std::abort();
                    std::uint8_t reply[kIdentityReplyLength];
                    std::memcpy(reply, wire->last_read_, sizeof reply);
                    if (!(protocol.Identity == DecodeIdentity(reply))) std::abort();
                }
                break;
            case 2:
                protocol.ReadParameter(index);
                break;
            case 3:
                protocol.ReadAllParameters();
                break;
            case 4:
                protocol.CompareParameter(index);
                break;
            case 5:
                protocol.CompareAllParameters();
                break;
            case 6:
                protocol.WriteParametersToFlash();
                break;
            case 7:
                protocol.RestoreFactoryParameters();
                break;
            case 8:
            case 9:
                protocol.MeasureDevMode = op == 9;
                if (protocol.MeasureOnce() && !std::isfinite(protocol.LastDistance.load()))
                    std::abort();
                break;
            case 10:
                protocol.WriteParameter(index);
                break;
            case 11:
                protocol.WriteAllParameters();
                break;
            case 12:
                protocol.AdoptReadBackValues();
                break;
            case 13:
                protocol.StartStream();
                break;
            case 14:
                protocol.StopStream();
                break;
            default:
                protocol.ReadParameter(index);
                protocol.AdoptReadBackValues();
                protocol.WriteParameter(index);
                break;
        }
        if (protocol.LinkAlive() > 1) std::abort();
    }
    port.Close();
    return 0;
}
