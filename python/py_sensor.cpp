#include "py_sensor.h"

#include <algorithm>
#include <chrono>

#include "params/parameter_entry.h"
#include "params/parameter_text.h"
#include "py_stream.h"
#include "py_types.h"
#include "transport/protocol_trace.h"
#include "virtual_line.h"
#include "virtual_sensor.h"

namespace mk27x::python {
namespace {

constexpr std::uint32_t kRates[] = {9600, 115200, 230400, 460800, 921600};

void CheckLink(std::uint32_t baud, int address) {
    if (std::find(std::begin(kRates), std::end(kRates), baud) == std::end(kRates))
        throw py::value_error("baud must be 9600, 115200, 230400, 460800 or 921600");
    if (address < 1 || address > 127) throw py::value_error("address must be 1 to 127");
}

std::shared_ptr<TraceWriter> OpenTrace(const std::optional<std::string>& path) {
    if (!path) return nullptr;
    auto trace = TraceWriter::OpenFile(*path);
    if (!trace) throw FileError("cannot write the trace file " + *path);
    return trace;
}

// The module's words for a connect that did not connect.
[[noreturn]] void RaiseConnectFailure(const OpenedSession& opened) {
    if (!opened.simulator_error.empty())
        throw PortError("cannot start the virtual sensor: " + opened.simulator_error);
    const ConnectResult& c = opened.connect;
    if (c.outcome == ConnectOutcome::PortNotOpened)
        throw PortError("cannot open " + c.port.port_name +
                        (c.port.reason.empty() ? "" : ": " + c.port.reason));
    if (c.outcome == ConnectOutcome::NotIdentified)
        throw NoAnswer("No answer. Please change parameters.");
    throw NoAnswer(kNoAnswerText);
}

}  // namespace

bool Interrupt::operator()() {
    if (closing_.load()) return true;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return false;
    error_.emplace();
    return true;
}

void Interrupt::Rethrow() {
    if (error_) throw *error_;
    if (closing_.load()) throw PortError(kClosedText);
}

std::shared_ptr<Sensor> Sensor::Open(const std::string& port, std::uint32_t baud,
                                     std::uint8_t address,
                                     const std::optional<std::string>& trace) {
    CheckLink(baud, address);
    SessionOptions options;
    options.port = port;
    options.baud = baud;
    options.address = address;
    options.trace = OpenTrace(trace);
    return Connect(options);
}

std::shared_ptr<Sensor> Sensor::Simulator(const sim::SensorConfig& config, bool pty,
                                          double stream_rate,
                                          const std::optional<std::string>& trace) {
    CheckLink(config.baud, config.address);
    SessionOptions options;
    options.simulator = sim::MakeVirtualLine(std::make_shared<sim::VirtualSensor>(config),
                                             {.pty = pty, .stream_rate = stream_rate});
    options.baud = config.baud;
    options.address = config.address;
    options.trace = OpenTrace(trace);
    return Connect(options);
}

std::shared_ptr<Sensor> Sensor::Connect(const SessionOptions& options) {
    OpenedSession opened;
    {
        py::gil_scoped_release release;
        opened = OpenSession(options);
    }
    if (!opened.ok()) RaiseConnectFailure(opened);
    std::shared_ptr<Sensor> s(new Sensor());
    s->opened_ = std::move(opened);
    s->session_ = s->opened_.session.get();
    return s;
}

Sensor::~Sensor() {
    try {
        Close();
    } catch (...) {
        // Nothing to report from a collected sensor.
    }
}

std::unique_lock<std::mutex> Sensor::Acquire(bool chunks) {
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
        py::gil_scoped_release release;
        lock.lock();
    }
    if (!session_) throw PortError(kClosedText);
    if (chunks_ && !chunks)
        throw Error(
            "a stream_chunks() iteration is running: call its close() first, or iterate in a "
            "with block (break alone does not end an iterator kept in a variable)");
    return lock;
}

