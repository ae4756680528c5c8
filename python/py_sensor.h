// The Python module's sensor: one SensorSession with its port (or a virtual
// sensor), driven from Python with the GIL released during every exchange.
//
// Every operation is a session call (or a shared session task); a failed
// operation raises the module's exception for its outcome, with the module's
// own text. One operation runs at a time: a second
// thread waits for the first (without holding the GIL). An operation that
// waits (a timed series, a stream, an upload, a clone) asks between short
// waits, with the GIL taken, whether Python has a signal to handle; a
// KeyboardInterrupt (or a close from another thread) ends it cleanly, and the
// exception is raised once the session is left in order.
//
// Threading: the public members are called with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "session/open_session.h"
#include "session/session.h"
#include "session/session_tasks.h"

namespace mk27x::sim {
class PtySensorServer;
class VirtualSensor;
struct SensorConfig;
}  // namespace mk27x::sim

namespace mk27x {
class TraceWriter;
}

namespace mk27x::python {

namespace py = pybind11;

// The module's exceptions (registered as mk27x.Error and its subclasses).
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
struct PortError : Error {
    using Error::Error;
};
struct NoAnswer : Error {
    using Error::Error;
};
struct FileError : Error {
    using Error::Error;
};

inline constexpr const char* kClosedText = "The sensor is closed.";
inline constexpr const char* kNoAnswerText = "No answer.";

// Asked between the waits of an operation, with the GIL released: true when
// Python has raised from a signal handler (kept for Rethrow) or the sensor is
// being closed.
class Interrupt {
public:
    explicit Interrupt(const std::atomic<bool>& closing) : closing_(closing) {}
    bool operator()();
    // Keeps an exception raised by a Python callback (GIL held).
    void Keep(py::error_already_set error) { error_.emplace(std::move(error)); }
    bool Raised() const { return error_.has_value(); }
    // GIL held: raises what was kept, or PortError when the sensor was closed.
    void Rethrow();

private:
    const std::atomic<bool>& closing_;
    std::optional<py::error_already_set> error_;
};

class ChunkStream;

class Sensor : public std::enable_shared_from_this<Sensor> {
public:
    // Opens the port and connects (identify, read all); raises on failure.
    static std::shared_ptr<Sensor> Open(const std::string& port, std::uint32_t baud,
                                        std::uint8_t address,
                                        const std::optional<std::string>& trace);
    // A virtual sensor served on a pseudo-terminal (`pty`) or in process.
    static std::shared_ptr<Sensor> Simulator(const sim::SensorConfig& config, bool pty,
                                             double stream_rate,
                                             const std::optional<std::string>& trace);
    ~Sensor();
    Sensor(const Sensor&) = delete;
    Sensor& operator=(const Sensor&) = delete;

    py::object Identity();
    py::list Params();
    void Set(const py::dict& entries);
    py::object Measure(long count, bool dev);
    py::object Stream(double seconds);
    std::unique_ptr<ChunkStream> StreamChunks(std::optional<double> seconds,
                                              std::size_t max_pending);
    void Teach();
    void Flash();
    void Restore();
    void Upload(const std::string& path, const py::object& progress);
    void Backup(const std::string& path);
    py::list Clone(const std::string& path);
    void Close();
    // True from the moment close() is called.
    bool Closed() const { return closing_.load(); }
    std::string Port();
    std::uint32_t Baud();
    int Address();
    // The C++ side of the call-overhead benchmark: `count` one-sample series.
    double MeasureBaseline(long count);

private:
    friend class ChunkStream;
    Sensor() = default;
    // Opens the session (GIL released); raises on failure.
    static std::shared_ptr<Sensor> Connect(const SessionOptions& options);
    // The operation lock (waited for without the GIL); raises when closed, or
    // when a stream_chunks iteration runs and `chunks` is false.
    std::unique_lock<std::mutex> Acquire(bool chunks = false);
    SensorSession& S() { return *session_; }

    std::mutex mutex_;
    std::atomic<bool> closing_{false};
    std::atomic<bool> closed_{false};
    // The session with its port or virtual sensor and trace; `session_` is
    // its session until closed.
    OpenedSession opened_;
    SensorSession* session_ = nullptr;
    // The stream_chunks iteration running, under `mutex_`.
    ChunkStream* chunks_ = nullptr;
};

// Registers the Sensor class, its iterator and the module's types.
void BindSensor(py::module_& m);
void BindChunkStream(py::module_& m);

}  // namespace mk27x::python
