#include "transport/protocol_trace.h"

#include <cstdio>
#include <fstream>
#include <utility>
#include <vector>

namespace mk27x {

TraceWriter::TraceWriter(Sink sink, std::size_t capacity, Clock& clock)
    : sink_(std::move(sink)),
      capacity_(capacity == 0 ? 1 : capacity),
      clock_(clock),
      start_(clock.Now()),
      thread_([this] { Run(); }) {}

TraceWriter::~TraceWriter() {
    Stop();
}

std::shared_ptr<TraceWriter> TraceWriter::OpenFile(const std::string& path, std::size_t capacity) {
    auto file = std::make_shared<std::ofstream>(path, std::ios::out | std::ios::trunc);
    if (!*file) return nullptr;
    return std::make_shared<TraceWriter>(
        [file](std::string_view line) {
            file->write(line.data(), static_cast<std::streamsize>(line.size()));
            file->put('\n');
            file->flush();
        },
        capacity);
}

void TraceWriter::Post(std::string line) {
    {
        std::lock_guard lock(mutex_);
        if (stop_) return;
        if (queue_.size() >= capacity_) {
            ++pending_dropped_;
            ++dropped_total_;
            return;
        }
        // The notice goes where the loss happened, ahead of the line that
        // found room again (it may take the queue one over its bound).
        if (pending_dropped_ != 0) {
            queue_.push_back("trace: " + std::to_string(pending_dropped_) + " lines dropped");
            pending_dropped_ = 0;
        }
        queue_.push_back(std::move(line));
    }
    wake_.notify_one();
}

std::uint64_t TraceWriter::Micros() const {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(clock_.Now() - start_).count());
}

void TraceWriter::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (stop_ && !thread_.joinable()) return;
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

std::uint64_t TraceWriter::DroppedLines() const {
    std::lock_guard lock(mutex_);
    return dropped_total_;
}

void TraceWriter::Run() {
    std::deque<std::string> batch;
    for (;;) {
        bool last = false;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            batch.swap(queue_);
            if (stop_) {
                last = true;
                if (pending_dropped_ != 0)
                    batch.push_back("trace: " + std::to_string(pending_dropped_) +
                                    " lines dropped");
                pending_dropped_ = 0;
            }
        }
        for (const std::string& line : batch) sink_(line);
        batch.clear();
        if (last) return;
    }
}

std::string HexBytes(const std::uint8_t* data, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i) {
        if (i != 0) text += ' ';
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0xF];
    }
    return text;
}

namespace {

constexpr std::uint64_t kStreamReportMicros = 1'000'000;
constexpr std::size_t kStreamFrameBytes = 4;

std::string Stamp(std::uint64_t micros) {
    char text[24];
    std::snprintf(text, sizeof text, "%12llu", static_cast<unsigned long long>(micros));
    return text;
}

class TracingTransport final : public ByteTransport {
public:
    TracingTransport(std::shared_ptr<ByteTransport> inner, std::shared_ptr<TraceWriter> writer,
                     const std::string& port, std::uint32_t baud)
        : inner_(std::move(inner)), writer_(std::move(writer)) {
        Line("open " + port + " at " + std::to_string(baud) + " baud");
    }

    ~TracingTransport() override {
        std::lock_guard lock(mutex_);
        FlushLocked();
        LineLocked("close");
    }

    void Purge() override {
        Flush();
        inner_->Purge();
    }

    void Write(const std::uint8_t* data, std::size_t count) override {
        {
            std::lock_guard lock(mutex_);
            if (tx_.empty()) {
                // The stream so far goes ahead of the request.
                FlushStreamLocked();
                tx_time_ = writer_->Micros();
            }
            tx_.insert(tx_.end(), data, data + count);
        }
        inner_->Write(data, count);
    }

    std::size_t Read(std::uint8_t* buffer, std::size_t count) override {
        Flush();
        const std::size_t got = inner_->Read(buffer, count);
        std::lock_guard lock(mutex_);
        FlushLocked();
        std::string line = Stamp(writer_->Micros()) + " RX " + OperationLocked() + ": ";
        line += got == 0 ? "(nothing)" : HexBytes(buffer, got);
        if (got != count)
            line += " (short: " + std::to_string(got) + "/" + std::to_string(count) + ")";
        writer_->Post(std::move(line));
        return got;
    }

