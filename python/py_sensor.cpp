#include "py_sensor.h"

#include <algorithm>
#include <chrono>

#include "in_process_transport.h"
#include "link/port_backends.h"
#include "params/parameter_entry.h"
#include "params/parameter_text.h"
#include "pty_server.h"
#include "py_stream.h"
#include "py_types.h"
#include "session/protocol_trace.h"
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

// A sink attached for the life of a scope.
class Attached {
public:
    Attached(Recording& recording, RecordingSink& sink) : recording_(recording), sink_(sink) {
        recording_.Attach(sink_);
    }
    ~Attached() { recording_.Detach(sink_); }
    Attached(const Attached&) = delete;
    Attached& operator=(const Attached&) = delete;

private:
    Recording& recording_;
    RecordingSink& sink_;
};

}  // namespace

int LastMessageBox::Show(const std::string& text, const std::string&, unsigned) {
    std::string line = text;
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::lock_guard lock(mutex_);
    last_ = std::move(line);
    return IDOK;
}

std::string LastMessageBox::Text(const std::string& fallback) const {
    std::lock_guard lock(mutex_);
    return last_.value_or(fallback);
}

void LastMessageBox::Clear() {
    std::lock_guard lock(mutex_);
    last_.reset();
}

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
    std::shared_ptr<Sensor> s(new Sensor());
    s->trace_ = OpenTrace(trace);
    PortBackends backends = RealPortBackends();
    if (s->trace_) backends = TracedBackends(std::move(backends), s->trace_);
    s->session_ =
        std::make_unique<SensorSession>(s->messages_, SystemClock::Instance(), std::move(backends));
    s->Connect(port, baud, address);
    return s;
}

std::shared_ptr<Sensor> Sensor::Simulator(const sim::SensorConfig& config, bool pty,
                                          double stream_rate,
                                          const std::optional<std::string>& trace) {
    CheckLink(config.baud, config.address);
    std::shared_ptr<Sensor> s(new Sensor());
    s->trace_ = OpenTrace(trace);
    s->virtual_sensor_ = std::make_shared<sim::VirtualSensor>(config);
    PortBackends backends;
    std::string port = "SIM";
    if (pty) {
        s->server_ = std::make_unique<sim::PtySensorServer>(
            s->virtual_sensor_, sim::PtyServerOptions{.stream_rate = stream_rate});
        if (!s->server_->Start())
            throw PortError("cannot start the virtual sensor: " + s->server_->Error());
        port = s->server_->SlavePath();
        backends = RealPortBackends();
    } else {
        auto open = [sensor = s->virtual_sensor_, stream_rate](std::uint32_t baud) {
            return std::make_shared<sim::InProcessTransport>(
                sensor, sim::InProcessOptions{.baud = baud, .stream_rate = stream_rate});
        };
        backends.open_serial = [open](const std::string&, std::uint32_t baud, std::string&) {
            return open(baud);
        };
        backends.open_usb = open;
    }
    if (s->trace_) backends = TracedBackends(std::move(backends), s->trace_);
    s->session_ =
        std::make_unique<SensorSession>(s->messages_, SystemClock::Instance(), std::move(backends));
    s->Connect(port, config.baud, config.address);
    return s;
}

void Sensor::Connect(const std::string& port, std::uint32_t baud, std::uint8_t address) {
    ConnectOutcome outcome;
    {
        py::gil_scoped_release release;
        session_->SetPortName(port);
        session_->SetBaudRate(baud);
        session_->SetAddress(address);
        session_->Start();
        outcome = session_->Connect();
    }
    switch (outcome) {
        case ConnectOutcome::Connected:
            return;
        case ConnectOutcome::PortNotOpened:
            if (const std::string& reason = session_->LastPortOpen().reason; !reason.empty())
                throw PortError(reason);
            throw PortError(messages_.Text("cannot open " + port));
        default:
            throw NoAnswer(messages_.Text(kNoAnswerText));
    }
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
    messages_.Clear();
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
        session_.reset();
        server_.reset();
        if (trace_) trace_->Stop();
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
        const std::string text = py::str(value).cast<std::string>();
        // Checked for its form before anything else is done.
        if (std::string error = EntryFormError(*index, text); !error.empty())
            throw py::value_error(
                EntryRefusalText({*index, text, CommitAction::ConversionError, error}));
        list.push_back({*index, text});
    }
    auto lock = Acquire();
    std::vector<int> indexes;
    if (const auto refused =
            StoreParameterEntries(list, S().Values(), S().Identity().SignedRange(), indexes))
        throw py::value_error(EntryRefusalText(*refused));
    bool ok;
    {
        py::gil_scoped_release release;
        ok = S().WriteParameters(indexes);
    }
    if (!ok) throw NoAnswer(messages_.Text(kNoAnswerText));
}

py::object Sensor::Measure(long count, bool dev) {
    if (count < 1) throw py::value_error("count must be at least 1");
    auto lock = Acquire();
    ColumnSink sink;
    Interrupt interrupt(closing_);
    TaskOutcome outcome;
    {
        Attached attached(S().Recording(), sink);
        py::gil_scoped_release release;
        outcome = MeasureSeries(S(), SystemClock::Instance(), count, dev, std::ref(interrupt));
    }
    if (outcome == TaskOutcome::Stopped) interrupt.Rethrow();
    if (outcome == TaskOutcome::NoAnswer) throw NoAnswer(messages_.Text(kNoAnswerText));
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
        Attached attached(S().Recording(), sink);
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
    if (stream.Current() == TimedStream::State::Lost)
        RaiseNoAnswer(messages_.Text(kNoAnswerText), samples);
    if (sink.Columns().ns.empty()) RaiseNoAnswer(kNoAnswerText, samples);
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
    SensorSession::FlashOutcome outcome;
    {
        py::gil_scoped_release release;
        outcome = S().WriteToFlash();
    }
    if (outcome != SensorSession::FlashOutcome::Done) throw NoAnswer(messages_.Text(kNoAnswerText));
}

void Sensor::Restore() {
    auto lock = Acquire();
    SensorSession::FlashOutcome outcome;
    {
        py::gil_scoped_release release;
        outcome = S().RestoreFactorySettings();
    }
    // A failed re-read after the restore shows nothing of its own.
    if (outcome != SensorSession::FlashOutcome::Done) throw NoAnswer(messages_.Text(kNoAnswerText));
}

void Sensor::Upload(const std::string& path, const py::object& progress) {
    auto lock = Acquire();
    Interrupt interrupt(closing_);
    SensorSession::UploadResult result;
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
    switch (result) {
        case SensorSession::UploadResult::Written:
            return;
        case SensorSession::UploadResult::FileRefused:
            throw FileError(messages_.Text("cannot read " + path));
        case SensorSession::UploadResult::Failed:
            break;
    }
    throw NoAnswer(messages_.Text(kNoAnswerText));
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
        case CloneResult::Status::FileRefused: {
            std::string text = r.error;
            std::replace(text.begin(), text.end(), '\r', ' ');
            throw FileError(text);
        }
        case CloneResult::Status::Declined:
            throw Error("the parameter file was not loaded");
        case CloneResult::Status::Stopped:
            interrupt.Rethrow();
            break;
        case CloneResult::Status::NoAnswer:
            throw NoAnswer(messages_.Text(kNoAnswerText));
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
