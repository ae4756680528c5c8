// Fuzz target: the stream frame decoder.
//
// Input: runs of three bytes (control, value low, value high). Each value is
// sent as a frame the way a sensor sends it: four nibble bytes, least
// significant first, under a tag that changes from frame to frame; bit 7 of
// the control byte sets bit 7 of the frame's bytes (which carries nothing),
// bit 0 slips one byte of another tag in after the frame's second byte, which
// must cost exactly that frame. The decoder must give back every other value,
// in order, and nothing else.
//
// The same input is also fed to a fresh decoder as raw bytes: it may decode
// at most one frame per four bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "protocol/stream_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        mk27x::FrameDecoder raw;
        std::size_t frames = 0;
        for (std::size_t i = 0; i < size; ++i)
            if (raw.Take(data[i])) ++frames;
        if (frames > size / 4) std::abort();
    }

    std::vector<std::uint8_t> wire;
    std::vector<std::uint16_t> expected;
    unsigned tag = data == nullptr || size == 0 ? 0 : data[0] & 7;
    for (std::size_t i = 0; i + 3 <= size; i += 3) {
        const std::uint8_t control = data[i];
        const auto value = static_cast<std::uint16_t>(data[i + 1] | data[i + 2] << 8);
        const std::uint8_t high = control & 0x80;
        const unsigned next_tag = (tag + 1) & 7;
        // A foreign tag: neither this frame's nor the next one's.
        unsigned foreign = (tag + 2 + ((control >> 1) & 7) % 6) & 7;
        if (foreign == tag || foreign == next_tag) std::abort();  // construction check
        const bool garbage = control & 1;
        for (int k = 0; k < 4; ++k) {
            wire.push_back(static_cast<std::uint8_t>(high | tag << 4 | ((value >> (4 * k)) & 0xF)));
            if (garbage && k == 1)
                wire.push_back(static_cast<std::uint8_t>(high | foreign << 4 | 5));
        }
        if (!garbage) expected.push_back(value);
        tag = next_tag;
    }

    mk27x::FrameDecoder decoder;
    std::vector<std::uint16_t> decoded;
    for (std::uint8_t byte : wire)
        if (const auto v = decoder.Take(byte)) decoded.push_back(*v);
    if (decoded != expected) std::abort();
    return 0;
}
