#include "link/sample_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "link/codec.h"

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

}  // namespace

std::string SampleFileErrorText(const std::string& file_name) {
    return "Cannot write file " + file_name + ".";
}

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
    // The first failure's errno is the reason given.
    int failure = 0;
    auto step = [&](bool done) {
        if (!done && failure == 0) failure = errno != 0 ? errno : EIO;
        return done;
    };
    std::string temp;
    const int fd = CreateTemporary(path, temp);
    if (!step(fd >= 0)) {
        if (reason) *reason = std::strerror(failure);
        return false;
    }
    // A replaced file keeps its permissions.
    struct stat existing {};
    if (::stat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        ::fchmod(fd, existing.st_mode & 07777);
    errno = 0;
    bool ok = step(WriteAll(fd, text));
    ok = step(::fsync(fd) == 0) && ok;
    ok = step(::close(fd) == 0) && ok;
    ok = ok && step(::rename(temp.c_str(), path.c_str()) == 0);
    if (!ok) {
        ::unlink(temp.c_str());
        if (reason) *reason = std::strerror(failure);
    }
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
