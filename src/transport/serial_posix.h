// Serial port backend on POSIX termios. (A Windows backend on the Win32
// communications calls would sit beside it behind the same ByteTransport.)
//
// The line is raw 8E1 at the chosen rate with no flow control, RTS and DTR
// raised; modem status lines are ignored. Reads follow ReadTimeouts exactly
// (see transport/read_window.h) with poll(); the descriptor stays non-blocking, so
// a read never blocks past its time-outs even if another thread's purge takes
// the bytes poll() announced.
//
// Writes return once the bytes have left the port (tcdrain), so a reply's
// time-out starts when the request is on the wire.
//
// Threading: as ByteTransport requires, one thread may block in Read() while
// another purges, writes, changes the rate or sets the break; CancelRead() may
// come from any thread. A read polls a wake descriptor (an eventfd) beside the
// device, which CancelRead() makes readable. The descriptors are fixed for the
// object's life; the only other state is atomic flags.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "transport/port_name.h"
#include "transport/transport.h"

namespace mk27x {

// The reason a port is refused because its path is no terminal.
inline constexpr const char* kNotSerialPort = "not a serial port";

// The line settings the port asks for, written over the device's current
// settings `tio`: raw 8E1 at `baud`, no flow control.
void SerialLineSettings(termios& tio, std::uint32_t baud);

// Raises the modem lines `lines` (TIOCM_* bits) of the device; the result is
// ignored.
using RaiseModemLinesFn = void (*)(int fd, int lines);
void RaiseModemLines(int fd, int lines);

class PosixSerialPort final : public ByteTransport {
public:
    // Opens and configures the device for `port_name`; null when the device
    // cannot be opened (missing, no permission, or held by another program) or
    // is not a terminal. Only a character device that answers tcgetattr() is
    // taken: a regular file, a folder, a FIFO, a socket or /dev/null is refused
    // before a byte is written or a setting changed, and left as it was.
    // `reason` says why an open failed: kNotSerialPort, or the system's reason
    // ("No such file or directory", "Device or resource busy"). Every failure of the configuration
    // after the open is ignored: a pseudo-terminal, for one, has no modem lines and no parity. RTS
    // and DTR are raised through `raise_lines`.
    static std::shared_ptr<PosixSerialPort> Open(const std::string& port_name, std::uint32_t baud,
                                                 std::string& reason,
                                                 ReadTimeouts timeouts = kSerialTimeouts,
                                                 RaiseModemLinesFn raise_lines = &RaiseModemLines);
    // The same without the reason.
    static std::shared_ptr<PosixSerialPort> Open(const std::string& port_name, std::uint32_t baud,
                                                 ReadTimeouts timeouts = kSerialTimeouts,
                                                 RaiseModemLinesFn raise_lines = &RaiseModemLines) {
        std::string reason;
        return Open(port_name, baud, reason, timeouts, raise_lines);
    }

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
    void CancelRead() override;
    void ResumeReads() override;
    void SetBaudRate(std::uint32_t baud) override;
    void SetBreak() override;

    int Descriptor() const { return fd_; }

private:
    PosixSerialPort(int fd, int wake_fd, ReadTimeouts timeouts)
        : fd_(fd), wake_fd_(wake_fd), timeouts_(timeouts) {}
    // Waits up to `ms` for input (true) or until cancelled or the time passes
    // (false). A hung-up line waits out the time unless cancelled.
    bool WaitForInput(int ms);

    const int fd_;
    const int wake_fd_;
    const ReadTimeouts timeouts_;
    std::atomic<bool> break_set_{false};
    std::atomic<bool> cancelled_{false};
};

}  // namespace mk27x
