// FileWriterThread: a file written by a thread of its own, fed by a bounded
// queue, so that whoever produces the bytes (the stream reader, a group's run
// loop) never waits for the disk.
//
// The producer hands over blocks of bytes (Write); the writer thread hands each
// to the system (write(2), partial writes and EINTR retried) as soon as it is
// queued, in order. What waits in the queue is bounded in bytes (by default
// kFileQueueBound, 64 MiB: half a minute of CSV rows at the fastest stream):
// a block that would go beyond the bound is refused and the file fails with
// FileStep::Overflow, rather than the producer waiting or memory growing.
//
// Every open, write and close is checked. The first failure stops the file:
// what is queued for it afterwards is dropped, and the failure (the file, the
// step, the system's errno) stays readable as data until the next Open. Open
// starts the next file on the writer thread, closing the one before: a rolling
// recording rotates its files with it, and resumes with it after a failure
// (a full disk). Failed() is "paused or failed": nothing reaches a file until
// an Open succeeds.
//
// A file is created, or emptied when it exists, and written where it is: a
// named pipe or a device works as a regular file does. The open of a named
// pipe waits, on the writer thread, until a reader opens it. SIGPIPE is
// blocked on the writer thread, so a pipe whose reader went away fails the
// write with EPIPE instead of ending the program.
//
// Threading: Open, Write, Drain and Close may come from any thread, one at a
// time (a recording's sinks are called under its lock); Write and Open only
// take a lock held for a queue operation, never for a write, so they never wait
// for the disk. Drain and Close wait for it. Status and Failed come from any
// thread at any time. `on_result` is called on the writer thread, after every
// open, write and close, with no lock held; it must not call back into the
// writer. The destructor closes as Close does.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace mk27x {

inline constexpr std::size_t kFileQueueBound = std::size_t{64} << 20;

// What failed; None when nothing did.
enum class FileStep { None, Open, Write, Close, Overflow };

// The result of one step on the writer thread, as `on_result` sees it.
struct FileResult {
    std::string path;
    FileStep step = FileStep::Write;
    // The bytes written by this step (the block's size when it succeeded).
    std::size_t bytes = 0;
    // The system's errno of a failed step; 0 when it succeeded.
    int error = 0;
};

// The state of the current file: its first failure, if any, and its counts.
struct FileStatus {
    std::string path;
    FileStep failed = FileStep::None;
    // The errno of the failure (0 for an overflow).
    int error = 0;
    // Bytes handed to the system for this file, and bytes queued for it that
    // were dropped after its failure.
    std::uint64_t written = 0;
    std::uint64_t dropped = 0;
    // Bytes waiting in the queue now (every file).
    std::size_t queued = 0;

    bool Ok() const { return failed == FileStep::None; }
};

class FileWriterThread {
public:
    using ResultHandler = std::function<void(const FileResult&)>;

    // Starts the thread; no file is open until Open.
    explicit FileWriterThread(std::size_t queue_bound = kFileQueueBound,
                              ResultHandler on_result = {});
    ~FileWriterThread();
    FileWriterThread(const FileWriterThread&) = delete;
    FileWriterThread& operator=(const FileWriterThread&) = delete;

    // The blocks written after this go to `path`, created (mode 0666 less the
    // umask) or emptied on the writer thread. The file before is closed there
    // first; a failure of that close reaches `on_result` only, as the status
    // is then the new file's.
    void Open(std::string path);
    // Queues `bytes` for the current file (dropped, and counted, when there is
    // none). False when they were refused: the writer is closed, or the queue
    // would exceed its bound (the file then fails with FileStep::Overflow once
    // what was queued before is written, and takes nothing until the next
    // Open).
    bool Write(std::string bytes);
    // Waits until everything queued so far has been handed to the system (or
    // dropped); the status then.
    FileStatus Drain();
    // Drains, closes the file (checked) and joins the thread; the final status.
    // Later calls return it again; Open and Write are then refused.
    FileStatus Close();

    // The current file's status (an overflow shows at once).
    FileStatus Status() const;
    // The current file failed, or its queue overflowed: what is written for it
    // is dropped until the next Open.
    bool Failed() const;

private:
    struct Command {
        enum class Kind { Open, Write, Overflow } kind;
        std::string data;  // the path of an Open, the bytes of a Write
    };

    void Run();
    void Execute(Command& command);
    void Fail(FileStep step, int error);
    void Report(FileStep step, std::size_t bytes, int error);
    void CloseFile();

    const std::size_t bound_;
    const ResultHandler on_result_;
    mutable std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable drained_;
    std::deque<Command> queue_;
    // The command taken from the queue and not yet done (0 or 1).
    std::size_t in_flight_ = 0;
    bool closing_ = false;
    bool closed_ = false;
    bool overflowing_ = false;
    FileStatus status_;
    // The writer thread's own.
    int fd_ = -1;
    std::thread thread_;
};

}  // namespace mk27x
