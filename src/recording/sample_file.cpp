#include "recording/sample_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "protocol/codec.h"

namespace mk27x {
namespace {

// Index of the oldest sample and the number of samples the ring holds.
std::pair<std::uint16_t, std::uint16_t> Held(std::uint16_t write_index, bool wrapped) {
    if (wrapped) return {write_index, SampleRing::kCapacity};
    return {0, write_index};
}

bool WriteAll(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// A new file beside `path`, created exclusively; -1 when none can be made.
int CreateTemporary(const std::string& path, std::string& temp) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// The file a save writes: `path` with its symbolic links followed, so that a
// link is written through and stays a link. A link's target need not exist
// yet; a relative target counts from the link's folder. Empty (errno ELOOP)
// for a chain of links that does not end.
std::string ResolveLinks(const std::string& path) {
    constexpr int kMaxLinks = 40;
    std::string current = path;
    for (int depth = 0; depth < kMaxLinks; ++depth) {
        char target[4096];
        const ssize_t n = ::readlink(current.c_str(), target, sizeof target);
        if (n < 0 || static_cast<std::size_t>(n) >= sizeof target) return current;
        std::string next(target, static_cast<std::size_t>(n));
        const auto slash = current.rfind('/');
        if (next.front() != '/' && slash != std::string::npos)
            next = current.substr(0, slash + 1) + next;
        current = std::move(next);
    }
    errno = ELOOP;
    return {};
}

// Writes `file` where it is (creating it when it does not exist), for a folder
// that cannot take a temporary file: the space is claimed first, so that a
// full disk fails before anything changes; a write that fails after that
// leaves the file damaged. An existing file keeps its owner and mode.
bool RewriteInPlace(const std::string& file, const std::string& text, int& failure) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        failure = fd < 0 ? errno : EISDIR;
        if (fd >= 0) ::close(fd);
        return false;
    }
    const auto size = static_cast<off_t>(text.size());
    if (size > 0) {
        const int claimed = ::posix_fallocate(fd, 0, size);
        if (claimed != 0 && claimed != EOPNOTSUPP && claimed != EINVAL) {
            failure = claimed;
            ::close(fd);
            return false;
        }
    }
    errno = 0;
    bool ok = WriteAll(fd, text) && ::ftruncate(fd, size) == 0 && ::fsync(fd) == 0;
    if (!ok) failure = errno != 0 ? errno : EIO;
    if (::close(fd) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    return ok;
}

// Writes into a named pipe or a device where it is: it cannot be replaced
// (a rename would put a regular file in its place) and has nothing to empty.
// A pipe with no reader fails at once (ENXIO) rather than waiting for one; one
// whose reader goes away fails with EPIPE, its SIGPIPE taken back.
bool WriteThrough(const std::string& file, const std::string& text, int& failure) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        failure = errno;
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    sigset_t pipe_signal, saved;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ::pthread_sigmask(SIG_BLOCK, &pipe_signal, &saved);
    const bool was_pending = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE);
    errno = 0;
    bool ok = WriteAll(fd, text);
    if (!ok) failure = errno != 0 ? errno : EIO;
    if (!ok && failure == EPIPE && !was_pending) {
        const timespec now{};
        ::sigtimedwait(&pipe_signal, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (::close(fd) != 0 && ok) {
        failure = errno;
        ok = false;
    }
    return ok;
}

// Replaces `path` with `text`; false with the first failure's errno.
bool Replace(const std::string& path, const std::string& text, int& failure) {
    const std::string file = ResolveLinks(path);
    if (file.empty()) {
        failure = errno;
        return false;
    }
    struct stat existing {};
    const bool found = ::stat(file.c_str(), &existing) == 0;
    if (found && (S_ISFIFO(existing.st_mode) || S_ISCHR(existing.st_mode)))
        return WriteThrough(file, text, failure);
    const bool exists = found && S_ISREG(existing.st_mode);

    std::string temp;
    const int fd = CreateTemporary(file, temp);
    if (fd < 0) {
        // The folder takes no new file (read-only, or the name would grow too
        // long): the file is written where it is.
        return RewriteInPlace(file, text, failure);
    }
    // The replacement takes the file's owner and mode. Where the owner cannot
    // be given away, the file is rewritten in place instead.
    if (exists) {
        struct stat made {};
        const bool same_owner = ::fstat(fd, &made) == 0 && made.st_uid == existing.st_uid &&
                                made.st_gid == existing.st_gid;
        if (!same_owner && ::fchown(fd, existing.st_uid, existing.st_gid) != 0) {
            ::close(fd);
            ::unlink(temp.c_str());
            return RewriteInPlace(file, text, failure);
        }
        ::fchmod(fd, existing.st_mode & 07777);
    }
    auto step = [&](bool done) {
        if (!done && failure == 0) failure = errno != 0 ? errno : EIO;
        return done;
    };
    errno = 0;
    bool ok = step(WriteAll(fd, text));
    ok = step(::fsync(fd) == 0) && ok;
    ok = step(::close(fd) == 0) && ok;
    ok = ok && step(::rename(temp.c_str(), file.c_str()) == 0);
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace

std::string SampleFileText(const SampleRing& ring, std::uint16_t write_index, bool wrapped) {
    const auto [first, count] = Held(write_index, wrapped);
    std::string text;
    text.reserve(static_cast<std::size_t>(count) * 12);
    for (std::uint16_t k = 0; k < count; ++k) {
        text +=
            DistanceText(ring.At(static_cast<std::uint16_t>((first + k) % SampleRing::kCapacity)));
        text += "\r\n";
    }
    return text;
}

bool SaveSampleFile(SampleRing& ring, const std::string& path) {
    const std::uint16_t write_index = ring.WriteIndex.load(std::memory_order_acquire);
    const bool wrapped = ring.Wrapped.load(std::memory_order_relaxed);
    const std::string text = SampleFileText(ring, write_index, wrapped);

    if (!ReplaceFileContents(path, text)) return false;
    ring.ReadPosition = write_index;
    return true;
}

bool ReplaceFileContents(const std::string& path, const std::string& text, std::string* reason) {
    int failure = 0;
    const bool ok = Replace(path, text, failure);
    if (!ok && reason) *reason = std::strerror(failure != 0 ? failure : EIO);
    return ok;
}

std::vector<std::pair<float, std::uint16_t>> DrainRing(SampleRing& ring) {
    const std::uint16_t write_index = ring.WriteIndex.load(std::memory_order_acquire);
    std::vector<std::pair<float, std::uint16_t>> points;
    if (ring.Wrapped.load(std::memory_order_relaxed)) {
        points.reserve(SampleRing::kCapacity);
        for (std::uint32_t k = 0; k < SampleRing::kCapacity; ++k) {
            const auto i = static_cast<std::uint16_t>((write_index + k) % SampleRing::kCapacity);
            points.emplace_back(ring.At(i), i);
        }
    } else {
        for (std::uint16_t i = ring.ReadPosition; i < write_index; ++i)
            points.emplace_back(ring.At(i), i);
    }
    ring.ReadPosition = write_index;
    return points;
}

}  // namespace mk27x
