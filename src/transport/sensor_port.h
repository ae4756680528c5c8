// SensorPort: the one connection between the program and the sensor, either a
// serial port ("COM1".."COM4" or a device path), a network serial port
// ("tcp://HOST:PORT" or "rfc2217://HOST:PORT", opened and closed as a serial
// port is) or the first FTDI USB device ("USB").
//
// The backend used for I/O is fixed when a port opens: purge, write, read, baud
// and close go to the backend that opened the connection, whatever PortName says
// later. An open reports what happened (the kind of port and, on failure, the
// system's reason); it shows nothing.
//
// Threading: everything is called from the owner's thread, except Read() and
// ReadAvailable(), which the stream reader may call at the same time. Closing
// while a read is in progress cuts that read short and waits for it to return,
// so the device (and its lock) is released when the close returns.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "transport/transport.h"

namespace mk27x {

// What SensorPort needs to open a connection; one entry per kind of port.
// An opener returns null when the device cannot be opened; failures of the
// configuration after a successful open are the backend's to ignore.
struct PortBackends {
    // Serial ports; on failure `reason` says why when the backend knows (the
    // system's reason, or "not a serial port"), else it stays empty.
    std::function<std::shared_ptr<ByteTransport>(const std::string& port_name, std::uint32_t baud,
                                                 std::string& reason)>
        open_serial;
    std::function<std::shared_ptr<ByteTransport>(std::uint32_t baud)> open_usb;
    // Network serial ports; on failure `reason` says why (e.g. "Connection
    // refused").
    std::function<std::shared_ptr<ByteTransport>(const std::string& address, std::uint32_t baud,
                                                 std::string& reason)>
        open_network = nullptr;
};

// A port name that names a network serial port: "tcp://..." or "rfc2217://...".
bool IsNetworkPortName(const std::string& port_name);

// The kind of port a name opens: "USB", a network address, or else a serial port.
enum class PortKind { Serial, Usb, Network };
PortKind PortKindOf(const std::string& port_name);

// What an open did: the port by name and kind and, when it failed, why (for a
// network port the system's reason, e.g. "Connection refused"; for a serial
// port the system's reason, or "not a serial port" for a path that is no
// terminal; empty where the backend gives none).
struct PortOpenResult {
    bool opened = false;
    PortKind kind = PortKind::Serial;
    std::string port_name;
    std::string reason;

    explicit operator bool() const { return opened; }
    bool operator==(const PortOpenResult&) const = default;
};

class SensorPort {
public:
    explicit SensorPort(PortBackends backends);
    ~SensorPort();
    SensorPort(const SensorPort&) = delete;
    SensorPort& operator=(const SensorPort&) = delete;

    // The port the next open uses ("COM1".."COM4", "USB", a device path or a
    // network address); it decides which open and close to use.
    const std::string& PortName() const { return port_name_; }
    void SetPortName(std::string name) { port_name_ = std::move(name); }
    // The rate applied at open and by ApplyBaudRate.
    std::uint32_t PortBaudRate() const { return baud_rate_; }
    void SetPortBaudRate(std::uint32_t baud) { baud_rate_ = baud; }

    bool IsUsb() const { return port_name_ == "USB"; }
    bool IsOpen() const { return handle_.load() != nullptr; }

    PortOpenResult OpenComPort();
    PortOpenResult OpenUsbPort();
    // Open by the is-USB test, as every caller does.
    PortOpenResult Open() { return IsUsb() ? OpenUsbPort() : OpenComPort(); }
    // The outcome of the last open (none yet: not opened, no name, no reason).
    const PortOpenResult& LastOpen() const { return last_open_; }
    // Ends whatever connection is open: the backend was fixed at open.
    void Close();

    // Puts PortBaudRate into the open port's line settings; nothing when closed.
    void ApplyBaudRate();

    // Request purge, write and read; nothing (0 bytes) when closed.
    void Purge();
    void Write(const std::uint8_t* data, std::size_t count);
    void WriteByte(std::uint8_t byte) { Write(&byte, 1); }
    std::size_t Read(std::uint8_t* buffer, std::size_t count);
    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity);

    // A read in flight on the open connection, and any started until
    // ResumeReads() or the close, returns at once with what it has.
    void CancelRead();
    // Reads wait under their time-outs again; call when no read is in flight.
    void ResumeReads();
    // Labels the following traffic of the open connection (see ByteTransport).
    void SetOperation(const char* name, int index = -1);

private:
    void CloseAny();
    // Counts a read in flight for the time of its call.
    class ReadScope;

    std::string port_name_ = "USB";
    std::uint32_t baud_rate_ = 115200;
    PortBackends backends_;
    PortOpenResult last_open_;
    // The open connection; shared so that a read in flight keeps it alive.
    std::atomic<std::shared_ptr<ByteTransport>> handle_;
    // Reads in progress; a close waits until it is zero.
    std::atomic<int> reads_in_flight_{0};
};

}  // namespace mk27x
