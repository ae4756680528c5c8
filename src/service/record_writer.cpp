#include "service/record_writer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <utility>

namespace mk27x {

DiskFolder::~DiskFolder() {
    Close();
}

int DiskFolder::Create(const std::string& name) {
    Close();
    fd_ = ::open((path_ + "/" + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    size_ = 0;
    return fd_ < 0 ? errno : 0;
}

int DiskFolder::Append(std::string_view bytes) {
    if (fd_ < 0) return EBADF;
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : EIO;
            // Back to the last whole write: the file ends with a whole row.
            if (::ftruncate(fd_, static_cast<off_t>(size_)) == 0)
                ::lseek(fd_, static_cast<off_t>(size_), SEEK_SET);
            return error;
        }
        done += static_cast<std::size_t>(n);
    }
    size_ += bytes.size();
    return 0;
}

int DiskFolder::Close() {
    if (fd_ < 0) return 0;
    int error = ::fdatasync(fd_) == 0 ? 0 : errno;
    if (::close(fd_) != 0 && error == 0) error = errno;
    fd_ = -1;
    return error == EINVAL ? 0 : error;  // EINVAL: a file system without sync
}

int DiskFolder::Remove(const std::string& name) {
    return ::unlink((path_ + "/" + name).c_str()) == 0 ? 0 : errno;
}

std::vector<RecordFileInfo> DiskFolder::List() {
    std::vector<RecordFileInfo> files;
    DIR* dir = ::opendir(path_.c_str());
    if (!dir) return files;
    while (const dirent* e = ::readdir(dir)) {
        struct stat st {};
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode))
            continue;
        files.push_back(
            {e->d_name, static_cast<std::uint64_t>(st.st_size),
             static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec});
    }
    ::closedir(dir);
    return files;
}

std::string RecordFileName(std::int64_t wall_ns, int suffix) {
    std::int64_t second = wall_ns / 1000000000;
    if (wall_ns < 0 && wall_ns % 1000000000 != 0) --second;
    const std::time_t t = static_cast<std::time_t>(second);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d-%02d-%02dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::string name = text;
    if (suffix > 0) {
        name += '-';
        name += std::to_string(suffix);
    }
    name += ".csv";
    return name;
}

std::optional<RecordFileKey> ParseRecordFileName(const std::string& name) {
    // YYYY-MM-DDTHH-MM-SSZ[-N].csv
    constexpr std::size_t kStamp = 20;
    if (name.size() < kStamp + 4 || name.compare(name.size() - 4, 4, ".csv") != 0)
        return std::nullopt;
    static const char kShape[] = "dddd-dd-ddTdd-dd-ddZ";
    for (std::size_t i = 0; i < kStamp; ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (kShape[i] == 'd' ? !digit : name[i] != kShape[i]) return std::nullopt;
    }
    RecordFileKey key;
    const std::string rest = name.substr(kStamp, name.size() - 4 - kStamp);
    if (!rest.empty()) {
        const char* end = rest.data() + rest.size();
        const auto [ptr, ec] = std::from_chars(rest.data() + 1, end, key.suffix);
        if (rest[0] != '-' || rest.size() < 2 || rest[1] == '0' || ec != std::errc() ||
            ptr != end || key.suffix <= 0)
            return std::nullopt;
    }
    auto number = [&](std::size_t at, std::size_t n) {
        int v = 0;
        std::from_chars(name.data() + at, name.data() + at + n, v);
        return v;
    };
    std::tm tm{};
    tm.tm_year = number(0, 4) - 1900;
    tm.tm_mon = number(5, 2) - 1;
    tm.tm_mday = number(8, 2);
    tm.tm_hour = number(11, 2);
    tm.tm_min = number(14, 2);
    tm.tm_sec = number(17, 2);
    key.second = static_cast<std::int64_t>(::timegm(&tm));
    // Only the name RecordFileName gives for that time.
    if (RecordFileName(key.second * 1000000000, key.suffix) != name) return std::nullopt;
    return key;
}