void Sensor::Close() {
    if (closed_.load()) return;
    closing_.store(true);
    std::unique_lock lock(mutex_, std::try_to_lock);
    const bool gil = PyGILState_Check() != 0;
    if (!lock.owns_lock()) {
        if (gil) {
            py::gil_scoped_release release;
            lock.lock();
        } else {
            lock.lock();
        }
    }
    if (!session_) return;
    auto shut = [this] {
        if (chunks_) chunks_->FinishLocked();
        session_->Shutdown();
        session_ = nullptr;
        std::shared_ptr<TraceWriter> trace = opened_.trace;
        opened_ = OpenedSession();
        if (trace) trace->Stop();
    };
    if (gil) {
        py::gil_scoped_release release;
        shut();
    } else {
        shut();
    }
    closed_.store(true);
}

py::object Sensor::Identity() {
    auto lock = Acquire(true);
    return IdentityTuple(S().Identity());
}

std::string Sensor::Port() {
    auto lock = Acquire(true);
    return S().PortName();
}

std::uint32_t Sensor::Baud() {
    auto lock = Acquire(true);
    return S().BaudRate();
}

int Sensor::Address() {
    auto lock = Acquire(true);
    return S().Address();
}

py::list Sensor::Params() {
    auto lock = Acquire();
    const ParameterSet& values = S().Values();
    const auto texts = ParameterTexts(values, S().Identity().SignedRange());
    py::list list;
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        list.append(ParameterTuple(i, values[k], texts[k]));
    }
    return list;
}

void Sensor::Set(const py::dict& entries) {
    std::vector<ParameterEntry> list;
    for (const auto& [key, value] : entries) {
        std::optional<int> index;
        if (py::isinstance<py::int_>(key)) {
            const long n = key.cast<long>();
            if (n >= 0 && n < kParameterCount) index = static_cast<int>(n);
        } else if (py::isinstance<py::str>(key)) {
            index = ParameterIndexByName(key.cast<std::string>());
        }
        if (!index)
            throw py::value_error("no parameter named " + py::repr(key).cast<std::string>());
        list.push_back({*index, py::str(value).cast<std::string>()});
    }
    // Checked for their form before anything else is done.
    if (const auto refused = CheckEntryForms(list))
        throw py::value_error(EntryRefusalText(*refused));
    auto lock = Acquire();
    SetParametersResult r;
    {
        py::gil_scoped_release release;
        r = SetParameters(S(), list);
    }
    if (r.status == SetParametersResult::Status::Refused)
        throw py::value_error(EntryRefusalText(r.refusal));
    if (r.status == SetParametersResult::Status::NoAnswer) throw NoAnswer(kNoAnswerText);
}

py::object Sensor::Measure(long count, bool dev) {
    if (count < 1) throw py::value_error("count must be at least 1");
    auto lock = Acquire();
    ColumnSink sink;
    Interrupt interrupt(closing_);
    TaskOutcome outcome;
    {
        AttachedSink attached(S().Recording(), sink);
        py::gil_scoped_release release;
        outcome = MeasureSeries(S(), SystemClock::Instance(), count, dev, std::ref(interrupt));
    }
    if (outcome == TaskOutcome::Stopped) interrupt.Rethrow();
    if (outcome == TaskOutcome::NoAnswer) throw NoAnswer(kNoAnswerText);
    return DistanceArray(sink.Columns().mm);
}

py::object Sensor::Stream(double seconds) {
    if (!(seconds > 0) || !(seconds <= 1e6))
        throw py::value_error("seconds must be above 0 and at most 1000000");
    auto lock = Acquire();
    ColumnSink sink;
    Interrupt interrupt(closing_);
    bool stopped = false;
    TimedStream stream(S(), SystemClock::Instance(), seconds);
    {
        AttachedSink attached(S().Recording(), sink);
        py::gil_scoped_release release;
        stream.Start();
        while (stream.Step() == TimedStream::State::Running) {
            if (interrupt()) {
                stopped = true;
                break;
            }
        }
        stream.Stop();
    }
    if (stopped) interrupt.Rethrow();
    // A lost stream, or one that never brought a sample, is the sensor's
    // silence; what came before it goes with the exception.
    py::object samples = sink.Columns().Arrays();
    if (stream.Current() == TimedStream::State::Lost || sink.Columns().ns.empty())
        RaiseNoAnswer(kNoAnswerText, samples);
    return samples;
}

