// The files of a rolling recording and the thread that writes them, so that
// the run loop never waits for the disk.
//
// RecordFolder is the recording's only I/O (DiskFolder the real one; tests put
// a folder of their own behind the writer). RecordWriter takes commands (open
// a file, write rows, close it, delete what is beyond keep) into a queue
// bounded in bytes and carries them out in order on its own thread; what
// happened comes back as events the run loop takes.
//
// File names are the UTC time of the file's first row,
// "2026-12-11T10-00-00Z.csv" ("...Z-1.csv" and on for another file begun in
// the same second); keep deletes only files so named, never anything else in
// the folder, and never the file being written.
//
// A file is always whole: its header is written at its creation (a file whose
// header cannot be written is removed again) and a write that fails (a full
// disk) is cut back to the rows before it; the file is then closed and the
// writes that follow are dropped until the next open.
//
// Threading: RecordWriter's members from one thread (the run loop's); the
// folder from the writer's thread only. Stop (and the destructor) carries out
// what is queued and joins the thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "service/service_config.h"

namespace mk27x {

struct RecordFileInfo {
    std::string name;
    std::uint64_t bytes = 0;
    std::int64_t modified_ns = 0;  // UNIX time
};

class RecordFolder {
public:
    virtual ~RecordFolder() = default;
    // Creates `name`, which must not exist: 0, EEXIST or another errno.
    virtual int Create(const std::string& name) = 0;
    // Appends to the file created last: 0, or errno with the file as it was.
    virtual int Append(std::string_view bytes) = 0;
    // Hands the file to the disk and closes it: 0 or errno.
    virtual int Close() = 0;
    virtual int Remove(const std::string& name) = 0;
    // Every regular file of the folder.
    virtual std::vector<RecordFileInfo> List() = 0;
};

class DiskFolder final : public RecordFolder {
public:
    explicit DiskFolder(std::string path) : path_(std::move(path)) {}
    ~DiskFolder() override;
    int Create(const std::string& name) override;
    int Append(std::string_view bytes) override;
    int Close() override;
    int Remove(const std::string& name) override;
    std::vector<RecordFileInfo> List() override;

private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

// "2026-12-11T10-00-00Z.csv" for the second of `wall_ns`, "...Z-N.csv" for N > 0.
std::string RecordFileName(std::int64_t wall_ns, int suffix = 0);
// The UNIX second and suffix of such a name; nothing for any other name.
struct RecordFileKey {
    std::int64_t second = 0;
    int suffix = 0;
    auto operator<=>(const RecordFileKey&) const = default;
};
std::optional<RecordFileKey> ParseRecordFileName(const std::string& name);
// The recording files among `files`, oldest first.
std::vector<RecordFileInfo> RecordFiles(std::vector<RecordFileInfo> files);
// The recording files `keep` deletes, oldest first: those last written more
// than its age before `now_ns`, or the oldest until the total fits its size.
// `current` is never among them (but counts in the total).
std::vector<std::string> FilesBeyondKeep(const std::vector<RecordFileInfo>& files,
                                         const KeepRule& keep, std::int64_t now_ns,
                                         const std::string& current);

struct WriterEvent {
    enum class Kind { Opened, Failed, Closed, Removed };
    Kind kind = Kind::Opened;
    std::string name;
    int error = 0;  // errno of Failed (and of a Removed that failed)
};

class RecordWriter {
public:
    static constexpr std::size_t kDefaultBound = 32u << 20;

    explicit RecordWriter(RecordFolder& folder, std::size_t bound_bytes = kDefaultBound);
    ~RecordWriter();
    RecordWriter(const RecordWriter&) = delete;
    RecordWriter& operator=(const RecordWriter&) = delete;

    // A new file for a first row at `wall_ns`, its header written (the file
    // open before is closed first).
    void Open(std::int64_t wall_ns, std::string header);
    // Whole rows for the open file; false, and nothing queued, when the queue
    // holds its bound.
    bool Write(std::string text);
    void Close();
    void Prune(const KeepRule& keep, std::int64_t now_ns);
    // Waits until what is queued has been carried out.
    void Drain();
    // What is queued is carried out, then the thread ends. Idempotent.
    void Stop();

    std::vector<WriterEvent> TakeEvents();
    std::size_t QueuedBytes() const;

private:
    struct Command {
        enum class Kind { Open, Write, Close, Prune } kind = Kind::Write;
        std::string text;
        std::int64_t wall_ns = 0;
        KeepRule keep;
    };
    void Push(Command command);
    void Run();
    void Carry(Command& command);
    void Event(WriterEvent event);

    RecordFolder& folder_;
    const std::size_t bound_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    bool busy_ = false;
    std::deque<Command> queue_;
    std::size_t queued_bytes_ = 0;
    bool stop_ = false;
    std::vector<WriterEvent> events_;
    // The writer thread's own.
    bool open_ = false;
    bool failed_ = false;
    std::string current_;
    std::thread thread_;
};

}  // namespace mk27x
