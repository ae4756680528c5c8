// StreamLink: what the stream reader needs of the link, and no more: the port
// it reads, the measuring range its frames are scaled by, and the two values
// it writes, LinkAlive and LastDistance.
//
// Threading: the port's reads and the two atomics are safe from the reader's
// thread; the range is read there too and changes only while no stream runs.
#pragma once

#include <atomic>
#include <cstdint>

namespace mk27x {

class SensorPort;

class StreamLink {
public:
    virtual SensorPort& StreamPort() = 0;
    // The sensor's measuring range in mm (a signed 16-bit value, see DistanceMm).
    virtual std::uint16_t StreamRange() const = 0;
    virtual std::atomic<std::uint8_t>& LinkAliveFlag() = 0;
    virtual std::atomic<float>& LastDistanceValue() = 0;

protected:
    ~StreamLink() = default;
};

}  // namespace mk27x