    std::size_t ReadAvailable(std::uint8_t* buffer, std::size_t capacity) override {
        const std::size_t got = inner_->ReadAvailable(buffer, capacity);
        std::lock_guard lock(mutex_);
        const std::uint64_t now = writer_->Micros();
        if (!stream_open_) {
            stream_open_ = true;
            stream_start_ = now;
        }
        stream_bytes_ += got;
        // A request still open (the stream start, which no reply finishes)
        // began before this stream data and is written first.
        if (now - stream_start_ >= kStreamReportMicros) FlushLocked();
        return got;
    }

    void CancelRead() override { inner_->CancelRead(); }
    void ResumeReads() override { inner_->ResumeReads(); }

    void SetBaudRate(std::uint32_t baud) override {
        Line("baud " + std::to_string(baud));
        inner_->SetBaudRate(baud);
    }

    void SetBreak() override {
        Line("break");
        inner_->SetBreak();
    }

    void SetOperation(const char* name, int index) override {
        std::lock_guard lock(mutex_);
        FlushTxLocked();
        name_ = name;
        index_ = index;
        inner_->SetOperation(name, index);
    }

private:
    std::string OperationLocked() const {
        std::string op = name_ ? name_ : "-";
        if (index_ >= 0) {
            op += ' ';
            op += std::to_string(index_);
        }
        return op;
    }

    void Line(const std::string& text) {
        std::lock_guard lock(mutex_);
        FlushLocked();
        LineLocked(text);
    }

    void LineLocked(const std::string& text) {
        writer_->Post(Stamp(writer_->Micros()) + " -- " + text);
    }

    void Flush() {
        std::lock_guard lock(mutex_);
        FlushLocked();
    }

    // A pending request began before any stream data counted since (its first
    // byte closed the stream report before it), so it goes first.
    void FlushLocked() {
        FlushTxLocked();
        FlushStreamLocked();
    }

    void FlushTxLocked() {
        if (tx_.empty()) return;
        writer_->Post(Stamp(tx_time_) + " TX " + OperationLocked() + ": " +
                      HexBytes(tx_.data(), tx_.size()));
        tx_.clear();
    }

    void FlushStreamLocked() {
        if (!stream_open_) return;
        const std::uint64_t now = writer_->Micros();
        if (stream_bytes_ != 0) {
            writer_->Post(Stamp(now) +
                          " RX stream: " + std::to_string(stream_bytes_ / kStreamFrameBytes) +
                          " frames (" + std::to_string(stream_bytes_) + " bytes) in " +
                          std::to_string((now - stream_start_) / 1000) + " ms");
        }
        stream_bytes_ = 0;
        stream_open_ = false;
    }

    std::shared_ptr<ByteTransport> inner_;
    std::shared_ptr<TraceWriter> writer_;
    std::mutex mutex_;
    const char* name_ = nullptr;
    int index_ = -1;
    std::vector<std::uint8_t> tx_;
    std::uint64_t tx_time_ = 0;
    std::uint64_t stream_start_ = 0;
    std::uint64_t stream_bytes_ = 0;
    bool stream_open_ = false;
};

}  // namespace

std::shared_ptr<ByteTransport> TraceTransport(std::shared_ptr<ByteTransport> inner,
                                              std::shared_ptr<TraceWriter> writer,
                                              const std::string& port, std::uint32_t baud) {
    if (!writer) return inner;
    if (!inner) {
        writer->Post(Stamp(writer->Micros()) + " -- open " + port + " failed");
        return inner;
    }
    return std::make_shared<TracingTransport>(std::move(inner), std::move(writer), port, baud);
}

PortBackends TracedBackends(PortBackends inner, std::shared_ptr<TraceWriter> writer) {
    PortBackends traced;
    if (inner.open_serial)
        traced.open_serial = [open = inner.open_serial, writer](
                                 const std::string& port, std::uint32_t baud, std::string& reason) {
            return TraceTransport(open(port, baud, reason), writer, port, baud);
        };
    if (inner.open_usb)
        traced.open_usb = [open = inner.open_usb, writer](std::uint32_t baud) {
            return TraceTransport(open(baud), writer, "USB", baud);
        };
    return traced;
}

}  // namespace mk27x
