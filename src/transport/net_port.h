// Network serial ports: a sensor behind a serial server on another machine.
//
//   tcp://HOST:PORT      a raw TCP serial server; the line settings are the
//                        server's, the bytes pass unchanged.
//   rfc2217://HOST:PORT  a telnet serial server with the COM-PORT option
//                        (RFC 2217): the port sets 8E1, the baud rate, no flow
//                        control, DTR and RTS, purges the server's buffers and
//                        puts the line into break before closing; data bytes
//                        0xFF travel doubled as telnet requires.
//
// Reads follow ReadTimeouts as on a serial port (see transport/read_window.h). The
// open waits a short while (at most `ack_wait_ms`, once) for the server to
// acknowledge the line settings; a setting that is never acknowledged (a
// server in front of a pseudo-terminal cannot set DTR or RTS) neither fails
// nor stalls the open, and no later request waits for an acknowledgement. A
// server that closes the connection looks like a hung-up line: reads come back
// empty after their time-outs, and writes go nowhere.
//
// Threading: as ByteTransport requires. The socket's input side (receive,
// telnet decoding, the decoded bytes) is guarded by one mutex, its output side
// by another; a read waits in poll() on the socket and an eventfd that
// CancelRead() makes readable, without holding either.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "transport/transport.h"

namespace mk27x {

struct NetPortName {
    enum class Kind { Raw, Rfc2217 };
    Kind kind = Kind::Raw;
    std::string host;  // without the brackets of an IPv6 literal
    std::string port;
};

// The parts of "tcp://HOST:PORT" or "rfc2217://HOST:PORT" ("[::1]:PORT" for
// IPv6); nothing for any other name or a name without host or port.
std::optional<NetPortName> ParseNetPortName(const std::string& name);

struct NetPortOptions {
    ReadTimeouts timeouts = kSerialTimeouts;
    // The connection must be made within this time.
    unsigned connect_timeout_ms = 3000;
    // RFC 2217: how long the open waits for the line settings' acknowledgements.
    unsigned ack_wait_ms = 300;
};

// RFC 2217 command codes (client to server; the server answers with code + 100).
namespace rfc2217 {
inline constexpr std::uint8_t kComPortOption = 44;
inline constexpr std::uint8_t kSetBaudRate = 1;
inline constexpr std::uint8_t kSetDataSize = 2;
inline constexpr std::uint8_t kSetParity = 3;
inline constexpr std::uint8_t kSetStopSize = 4;
inline constexpr std::uint8_t kSetControl = 5;
inline constexpr std::uint8_t kPurgeData = 12;
inline constexpr std::uint8_t kParityEven = 3;
inline constexpr std::uint8_t kControlNoFlow = 1;
inline constexpr std::uint8_t kControlBreakOn = 5;
inline constexpr std::uint8_t kControlDtrOn = 8;
inline constexpr std::uint8_t kControlRtsOn = 11;
inline constexpr std::uint8_t kPurgeReceive = 1;  // the server's buffer of received data
inline constexpr std::uint8_t kPurgeBoth = 3;
}  // namespace rfc2217

class NetSerialPort final : public ByteTransport {
public:
    // Connects and configures; null with `reason` (e.g. "Connection refused")
    // when the name is not a network port, the host does not resolve, or the
    // connection cannot be made or is closed during the open.
    static std::shared_ptr<NetSerialPort> Open(const std::string& name, std::uint32_t baud,
                                               std::string& reason, NetPortOptions options = {});

    // Sets the break (RFC 2217) and closes the connection.
    ~NetSerialPort() override;
    NetSerialPort(const NetSerialPort&) = delete;
    NetSerialPort& operator=(const NetSerialPort&) = delete;

    // Drops the input received so far; over RFC 2217 the server is told to drop
    // what it holds of the line's input as well (not waited for).
    void Purge() override;
    void Write(const std::uint8_t* data, std::size_t count) override;
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override;
    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity) override;
    void CancelRead() override;
    void ResumeReads() override;
    // RFC 2217: tells the server the new rate (not waited for); raw: nothing.
    void SetBaudRate(std::uint32_t baud) override;
    void SetBreak() override;

    bool Telnet() const { return telnet_; }
    // RFC 2217: whether the server has acknowledged the command `code`.
    bool Acknowledged(std::uint8_t code) const { return acked_[code & 0x1F].load(); }
    // The server has closed the connection.
    bool ClosedByServer() const { return eof_.load(); }

private:
    NetSerialPort(int fd, int wake_fd, bool telnet, ReadTimeouts timeouts)
        : fd_(fd), wake_fd_(wake_fd), telnet_(telnet), timeouts_(timeouts) {}

    enum class Wait { Input, Timeout, Cancelled };
    Wait WaitForInput(int ms);
    // Waits on the wake descriptor alone (a closed connection's read).
    void WaitOut(int ms);
    // Takes what the socket has into the decoded bytes (input mutex held);
    // telnet answers go to `answers`.
    void Fill(std::vector<std::uint8_t>& answers);
    void Decode(std::uint8_t byte, std::vector<std::uint8_t>& answers);
    void Negotiate(std::uint8_t verb, std::uint8_t option, std::vector<std::uint8_t>& answers);
    // Moves up to `count` decoded bytes out (input mutex held).
    std::size_t TakePending(std::uint8_t* buffer, std::size_t count);
    // Sends raw bytes (telnet already applied); gives up on a dead connection.
    void SendRaw(const std::vector<std::uint8_t>& bytes);
    void SendComPort(std::uint8_t code, const std::vector<std::uint8_t>& value);

    const int fd_;
    const int wake_fd_;
    const bool telnet_;
    const ReadTimeouts timeouts_;

    std::mutex in_mutex_;
    std::vector<std::uint8_t> pending_;
    std::size_t pending_pos_ = 0;
    enum class State { Data, Iac, Verb, Sub, SubIac } state_ = State::Data;
    std::uint8_t verb_ = 0;
    std::vector<std::uint8_t> sub_;
    std::array<bool, 256> local_on_{};   // options we do (WILL sent)
    std::array<bool, 256> remote_on_{};  // options the server does (DO sent)

    std::mutex out_mutex_;
    std::array<std::atomic<bool>, 32> acked_{};
    std::atomic<bool> eof_{false};
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> break_set_{false};
};

}  // namespace mk27x
