// Serial port backend on POSIX termios. (A Windows backend on the Win32
// communications calls would sit beside it behind the same ByteTransport.)
//
// The line is raw 8E1 at the chosen rate with no flow control, RTS and DTR
// raised; modem status lines are ignored. Reads follow ReadTimeouts exactly
// (see link/read_window.h) with poll(); the descriptor stays non-blocking, so
// a read never blocks past its time-outs even if another thread's purge takes
// the bytes poll() announced.
//
// Threading: as ByteTransport requires, one thread may block in Read() while
// another purges, writes, changes the rate or sets the break. The descriptor is
// fixed for the object's life; the only other state is an atomic flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "link/transport.h"

namespace mk27x {

// The device opened for a port name: "COM1".."COM4" are /dev/ttyS0../dev/ttyS3,
// a name starting with '/' is taken as the device path; anything else has no
// device (empty result).
std::string SerialDevicePath(const std::string& port_name);

class PosixSerialPort final : public ByteTransport {
public:
    // Opens and configures the device for `port_name`; null when the device
    // cannot be opened (missing, no permission, or held by another program).
    // Every failure of the configuration after the open is ignored: a
    // pseudo-terminal, for one, has no modem lines and no parity.
    static std::shared_ptr<PosixSerialPort> Open(const std::string& port_name, std::uint32_t baud,
                                                 ReadTimeouts timeouts = kSerialTimeouts);

    // Sets the break (if not yet set) and closes the device.
    ~PosixSerialPort() override;
    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    // Waits until written bytes have left, then discards pending input.
    void Purge() override;
    void Write(const std::uint8_t* data, std::size_t count) override;
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override;
    // Waits like a one-byte read, then takes whatever else is already there.
    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void SetBaudRate(std::uint32_t baud) override;
    void SetBreak() override;

    int Descriptor() const { return fd_; }

private:
    PosixSerialPort(int fd, ReadTimeouts timeouts) : fd_(fd), timeouts_(timeouts) {}

    const int fd_;
    const ReadTimeouts timeouts_;
    std::atomic<bool> break_set_{false};
};

}  // namespace mk27x
