// The byte transport: one open connection to the sensor, as the serial, USB and
// in-process backends provide it.
//
// Threading contract: one thread (the owner's) purges, writes, changes the
// baud rate and sets the break; at the same time one other thread (the stream
// reader) may block in Read(), and CancelRead() may come from any thread. A
// backend must allow exactly this. The object is
// destroyed only when no call is in progress (SensorPort holds it by shared
// pointer for that reason); destruction closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mk27x {

// Read time-outs in milliseconds, with the meaning of the Win32 COMMTIMEOUTS
// fields the sensor's timing was specified with: a read of n bytes gives up after
// total_constant + total_multiplier * n in all, or when more than `interval`
// passes between two bytes once the first has arrived. It returns as soon as all
// n bytes have arrived.
struct ReadTimeouts {
    unsigned interval;
    unsigned total_multiplier;
    unsigned total_constant;

    constexpr unsigned TotalFor(std::size_t n) const {
        return total_constant + total_multiplier * static_cast<unsigned>(n);
    }
};

inline constexpr ReadTimeouts kSerialTimeouts{50, 50, 1000};
inline constexpr ReadTimeouts kUsbTimeouts{500, 200, 500};

class ByteTransport {
public:
    virtual ~ByteTransport() = default;
    // The purge made before every request: pending input is discarded; output
    // already written is not lost (it is sent, or kept on its way).
    virtual void Purge() = 0;
    // One synchronous write; the result is not reported.
    virtual void Write(const std::uint8_t* data, std::size_t count) = 0;
    // One synchronous read of up to `count` bytes under the transport's time-outs;
    // returns the number of bytes received.
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t count) = 0;
    // Waits like a one-byte Read(), then returns the bytes received, up to
    // `capacity`; a backend may let a short chunk gather for about a millisecond.
    // The stream reader takes the stream in such chunks; a backend that cannot
    // do better reads one byte.
    virtual std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity) {
        return capacity == 0 ? 0 : Read(buffer, 1);
    }
    // A Read/ReadAvailable in flight, and any started until ResumeReads() or the
    // end of the connection, returns at once with what it has. Used to release
    // a blocked reader when the port closes or the reader stops. The default
    // suits a backend whose reads never outlast their time-outs by much.
    virtual void CancelRead() {}
    // Ends a CancelRead(): later reads wait under their time-outs again. Only
    // called when no read is in flight.
    virtual void ResumeReads() {}
    // Re-applies the line settings with a new rate, keeping everything else.
    virtual void SetBaudRate(std::uint32_t baud) = 0;
    // Puts the line into the break state (done before closing).
    virtual void SetBreak() = 0;
    // Names the operation the following requests and replies belong to
    // ("ReadParameter", index 5); `name` is a literal that outlives the call, an
    // index below 0 means none. For the protocol trace; other backends ignore it.
    virtual void SetOperation(const char* /*name*/, int /*index*/ = -1) {}
};

}  // namespace mk27x
