// PtySensorServer: serves a VirtualSensor on a new pseudo-terminal, so that the
// program (or anything else) can open the slave device as if it were the serial
// port of a real sensor.
//
// A worker thread polls the master side. Bytes from the client go to the sensor
// together with the rate currently set on the slave (its termios output speed),
// so a client at the wrong rate is ignored like a real sensor would ignore it.
// Replies are written back at once, behind the stream frames that fell due
// before the request came but ahead of any backlog the pty would not take. While the
// sensor streams, frames are written at the rate its "Sampling period" gives
// (or `stream_rate` frames per second when set), paced by the steady clock
// (several frames per wake-up when late); a rate of 0 means as fast as the pty
// takes them, in large pre-built chunks. The rate is taken when a stream starts. The stream's pause
// (Faults::stream_pause_at_frames) lasts its milliseconds on the steady clock;
// the frames falling due in it at `stream_rate` are lost.
//
// Several sensors may share the line, as on an RS-485 line with several network
// addresses: every byte from the client goes to each of them (a sensor answers
// only the requests to its address), their replies go back in the order of the
// sensors, and the stream is the first streaming sensor's.
//
// The server keeps its own descriptor of the slave open, so the master never
// sees a hang-up when a client closes, and a client may close and re-open the
// device at will. Frames that nobody reads are dropped once a backlog limit is
// reached.
//
// Threading: Start() and Stop() belong to one controlling thread; SlavePath()
// and the counters may be read from any thread. Stop() (and the destructor)
// wake the worker and join it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "virtual_sensor.h"

namespace mk27x::sim {

struct PtyServerOptions {
    // Stream frames per second; 0 = as fast as the pseudo-terminal accepts;
    // none = the streaming sensor's own rate (VirtualSensor::StreamRate).
    std::optional<double> stream_rate;
};

class PtySensorServer {
public:
    explicit PtySensorServer(std::shared_ptr<VirtualSensor> sensor, PtyServerOptions options = {});
    // Sensors sharing the line (at different addresses, one rate); not empty.
    explicit PtySensorServer(std::vector<std::shared_ptr<VirtualSensor>> sensors,
                             PtyServerOptions options = {});
    ~PtySensorServer();
    PtySensorServer(const PtySensorServer&) = delete;
    PtySensorServer& operator=(const PtySensorServer&) = delete;

    // Creates the pseudo-terminal and starts the worker; false (with Error()) on
    // failure. A second Start() while running returns true and does nothing.
    bool Start();
    // Stops and joins the worker and closes the pseudo-terminal. Idempotent.
    void Stop();
    // True from Start() until Stop(), or until the worker gave up on an error of
    // the pseudo-terminal.
    bool Running() const { return running_.load(); }

    // The slave device, e.g. "/dev/pts/7"; empty before Start().
    std::string SlavePath() const { return slave_path_; }
    std::string Error() const { return error_; }

    std::uint64_t BytesReceived() const { return bytes_received_.load(); }
    std::uint64_t FramesSent() const { return frames_sent_.load(); }

    // The rate a termios speed constant stands for; 0 when unknown (a sensor
    // fed with rate 0 takes the bytes as matching).
    static std::uint32_t SpeedToBaud(unsigned speed);

private:
    void Run();
    void CloseAll();
    // The sensor whose stream the line carries: the first streaming one.
    VirtualSensor& Streamer() const;

    std::vector<std::shared_ptr<VirtualSensor>> sensors_;
    PtyServerOptions options_;
    int master_fd_ = -1;
    int slave_fd_ = -1;
    int wake_read_fd_ = -1;
    int wake_write_fd_ = -1;
    std::string slave_path_;
    std::string error_;
    std::thread worker_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> bytes_received_{0};
    std::atomic<std::uint64_t> frames_sent_{0};
};

}  // namespace mk27x::sim
