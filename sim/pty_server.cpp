#include "pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace mk27x::sim {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Stream bytes waiting for the pty beyond this are not produced (nobody reads).
constexpr std::size_t kStreamBacklogLimit = 64 * 1024;
// Frames built per chunk when streaming as fast as possible.
constexpr std::size_t kMaxRateChunkFrames = 4096;
// A paced stream more than this far behind skips ahead instead of bursting.
constexpr auto kMaxLateness = std::chrono::milliseconds(200);
// Longest poll sleep; bounds the reaction to state changes made outside the line.
constexpr auto kIdlePoll = std::chrono::milliseconds(100);

struct SpeedEntry {
    speed_t speed;
    std::uint32_t baud;
};

constexpr SpeedEntry kSpeeds[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

speed_t BaudToSpeed(std::uint32_t baud) {
    for (const SpeedEntry& e : kSpeeds) {
        if (e.baud == baud) return e.speed;
    }
    return B115200;
}

std::string ErrnoText(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Writes as much of `buf` from `pos` as the non-blocking fd takes; false on a
// hard error.
bool Drain(int fd, std::vector<std::uint8_t>& buf, std::size_t& pos) {
    while (pos < buf.size()) {
        const ssize_t n = ::write(fd, buf.data() + pos, buf.size() - pos);
        if (n > 0) {
            pos += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
        return false;
    }
    buf.clear();
    pos = 0;
    return true;
}

}  // namespace

PtySensorServer::PtySensorServer(std::shared_ptr<VirtualSensor> sensor, PtyServerOptions options)
    : PtySensorServer(std::vector<std::shared_ptr<VirtualSensor>>{std::move(sensor)}, options) {}

PtySensorServer::PtySensorServer(std::vector<std::shared_ptr<VirtualSensor>> sensors,
                                 PtyServerOptions options)
    : sensors_(std::move(sensors)), options_(options) {}

VirtualSensor& PtySensorServer::Streamer() const {
    for (const auto& sensor : sensors_)
        if (sensor->Streaming()) return *sensor;
    return *sensors_.front();
}

PtySensorServer::~PtySensorServer() {
    Stop();
}

std::uint32_t PtySensorServer::SpeedToBaud(unsigned speed) {
    for (const SpeedEntry& e : kSpeeds) {
        if (e.speed == speed) return e.baud;
    }
    return 0;
}

bool PtySensorServer::Start() {
    if (running_.load()) return true;
    error_.clear();
    master_fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_fd_ < 0) {
        error_ = ErrnoText("posix_openpt");
        return false;
    }
    char name[128] = {};
    if (::grantpt(master_fd_) != 0 || ::unlockpt(master_fd_) != 0 ||
        ::ptsname_r(master_fd_, name, sizeof name) != 0) {
        error_ = ErrnoText("pseudo-terminal setup");
        CloseAll();
        return false;
    }
    slave_path_ = name;
    slave_fd_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_fd_ < 0) {
        error_ = ErrnoText("open slave");
        CloseAll();
        return false;
    }
    // Raw on both sides: the line discipline must pass every byte unchanged.
    termios tio{};
    if (::tcgetattr(slave_fd_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, BaudToSpeed(sensors_.front()->Baud()));
        ::tcsetattr(slave_fd_, TCSANOW, &tio);
    }
    if (::tcgetattr(master_fd_, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(master_fd_, TCSANOW, &tio);
    }
    const int flags = ::fcntl(master_fd_, F_GETFL);
    ::fcntl(master_fd_, F_SETFL, flags | O_NONBLOCK);

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        error_ = ErrnoText("pipe2");
        CloseAll();
        return false;
    }
    wake_read_fd_ = pipe_fds[0];
    wake_write_fd_ = pipe_fds[1];

    stop_.store(false);
    running_.store(true);
    worker_ = std::thread([this] { Run(); });
    return true;
}

void PtySensorServer::Stop() {
    if (worker_.joinable()) {
        stop_.store(true);
        const std::uint8_t wake = 1;
        [[maybe_unused]] ssize_t ignored = ::write(wake_write_fd_, &wake, 1);
        worker_.join();
    }
    running_.store(false);
    CloseAll();
}

