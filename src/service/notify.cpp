#include "service/notify.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>

#include <cstdio>
#include <cstdlib>
#include <ostream>

namespace mk27x {

void StreamLog::Say(LogLevel level, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (journal_) out_ << '<' << static_cast<int>(level) << '>';
    out_ << text << '\n';
    out_.flush();
}

bool IsJournalStream(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    if (!stream) return false;
    unsigned long long device = 0, inode = 0;
    char rest = 0;
    if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) != 2) return false;
    struct stat st {};
    return ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

Notify::Notify(Clock& clock) : clock_(clock) {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) interval_ = std::chrono::microseconds(usec);
}

void Notify::Ready(const std::string& status) {
    sd_notify(0, ("READY=1\nSTATUS=" + status).c_str());
    last_ = clock_.Now();
    if (WatchdogEnabled()) sd_notify(0, "WATCHDOG=1");
}

void Notify::Status(const std::string& status) {
    sd_notify(0, ("STATUS=" + status).c_str());
}

void Notify::Stopping() {
    sd_notify(0, "STOPPING=1");
}

void Notify::Watchdog() {
    if (!WatchdogEnabled()) return;
    const auto now = clock_.Now();
    if (now - last_ < interval_ / 2) return;
    last_ = now;
    sd_notify(0, "WATCHDOG=1");
}

}  // namespace mk27x
