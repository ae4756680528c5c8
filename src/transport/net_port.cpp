#include "transport/net_port.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "transport/read_window.h"

namespace mk27x {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::uint8_t kIac = 255;
constexpr std::uint8_t kDont = 254;
constexpr std::uint8_t kDo = 253;
constexpr std::uint8_t kWont = 252;
constexpr std::uint8_t kWill = 251;
constexpr std::uint8_t kSb = 250;
constexpr std::uint8_t kSe = 240;
constexpr std::uint8_t kBinary = 0;
constexpr std::uint8_t kSuppressGoAhead = 3;

// A write that the server does not take within this time is given up.
constexpr int kWriteStallMs = 2000;

int RemainingMs(SteadyClock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// A connected non-blocking TCP socket, or -1 with `reason`.
int Connect(const NetPortName& address, unsigned timeout_ms, std::string& reason) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int gai = ::getaddrinfo(address.host.c_str(), address.port.c_str(), &hints, &list);
    if (gai != 0) {
        reason = gai == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(gai);
        return -1;
    }
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
    int fd = -1;
    reason = "Connection timed out";
    for (addrinfo* a = list; a != nullptr && fd < 0; a = a->ai_next) {
        const int s =
            ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (s < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int err = 0;
        if (::connect(s, a->ai_addr, a->ai_addrlen) != 0) {
            err = errno;
            if (err == EINPROGRESS) {
                pollfd p{s, POLLOUT, 0};
                const int ready = ::poll(&p, 1, RemainingMs(deadline));
                socklen_t len = sizeof err;
                if (ready <= 0)
                    err = ETIMEDOUT;
                else if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
                    err = errno;
            }
        }
        if (err != 0) {
            reason = std::strerror(err);
            ::close(s);
            continue;
        }
        fd = s;
    }
    ::freeaddrinfo(list);
    if (fd < 0) return -1;
    // Requests go out byte by byte with pauses between them: no coalescing.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

std::optional<NetPortName> ParseNetPortName(const std::string& name) {
    NetPortName n;
    std::string rest;
    if (name.rfind("tcp://", 0) == 0) {
        n.kind = NetPortName::Kind::Raw;
        rest = name.substr(6);
    } else if (name.rfind("rfc2217://", 0) == 0) {
        n.kind = NetPortName::Kind::Rfc2217;
        rest = name.substr(10);
    } else {
        return std::nullopt;
    }
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos) return std::nullopt;
    n.host = rest.substr(0, colon);
    n.port = rest.substr(colon + 1);
    if (n.host.size() >= 2 && n.host.front() == '[' && n.host.back() == ']')
        n.host = n.host.substr(1, n.host.size() - 2);
    if (n.host.empty() || n.port.empty() ||
        n.port.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    return n;
}

std::shared_ptr<NetSerialPort> NetSerialPort::Open(const std::string& name, std::uint32_t baud,
                                                   std::string& reason, NetPortOptions options) {
    const std::optional<NetPortName> address = ParseNetPortName(name);
    if (!address) {
        reason = "Not a network address (tcp://HOST:PORT or rfc2217://HOST:PORT)";
        return nullptr;
    }
    const int fd = Connect(*address, options.connect_timeout_ms, reason);
    if (fd < 0) return nullptr;
    const int wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    const bool telnet = address->kind == NetPortName::Kind::Rfc2217;
    std::shared_ptr<NetSerialPort> port(new NetSerialPort(fd, wake_fd, telnet, options.timeouts));
    if (!telnet) return port;

    namespace c = rfc2217;
    {
        std::lock_guard lock(port->in_mutex_);
        for (std::uint8_t option : {c::kComPortOption, kBinary, kSuppressGoAhead})
            port->local_on_[option] = true;
        for (std::uint8_t option : {kBinary, kSuppressGoAhead}) port->remote_on_[option] = true;
    }
    port->SendRaw({kIac, kWill, c::kComPortOption, kIac, kWill, kBinary, kIac, kDo, kBinary, kIac,
                   kWill, kSuppressGoAhead, kIac, kDo, kSuppressGoAhead});
    port->SendComPort(c::kSetBaudRate,
                      {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                       static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)});
    port->SendComPort(c::kSetDataSize, {8});
    port->SendComPort(c::kSetParity, {c::kParityEven});
    port->SendComPort(c::kSetStopSize, {1});
    port->SendComPort(c::kSetControl, {c::kControlNoFlow});
    port->SendComPort(c::kSetControl, {c::kControlDtrOn});
    port->SendComPort(c::kSetControl, {c::kControlRtsOn});
    port->SendComPort(c::kPurgeData, {c::kPurgeBoth});

    // Once, briefly: the line settings' acknowledgements. DTR and RTS are not
    // waited for; a server may never confirm them.
    const auto deadline = SteadyClock::now() + std::chrono::milliseconds(options.ack_wait_ms);
    const auto settled = [&] {
        for (std::uint8_t code : {c::kSetBaudRate, c::kSetDataSize, c::kSetParity, c::kSetStopSize})
            if (!port->Acknowledged(code)) return false;
        return true;
    };
    while (!settled() && !port->eof_) {
        const int ms = RemainingMs(deadline);
        if (ms <= 0 || port->WaitForInput(ms) != Wait::Input) break;
        std::vector<std::uint8_t> answers;
        {
            std::lock_guard lock(port->in_mutex_);
            port->Fill(answers);
        }
        if (!answers.empty()) port->SendRaw(answers);
    }
    if (port->eof_) {
        // Refused at once, e.g. the server's device is held by another client;
        // what it said is the reason.
        std::string said;
        for (std::size_t i = port->pending_pos_; i < port->pending_.size(); ++i) {
            const char ch = static_cast<char>(port->pending_[i]);
            if (ch >= 0x20 && ch < 0x7F) said += ch;
        }
        reason = "The server closed the connection";
        if (!said.empty()) reason += " (" + said + ")";
        return nullptr;
    }
    return port;
}

NetSerialPort::~NetSerialPort() {
    SetBreak();
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    ::close(wake_fd_);
}

NetSerialPort::Wait NetSerialPort::WaitForInput(int ms) {
    if (cancelled_.load()) return Wait::Cancelled;
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int ready = ::poll(p, 2, ms);
    if (cancelled_.load() || (ready > 0 && (p[1].revents & POLLIN))) return Wait::Cancelled;
    if (ready > 0 && p[0].revents != 0) return Wait::Input;
    return Wait::Timeout;
}

void NetSerialPort::WaitOut(int ms) {
    if (ms <= 0 || cancelled_.load()) return;
    pollfd wake{wake_fd_, POLLIN, 0};
    ::poll(&wake, 1, ms);
}

void NetSerialPort::Fill(std::vector<std::uint8_t>& answers) {
    std::uint8_t chunk[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            if (!telnet_) {
                pending_.insert(pending_.end(), chunk, chunk + n);
            } else {
                for (ssize_t i = 0; i < n; ++i) Decode(chunk[i], answers);
            }
            if (static_cast<std::size_t>(n) < sizeof chunk) return;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        eof_ = true;  // closed (0) or reset
        return;
    }
}

void NetSerialPort::Decode(std::uint8_t byte, std::vector<std::uint8_t>& answers) {
    switch (state_) {
        case State::Data:
            if (byte == kIac)
                state_ = State::Iac;
            else
                pending_.push_back(byte);
            return;
        case State::Iac:
            if (byte == kIac) {
                pending_.push_back(kIac);
                state_ = State::Data;
            } else if (byte == kWill || byte == kWont || byte == kDo || byte == kDont) {
                verb_ = byte;
                state_ = State::Verb;
            } else if (byte == kSb) {
                sub_.clear();
                state_ = State::Sub;
            } else {
                state_ = State::Data;  // NOP, GA and the like
            }
            return;
        case State::Verb:
            Negotiate(verb_, byte, answers);
            state_ = State::Data;
            return;
        case State::Sub:
            if (byte == kIac)
                state_ = State::SubIac;
            else if (sub_.size() < 64)
                sub_.push_back(byte);
            return;
        case State::SubIac:
            if (byte == kSe) {
                // The server's answer to a COM-PORT command: code + 100.
                if (sub_.size() >= 2 && sub_[0] == rfc2217::kComPortOption && sub_[1] >= 100)
                    acked_[(sub_[1] - 100) & 0x1F] = true;
                state_ = State::Data;
            } else {
                if (sub_.size() < 64) sub_.push_back(byte);  // IAC IAC within
                state_ = State::Sub;
            }
            return;
    }
}

void NetSerialPort::Negotiate(std::uint8_t verb, std::uint8_t option,
                              std::vector<std::uint8_t>& answers) {
    const bool ours =
        option == rfc2217::kComPortOption || option == kBinary || option == kSuppressGoAhead;
    const bool theirs = option == kBinary || option == kSuppressGoAhead;
    auto answer = [&](std::uint8_t v) { answers.insert(answers.end(), {kIac, v, option}); };
    // Answer only a change, so that the two sides never echo each other forever.
    if (verb == kDo) {
        if (ours && !local_on_[option]) {
            local_on_[option] = true;
            answer(kWill);
        } else if (!ours) {
            answer(kWont);
        }
    } else if (verb == kDont) {
        if (local_on_[option]) {
            local_on_[option] = false;
            answer(kWont);
        }
    } else if (verb == kWill) {
        if (theirs && !remote_on_[option]) {
            remote_on_[option] = true;
            answer(kDo);
        } else if (!theirs) {
            answer(kDont);
        }
    } else if (verb == kWont) {
        if (remote_on_[option]) {
            remote_on_[option] = false;
            answer(kDont);
        }
    }
}

std::size_t NetSerialPort::TakePending(std::uint8_t* buffer, std::size_t count) {
    const std::size_t n = std::min(count, pending_.size() - pending_pos_);
    if (n == 0) return 0;  // nothing held (and no buffer behind an empty vector)
    std::memcpy(buffer, pending_.data() + pending_pos_, n);
    pending_pos_ += n;
    if (pending_pos_ == pending_.size()) {
        pending_.clear();
        pending_pos_ = 0;
    }
    return n;
}

void NetSerialPort::SendRaw(const std::vector<std::uint8_t>& bytes) {
    std::lock_guard lock(out_mutex_);
    std::size_t done = 0;
    const auto give_up = SteadyClock::now() + std::chrono::milliseconds(kWriteStallMs);
    while (done < bytes.size()) {
        const ssize_t n =
            ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;  // gone
        pollfd p{fd_, POLLOUT, 0};
        const int ms = RemainingMs(give_up);
        if (ms <= 0 || ::poll(&p, 1, ms) <= 0) return;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return;
    }
}

void NetSerialPort::SendComPort(std::uint8_t code, const std::vector<std::uint8_t>& value) {
    std::vector<std::uint8_t> bytes = {kIac, kSb, rfc2217::kComPortOption, code};
    for (std::uint8_t b : value) {
        bytes.push_back(b);
        if (b == kIac) bytes.push_back(kIac);
    }
    bytes.insert(bytes.end(), {kIac, kSe});
    SendRaw(bytes);
}

void NetSerialPort::Purge() {
    std::vector<std::uint8_t> answers;
    {
        std::lock_guard lock(in_mutex_);
        Fill(answers);
        pending_.clear();
        pending_pos_ = 0;
    }
    if (!answers.empty()) SendRaw(answers);
    if (telnet_) SendComPort(rfc2217::kPurgeData, {rfc2217::kPurgeReceive});
}

void NetSerialPort::Write(const std::uint8_t* data, std::size_t count) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(count + 8);
    for (std::size_t i = 0; i < count; ++i) {
        bytes.push_back(data[i]);
        if (telnet_ && data[i] == kIac) bytes.push_back(kIac);
    }
    SendRaw(bytes);
}

std::size_t NetSerialPort::Read(std::uint8_t* buffer, std::size_t count) {
    std::size_t got = 0;
    ReadWindow window(timeouts_, count, SteadyClock::now());
    while (got < count && !cancelled_.load()) {
        std::vector<std::uint8_t> answers;
        std::size_t n = 0;
        bool closed = false;
        {
            std::lock_guard lock(in_mutex_);
            n = TakePending(buffer + got, count - got);
            closed = n == 0 && eof_.load();
        }
        if (n > 0) {
            got += n;
            window.BytesArrived(SteadyClock::now());
            continue;
        }
        const int wait_ms = window.RemainingMs(SteadyClock::now());
        if (wait_ms <= 0) break;
        if (closed) {
            // Nothing more will come: the read lasts its time-out as on a
            // hung-up line (unless cancelled), so callers keep their pace.
            WaitOut(wait_ms);
            break;
        }
        const Wait w = WaitForInput(wait_ms);
        if (w == Wait::Cancelled) break;
        if (w == Wait::Timeout) continue;
        {
            std::lock_guard lock(in_mutex_);
            Fill(answers);
        }
        if (!answers.empty()) SendRaw(answers);
    }
    return got;
}

std::size_t NetSerialPort::ReadAvailable(std::uint8_t* buffer, std::size_t capacity) {
    if (capacity == 0 || Read(buffer, 1) == 0) return 0;
    std::size_t got = 1;
    const auto take = [&] {
        std::vector<std::uint8_t> answers;
        {
            std::lock_guard lock(in_mutex_);
            got += TakePending(buffer + got, capacity - got);
            if (got < capacity) {
                Fill(answers);
                got += TakePending(buffer + got, capacity - got);
            }
        }
        if (!answers.empty()) SendRaw(answers);
    };
    take();
    // A short chunk gets a millisecond to fill up, as on the serial port.
    if (got < capacity / 2 && !cancelled_.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        take();
    }
    return got;
}

void NetSerialPort::CancelRead() {
    cancelled_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void NetSerialPort::ResumeReads() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
    cancelled_ = false;
}

void NetSerialPort::SetBaudRate(std::uint32_t baud) {
    if (!telnet_) return;
    SendComPort(rfc2217::kSetBaudRate,
                {static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                 static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud)});
}

void NetSerialPort::SetBreak() {
    if (break_set_.exchange(true)) return;
    if (telnet_) SendComPort(rfc2217::kSetControl, {rfc2217::kControlBreakOn});
}

}  // namespace mk27x