void PtySensorServer::CloseAll() {
    for (int* fd : {&master_fd_, &slave_fd_, &wake_read_fd_, &wake_write_fd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void PtySensorServer::Run() {
    std::vector<std::uint8_t> replies;
    std::size_t replies_pos = 0;
    std::vector<std::uint8_t> stream;
    std::size_t stream_pos = 0;
    std::vector<std::uint8_t> in(4096);

    bool max_rate = false;
    double rate = 0.0;
    bool was_streaming = false;
    SteadyClock::time_point stream_epoch{};
    std::uint64_t frames_due_done = 0;  // frames accounted for since stream_epoch
    bool producer_dry = false;          // the sensor had no frames at the last try
    // The stream's pause: the sensor sits at it until pause_end; the frames
    // falling due meanwhile are lost.
    bool pausing = false;
    SteadyClock::time_point pause_end{};
    std::uint64_t pause_lost = 0;
    const auto frames_due_at = [&](SteadyClock::time_point t) {
        return static_cast<std::uint64_t>(std::chrono::duration<double>(t - stream_epoch).count() *
                                          rate);
    };

    while (!stop_.load()) {
        VirtualSensor& streamer = Streamer();
        const bool streaming = streamer.Streaming();
        const auto now = SteadyClock::now();
        if (streaming && !was_streaming) {
            rate = options_.stream_rate.value_or(streamer.StreamRate());
            max_rate = rate <= 0.0;
            stream_epoch = now;
            frames_due_done = 0;
        }
        was_streaming = streaming;
        if (!streaming) pausing = false;
        if (pausing && now >= pause_end) {
            if (!max_rate) {
                const std::uint64_t due = frames_due_at(pause_end);
                if (due > frames_due_done) {
                    pause_lost += due - frames_due_done;
                    frames_due_done = due;
                }
            }
            streamer.EndStreamPause(pause_lost);
            pausing = false;
        }
        const auto start_pause = [&](std::uint64_t lost) {
            if (const auto ms = streamer.StreamPauseDue()) {
                pausing = true;
                pause_end = now + std::chrono::milliseconds(*ms);
                pause_lost = lost;
            }
        };

        // Produce the stream frames that are due.
        if (stream_pos >= kStreamBacklogLimit) {
            stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(stream_pos));
            stream_pos = 0;
        }
        const std::size_t backlog = stream.size() - stream_pos;
        if (streaming && max_rate) {
            if (backlog == 0 && !pausing) {
                const std::size_t n = streamer.ProduceStream(stream, kMaxRateChunkFrames);
                frames_sent_.fetch_add(n);
                if (n < kMaxRateChunkFrames) start_pause(0);
                producer_dry = n == 0 || pausing;
            }
        } else if (streaming && pausing) {
            const std::uint64_t due = frames_due_at(now);
            if (due > frames_due_done) {
                pause_lost += due - frames_due_done;
                frames_due_done = due;
            }
        } else if (streaming) {
            auto due = frames_due_at(now);
            const auto late_limit = static_cast<std::uint64_t>(
                std::ceil(std::chrono::duration<double>(kMaxLateness).count() * rate));
            if (due > frames_due_done + late_limit) frames_due_done = due - late_limit;
            if (due > frames_due_done) {
                const std::uint64_t n = due - frames_due_done;
                frames_due_done = due;
                if (backlog < kStreamBacklogLimit) {
                    const std::size_t sent =
                        streamer.ProduceStream(stream, static_cast<std::size_t>(n));
                    frames_sent_.fetch_add(sent);
                    if (sent < n) start_pause(n - sent);
                }
            }
        }

        // Replies go out first; the stream backlog follows.
        if (!Drain(master_fd_, replies, replies_pos)) break;
        if (replies.empty() && !Drain(master_fd_, stream, stream_pos)) break;

        // Sleep until there is input, room for output, the next frame, or Stop().
        const bool want_out = !replies.empty() || stream.size() > stream_pos ||
                              (streaming && max_rate && !producer_dry);
        auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(kIdlePoll);
        if (pausing) {
            wait =
                std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(
                                   pause_end - SteadyClock::now(), SteadyClock::duration::zero())));
        } else if (streaming && !max_rate) {
            const auto next =
                stream_epoch +
                std::chrono::duration_cast<SteadyClock::duration>(
                    std::chrono::duration<double>(static_cast<double>(frames_due_done + 1) / rate));
            wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(
                                      next - SteadyClock::now(), SteadyClock::duration::zero())));
        }
        pollfd fds[2] = {{master_fd_, static_cast<short>(POLLIN | (want_out ? POLLOUT : 0)), 0},
                         {wake_read_fd_, POLLIN, 0}};
        const timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                          static_cast<long>(wait.count() % 1000000000)};
        const int ready = ::ppoll(fds, 2, &ts, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        if (fds[0].revents & (POLLERR | POLLNVAL)) break;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(master_fd_, in.data(), in.size());
            if (n > 0) {
                bytes_received_.fetch_add(static_cast<std::uint64_t>(n));
                // The rate the client has set on its end of the line right now.
                std::uint32_t line_baud = VirtualSensor::kMatchingBaud;
                termios tio{};
                if (::tcgetattr(slave_fd_, &tio) == 0) line_baud = SpeedToBaud(::cfgetospeed(&tio));
                // On the line, the frames that fell due before the request came
                // are sent before its reply, however late this thread woke up.
                if (streaming && !max_rate && !pausing && stream.size() == stream_pos) {
                    const std::uint64_t due = frames_due_at(SteadyClock::now());
                    if (due > frames_due_done) {
                        const std::size_t sent = streamer.ProduceStream(
                            replies, static_cast<std::size_t>(due - frames_due_done));
                        frames_sent_.fetch_add(sent);
                        if (sent < due - frames_due_done) start_pause(due - frames_due_done - sent);
                        frames_due_done = due;
                    }
                }
                for (const auto& sensor : sensors_) {
                    std::vector<std::uint8_t> reply = sensor->Feed(
                        std::span<const std::uint8_t>(in.data(), static_cast<std::size_t>(n)),
                        line_baud);
                    replies.insert(replies.end(), reply.begin(), reply.end());
                }
            }
        }
    }
    running_.store(false);
}

}  // namespace mk27x::sim
