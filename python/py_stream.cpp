#include "py_stream.h"

#include <chrono>

namespace mk27x::python {

void ChunkQueue::Add(std::span<const RecordedSample> samples) {
    {
        std::lock_guard lock(mutex_);
        if (!first_ && !samples.empty())
            first_ = FirstSample{samples.front().time.monotonic_ns, samples.front().time.wall_ns};
        for (const RecordedSample& s : samples) {
            if (pending_.size() == capacity_) {
                pending_.pop_front();
                ++dropped_;
            }
            pending_.push_back(s);
        }
    }
    arrived_.notify_all();
}

void ChunkQueue::WaitFor(unsigned ms) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !pending_.empty(); });
}

bool ChunkQueue::Pending() const {
    std::lock_guard lock(mutex_);
    return !pending_.empty();
}

SampleColumns ChunkQueue::Take() {
    std::deque<RecordedSample> taken;
    {
        std::lock_guard lock(mutex_);
        taken.swap(pending_);
    }
    SampleColumns columns;
    columns.ns.reserve(taken.size());
    columns.mm.reserve(taken.size());
    for (const RecordedSample& s : taken) {
        columns.ns.push_back(s.time.monotonic_ns);
        columns.mm.push_back(s.mm);
    }
    return columns;
}

std::uint64_t ChunkQueue::Dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

std::optional<FirstSample> ChunkQueue::First() const {
    std::lock_guard lock(mutex_);
    return first_;
}

ChunkStream::ChunkStream(std::shared_ptr<Sensor> sensor, std::optional<double> seconds,
                         std::size_t max_pending)
    : sensor_(std::move(sensor)),
      queue_(max_pending),
      stream_(sensor_->S(), SystemClock::Instance(), seconds) {}

ChunkStream::~ChunkStream() {
    try {
        Close();
    } catch (...) {
        // A closed sensor has stopped the stream already.
    }
}

void ChunkStream::FinishLocked() {
    if (finished_) return;
    finished_ = true;
    stream_.Stop();
    sensor_->S().Recording().Detach(queue_);
    if (sensor_->chunks_ == this) sensor_->chunks_ = nullptr;
}

void ChunkStream::Close() {
    if (finished_) return;
    auto lock = sensor_->Acquire(true);
    py::gil_scoped_release release;
    FinishLocked();
}

py::object ChunkStream::Next() {
    if (finished_) throw py::stop_iteration();
    auto lock = sensor_->Acquire(true);
    if (finished_) throw py::stop_iteration();
    Interrupt interrupt(sensor_->closing_);
    bool stopped = false;
    {
        py::gil_scoped_release release;
        if (!stream_.Started()) {
            sensor_->S().Recording().Attach(queue_);
            stream_.Start();
        }
        while (!queue_.Pending() && stream_.Current() == TimedStream::State::Running) {
            if (interrupt()) {
                stopped = true;
                break;
            }
            stream_.Step([this](unsigned ms) { queue_.WaitFor(ms); });
        }
        if (stopped || stream_.Current() != TimedStream::State::Running) FinishLocked();
    }
    if (stopped) {
        if (interrupt.Raised()) interrupt.Rethrow();
        throw py::stop_iteration();  // closed meanwhile
    }
    if (stream_.Current() == TimedStream::State::Lost)
        RaiseNoAnswer(kNoAnswerText, queue_.Take().Arrays(queue_.First()));
    if (!queue_.Pending()) throw py::stop_iteration();
    return queue_.Take().Arrays(queue_.First());
}

}  // namespace mk27x::python