std::vector<RecordFileInfo> RecordFiles(std::vector<RecordFileInfo> files) {
    std::vector<std::pair<RecordFileKey, RecordFileInfo>> keyed;
    for (RecordFileInfo& f : files)
        if (const auto key = ParseRecordFileName(f.name)) keyed.emplace_back(*key, std::move(f));
    std::sort(keyed.begin(), keyed.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<RecordFileInfo> out;
    for (auto& [key, f] : keyed) out.push_back(std::move(f));
    return out;
}

std::vector<std::string> FilesBeyondKeep(const std::vector<RecordFileInfo>& all,
                                         const KeepRule& keep, std::int64_t now_ns,
                                         const std::string& current) {
    const std::vector<RecordFileInfo> files = RecordFiles(all);
    std::vector<std::string> out;
    if (keep.age.count() > 0) {
        const std::int64_t oldest = now_ns - keep.age.count() * std::int64_t{1000000000};
        for (const RecordFileInfo& f : files)
            if (f.name != current && f.modified_ns < oldest) out.push_back(f.name);
        return out;
    }
    std::uint64_t total = 0;
    for (const RecordFileInfo& f : files) total += f.bytes;
    for (const RecordFileInfo& f : files) {
        if (total <= keep.bytes) break;
        if (f.name == current) continue;
        out.push_back(f.name);
        total -= f.bytes;
    }
    return out;
}

RecordWriter::RecordWriter(RecordFolder& folder, std::size_t bound_bytes)
    : folder_(folder), bound_(bound_bytes), thread_([this] { Run(); }) {}

RecordWriter::~RecordWriter() {
    Stop();
}

void RecordWriter::Open(std::int64_t wall_ns, std::string header) {
    Command c;
    c.kind = Command::Kind::Open;
    c.text = std::move(header);
    c.wall_ns = wall_ns;
    Push(std::move(c));
}

bool RecordWriter::Write(std::string text) {
    {
        std::lock_guard lock(mutex_);
        if (queued_bytes_ + text.size() > bound_) return false;
    }
    Command c;
    c.kind = Command::Kind::Write;
    c.text = std::move(text);
    Push(std::move(c));
    return true;
}

void RecordWriter::Close() {
    Command c;
    c.kind = Command::Kind::Close;
    Push(std::move(c));
}

void RecordWriter::Prune(const KeepRule& keep, std::int64_t now_ns) {
    Command c;
    c.kind = Command::Kind::Prune;
    c.keep = keep;
    c.wall_ns = now_ns;
    Push(std::move(c));
}

void RecordWriter::Push(Command command) {
    {
        std::lock_guard lock(mutex_);
        queued_bytes_ += command.text.size();
        queue_.push_back(std::move(command));
    }
    wake_.notify_one();
}

void RecordWriter::Drain() {
    std::unique_lock lock(mutex_);
    drained_.wait(lock, [this] { return (queue_.empty() && !busy_) || !thread_.joinable(); });
}

void RecordWriter::Stop() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) thread_.join();
}

std::vector<WriterEvent> RecordWriter::TakeEvents() {
    std::lock_guard lock(mutex_);
    return std::exchange(events_, {});
}

std::size_t RecordWriter::QueuedBytes() const {
    std::lock_guard lock(mutex_);
    return queued_bytes_;
}

void RecordWriter::Event(WriterEvent event) {
    std::lock_guard lock(mutex_);
    events_.push_back(std::move(event));
}

void RecordWriter::Run() {
    for (;;) {
        Command command;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty()) break;
            command = std::move(queue_.front());
            queue_.pop_front();
            busy_ = true;
        }
        const std::size_t size = command.text.size();
        Carry(command);
        std::lock_guard lock(mutex_);
        queued_bytes_ -= size;
        busy_ = false;
        if (queue_.empty()) drained_.notify_all();
    }
    if (open_) {
        folder_.Close();
        Event({WriterEvent::Kind::Closed, current_});
    }
}

void RecordWriter::Carry(Command& c) {
    using Kind = WriterEvent::Kind;
    switch (c.kind) {
        case Command::Kind::Open: {
            if (open_) {
                const int error = folder_.Close();
                Event({error ? Kind::Failed : Kind::Closed, current_, error});
            }
            open_ = false;
            failed_ = true;
            int error = EEXIST;
            std::string name;
            for (int suffix = 0; error == EEXIST && suffix < 1000; ++suffix) {
                name = RecordFileName(c.wall_ns, suffix);
                error = folder_.Create(name);
            }
            if (error == 0) {
                error = folder_.Append(c.text);
                if (error != 0) {
                    folder_.Close();
                    folder_.Remove(name);
                }
            }
            if (error != 0) {
                Event({Kind::Failed, name, error});
                return;
            }
            open_ = true;
            failed_ = false;
            current_ = name;
            Event({Kind::Opened, name});
            return;
        }
        case Command::Kind::Write:
            if (!open_ || failed_) return;
            if (const int error = folder_.Append(c.text); error != 0) {
                failed_ = true;
                open_ = false;
                folder_.Close();
                Event({Kind::Failed, current_, error});
            }
            return;
        case Command::Kind::Close:
            if (open_) {
                const int error = folder_.Close();
                Event({error ? Kind::Failed : Kind::Closed, current_, error});
            }
            open_ = false;
            return;
        case Command::Kind::Prune:
            for (const std::string& name :
                 FilesBeyondKeep(folder_.List(), c.keep, c.wall_ns, open_ ? current_ : "")) {
                const int error = folder_.Remove(name);
                Event({Kind::Removed, name, error});
            }
            return;
    }
}

}  // namespace mk27x