std::unique_ptr<ChunkStream> Sensor::StreamChunks(std::optional<double> seconds,
                                                  std::size_t max_pending) {
    if (seconds && (!(*seconds > 0) || !(*seconds <= 1e6)))
        throw py::value_error("seconds must be None, or above 0 and at most 1000000");
    if (max_pending < 1) throw py::value_error("max_pending must be at least 1");
    auto lock = Acquire();
    auto chunks = std::make_unique<ChunkStream>(shared_from_this(), seconds, max_pending);
    chunks_ = chunks.get();
    return chunks;
}

void Sensor::Teach() {
    auto lock = Acquire();
    bool ok;
    {
        py::gil_scoped_release release;
        ok = S().Teach();
    }
    if (!ok) throw NoAnswer(kNoAnswerText);
}

void Sensor::Flash() {
    auto lock = Acquire();
    FlashResult result;
    {
        py::gil_scoped_release release;
        result = S().WriteToFlash();
    }
    if (result != FlashResult::Done) throw NoAnswer("Write to FLASH failed.");
}

void Sensor::Restore() {
    auto lock = Acquire();
    FlashResult result;
    {
        py::gil_scoped_release release;
        result = S().RestoreFactorySettings();
    }
    if (result == FlashResult::NoEcho) throw NoAnswer("Restore failed.");
    if (result == FlashResult::ReadFailed) throw NoAnswer(kNoAnswerText);
}

void Sensor::Upload(const std::string& path, const py::object& progress) {
    auto lock = Acquire();
    Interrupt interrupt(closing_);
    SensorSession::CalibrationOutcome result;
    {
        py::gil_scoped_release release;
        auto block_done = [&](int done, int blocks) {
            if (progress.is_none()) return;
            py::gil_scoped_acquire gil;
            try {
                progress(done, blocks);
            } catch (py::error_already_set& e) {
                interrupt.Keep(std::move(e));
            }
        };
        result = S().UploadCalibration(path, block_done,
                                       [&] { return interrupt.Raised() || interrupt(); });
    }
    if (interrupt.Raised() || closing_.load()) interrupt.Rethrow();
    if (result.result == SensorSession::UploadResult::Written) return;
    if (result.result == SensorSession::UploadResult::FileRefused) {
        std::string text = result.refusal.text;
        std::replace(text.begin(), text.end(), '\r', ' ');
        throw FileError(text);
    }
    throw NoAnswer("calibration upload failed at block " +
                   std::to_string(result.upload->failed_block() + 1) + " of " +
                   std::to_string(result.upload->blocks));
}

void Sensor::Backup(const std::string& path) {
    auto lock = Acquire();
    std::string error;
    if (!BackupToFile(S(), path, error)) throw FileError("cannot write " + path + ": " + error);
}

py::list Sensor::Clone(const std::string& path) {
    auto lock = Acquire();
    Interrupt interrupt(closing_);
    CloneResult r;
    {
        py::gil_scoped_release release;
        r = CloneFromFile(S(), path, std::ref(interrupt));
    }
    switch (r.status) {
        case CloneResult::Status::FileRefused:
            throw FileError("Cannot load " + path + ": " + r.error + ".");
        case CloneResult::Status::Declined:
            throw Error("the parameter file was not loaded");
        case CloneResult::Status::Stopped:
            interrupt.Rethrow();
            break;
        case CloneResult::Status::NoAnswer:
            throw NoAnswer(kNoAnswerText);
        case CloneResult::Status::Written:
            break;
    }
    py::list differences;
    for (int i : r.differing) {
        const auto k = static_cast<std::size_t>(i);
        differences.append(DifferenceTuple(i, r.wanted[k], S().ReadBack()[k]));
    }
    return differences;
}

double Sensor::MeasureBaseline(long count) {
    auto lock = Acquire();
    py::gil_scoped_release release;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i)
        if (MeasureSeries(S(), SystemClock::Instance(), 1, false) != TaskOutcome::Done) break;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace mk27x::python
