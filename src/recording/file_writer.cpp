#include "recording/file_writer.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace mk27x {
namespace {

// Writes all of `data`; the errno of the failure, else 0. `done` counts what
// was written.
int WriteAll(int fd, const std::string& data, std::size_t& done) {
    done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

}  // namespace

FileWriterThread::FileWriterThread(std::size_t queue_bound, ResultHandler on_result)
    : bound_(queue_bound), on_result_(std::move(on_result)) {
    thread_ = std::thread([this] { Run(); });
}

FileWriterThread::~FileWriterThread() {
    Close();
}

void FileWriterThread::Open(std::string path) {
    {
        std::lock_guard lock(mutex_);
        if (closing_) return;
        overflowing_ = false;
        queue_.push_back({Command::Kind::Open, std::move(path)});
    }
    work_.notify_one();
}

bool FileWriterThread::Write(std::string bytes) {
    if (bytes.empty()) return true;
    bool taken = false;
    {
        std::lock_guard lock(mutex_);
        if (closing_ || overflowing_) return false;
        taken = status_.queued + bytes.size() <= bound_;
        if (taken) {
            status_.queued += bytes.size();
            queue_.push_back({Command::Kind::Write, std::move(bytes)});
        } else {
            // What came before is still written; the file ends there.
            overflowing_ = true;
            queue_.push_back({Command::Kind::Overflow, {}});
        }
    }
    work_.notify_one();
    return taken;
}

FileStatus FileWriterThread::Drain() {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return (queue_.empty() && in_flight_ == 0) || closed_; });
    return status_;
}

FileStatus FileWriterThread::Close() {
    {
        std::lock_guard lock(mutex_);
        if (closing_) {
            // Closed already (Close comes from one thread at a time).
            return status_;
        }
        closing_ = true;
    }
    work_.notify_one();
    if (thread_.joinable()) thread_.join();
    std::lock_guard lock(mutex_);
    closed_ = true;
    drained_.notify_all();
    return status_;
}

FileStatus FileWriterThread::Status() const {
    std::lock_guard lock(mutex_);
    FileStatus status = status_;
    // An overflow ends the file at once, though what came before it is still
    // being written.
    if (overflowing_ && status.Ok()) status.failed = FileStep::Overflow;
    return status;
}

bool FileWriterThread::Failed() const {
    std::lock_guard lock(mutex_);
    return !status_.Ok() || overflowing_;
}

void FileWriterThread::Run() {
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);

    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return !queue_.empty() || closing_; });
        if (queue_.empty()) break;
        // One block at a time, freed once written.
        Command command = std::move(queue_.front());
        queue_.pop_front();
        in_flight_ = 1;
        lock.unlock();
        Execute(command);
        std::string().swap(command.data);
        lock.lock();
        in_flight_ = 0;
        if (queue_.empty()) drained_.notify_all();
    }
    lock.unlock();
    CloseFile();
}

void FileWriterThread::Execute(Command& command) {
    switch (command.kind) {
        case Command::Kind::Open: {
            CloseFile();
            {
                std::lock_guard lock(mutex_);
                const std::size_t queued = status_.queued;
                status_ = {};
                status_.path = command.data;
                status_.queued = queued;
            }
            int fd = -1;
            do {
                fd = ::open(command.data.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            } while (fd < 0 && errno == EINTR);
            if (fd < 0) {
                Fail(FileStep::Open, errno);
            } else {
                fd_ = fd;
                Report(FileStep::Open, 0, 0);
            }
            return;
        }
        case Command::Kind::Overflow:
            Fail(FileStep::Overflow, 0);
            return;
        case Command::Kind::Write:
            break;
    }
    const std::string& bytes = command.data;
    bool write = false;
    {
        std::lock_guard lock(mutex_);
        write = fd_ >= 0 && status_.Ok();
        if (!write) {
            status_.queued -= bytes.size();
            status_.dropped += bytes.size();
        }
    }
    if (!write) return;
    std::size_t done = 0;
    const int error = WriteAll(fd_, bytes, done);
    {
        std::lock_guard lock(mutex_);
        status_.queued -= bytes.size();
        status_.written += done;
        status_.dropped += bytes.size() - done;
    }
    if (error != 0)
        Fail(FileStep::Write, error);
    else
        Report(FileStep::Write, done, 0);
}

void FileWriterThread::Fail(FileStep step, int error) {
    {
        std::lock_guard lock(mutex_);
        if (status_.Ok()) {
            status_.failed = step;
            status_.error = error;
        }
    }
    Report(step, 0, error);
}

void FileWriterThread::Report(FileStep step, std::size_t bytes, int error) {
    if (!on_result_) return;
    FileResult result;
    {
        std::lock_guard lock(mutex_);
        result.path = status_.path;
    }
    result.step = step;
    result.bytes = bytes;
    result.error = error;
    on_result_(result);
}

void FileWriterThread::CloseFile() {
    if (fd_ < 0) return;
    const int fd = fd_;
    fd_ = -1;
    // close() is not retried: on Linux the descriptor is gone whatever it says.
    if (::close(fd) != 0)
        Fail(FileStep::Close, errno);
    else
        Report(FileStep::Close, 0, 0);
}

}  // namespace mk27x
