#include "transport/serial_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "transport/read_window.h"

namespace mk27x {
namespace {

using SteadyClock = std::chrono::steady_clock;

struct SpeedEntry {
    std::uint32_t baud;
    speed_t speed;
};

// The standard rates termios knows by constant. The sensor's own rates are
// 9600, 115200, 230400, 460800 and 921600.
constexpr SpeedEntry kSpeeds[] = {
    {1200, B1200},       {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},     {115200, B115200},
    {230400, B230400},   {460800, B460800},   {500000, B500000},   {576000, B576000},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
};

std::optional<speed_t> SpeedFor(std::uint32_t baud) {
    for (const SpeedEntry& e : kSpeeds) {
        if (e.baud == baud) return e.speed;
    }
    return std::nullopt;
}

// A rate without a constant leaves the speed as it was, like a rejected line
// setting on any other port: the rest of the settings still apply.
void SetSpeed(termios& tio, std::uint32_t baud) {
    if (const std::optional<speed_t> speed = SpeedFor(baud)) {
        cfsetispeed(&tio, *speed);
        cfsetospeed(&tio, *speed);
    }
}

}  // namespace

// Raw 8 data bits, even parity, one stop bit; receiver on; modem status lines
// ignored (CLOCAL); no RTS/CTS and no XON/XOFF flow control. Whatever size,
// parity kind and stop bits a previous program left are cleared first (mark or
// space parity included), so the line is 8E1 whatever state it was in. Parity
// errors are not checked on input (no INPCK): a byte with a bad parity bit is
// delivered as received, with no replacement character.
void SerialLineSettings(termios& tio, std::uint32_t baud) {
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    tio.c_cflag |= CS8 | PARENB | CREAD | CLOCAL;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    SetSpeed(tio, baud);
}

namespace {

// Opens `path` only if it is a terminal, -1 otherwise. Nothing is written
// and no setting changed before the checks: the open neither creates nor
// truncates, does not wait for a FIFO's other end (O_NONBLOCK) and takes no
// controlling terminal; a path that is there but is no character device is
// not opened at all, and what the open found is checked again on the
// descriptor (the path may have changed in between). `refused` is set when
// the path exists but is no terminal.
int OpenTerminal(const std::string& path, bool& refused) {
    refused = false;
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISCHR(st.st_mode)) {
        refused = true;
        return -1;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    termios tio{};
    if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode) || ::tcgetattr(fd, &tio) != 0) {
        ::close(fd);
        refused = true;
        return -1;
    }
    return fd;
}

void ConfigureLine(int fd, std::uint32_t baud) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return;
    SerialLineSettings(tio, baud);
    tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

void RaiseModemLines(int fd, int lines) {
    ::ioctl(fd, TIOCMBIS, &lines);
}

std::shared_ptr<PosixSerialPort> PosixSerialPort::Open(const std::string& port_name,
                                                       std::uint32_t baud, std::string& reason,
                                                       ReadTimeouts timeouts,
                                                       RaiseModemLinesFn raise_lines) {
    reason.clear();
    const std::string path = SerialDevicePath(port_name);
    if (path.empty()) {
        reason = std::strerror(ENOENT);  // no device of that name
        return nullptr;
    }
    bool refused = false;
    const int fd = OpenTerminal(path, refused);
    if (fd < 0) {
        reason = refused ? kNotSerialPort : std::strerror(errno);
        return nullptr;
    }
    // The port is this program's alone while it is open: a second program that
    // locks it the same way finds it busy.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        reason = std::strerror(EBUSY);  // another program holds it
        return nullptr;
    }
    const int wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd < 0) {
        reason = std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<PosixSerialPort> port(new PosixSerialPort(fd, wake_fd, timeouts));

    // From here on nothing can make the open fail; every result is ignored.
    // The driver's queue sizes (64/64) and the event mask have no termios
    // equivalent: the kernel's buffers are its own, and reads wait in poll().
    tcflush(fd, TCIOFLUSH);
    ConfigureLine(fd, baud);
    raise_lines(fd, TIOCM_RTS | TIOCM_DTR);
    return port;
}

PosixSerialPort::~PosixSerialPort() {
    SetBreak();
    ::close(fd_);
    ::close(wake_fd_);
}

void PosixSerialPort::Purge() {
    // Discarding output would throw away the tail of the previous request (a
    // register write has no reply, so the next request's purge follows its last
    // byte at once). Let it go out, then drop whatever input is pending.
    tcdrain(fd_);
    tcflush(fd_, TCIFLUSH);
}

void PosixSerialPort::Write(const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd_, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return;
        // The output queue is full: wait until it takes more. Writes have no
        // time-out; a line that hangs up ends the write.
        pollfd p{fd_, POLLOUT, 0};
        if (::poll(&p, 1, -1) < 0 && errno != EINTR) return;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return;
    }
    // A synchronous write: done when the bytes are on the wire. At 9600 baud a
    // 2052-byte calibration block takes 2.35 s, longer than the read of its
    // acknowledgement allows.
    tcdrain(fd_);
}

bool PosixSerialPort::WaitForInput(int ms) {
    if (cancelled_.load()) return false;
    pollfd p[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const int ready = ::poll(p, 2, ms);
    if (ready <= 0 || cancelled_.load() || (p[1].revents & POLLIN)) return false;
    if (p[0].revents & POLLIN) return true;
    // Hang-up or error: nothing more will come. The read still lasts its
    // time-out (unless cancelled), so a caller reading in a loop keeps its pace.
    pollfd wake{wake_fd_, POLLIN, 0};
    ::poll(&wake, 1, ms);
    return false;
}

std::size_t PosixSerialPort::Read(std::uint8_t* buffer, std::size_t count) {
    std::size_t got = 0;
    ReadWindow window(timeouts_, count, SteadyClock::now());
    while (got < count && !cancelled_.load()) {
        const int wait_ms = window.RemainingMs(SteadyClock::now());
        if (wait_ms <= 0) break;
        if (!WaitForInput(wait_ms)) continue;
        const ssize_t n = ::read(fd_, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
            window.BytesArrived(SteadyClock::now());
        }
        // Nothing (another thread's purge took the bytes first): wait on.
    }
    return got;
}

std::size_t PosixSerialPort::ReadAvailable(std::uint8_t* buffer, std::size_t capacity) {
    if (capacity == 0 || Read(buffer, 1) == 0) return 0;
    // Like a UART's receive FIFO or a USB adapter's latency timer: a short chunk
    // gets a millisecond to fill up, so a streaming reader wakes up once per
    // millisecond rather than once per frame.
    const auto take = [&](std::size_t from) -> std::size_t {
        const ssize_t n = ::read(fd_, buffer + from, capacity - from);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    };
    std::size_t got = 1;
    if (got < capacity) got += take(got);
    if (got < capacity / 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        got += take(got);
    }
    return got;
}

void PosixSerialPort::CancelRead() {
    cancelled_ = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void PosixSerialPort::ResumeReads() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_fd_, &count, sizeof count);
    cancelled_ = false;
}

void PosixSerialPort::SetBaudRate(std::uint32_t baud) {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return;
    SetSpeed(tio, baud);
    // Bytes still in the output queue leave at the old rate.
    tcsetattr(fd_, TCSADRAIN, &tio);
}

void PosixSerialPort::SetBreak() {
    if (break_set_.exchange(true)) return;
    // Written bytes go out first; the break is then held until the close.
    tcdrain(fd_);
    ::ioctl(fd_, TIOCSBRK);
}

}  // namespace mk27x
