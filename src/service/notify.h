// The service's words to systemd and to the journal.
//
// Notify: sd_notify through libsystemd: READY=1 once the configuration is read
// and the sensors opened, WATCHDOG=1 from the run loop (when the unit asks for
// a watchdog: WATCHDOG_USEC), STOPPING=1 at the end, STATUS=... for
// `systemctl status`. Without NOTIFY_SOCKET every call does nothing.
//
// ServiceLog: messages on standard error, one a line, each headed by its
// syslog priority ("<3>" error, "<4>" warning, "<6>" info) when standard error
// is the journal (JOURNAL_STREAM names its device and inode), plain otherwise.
//
// Threading: Notify from the run loop's thread; StreamLog from any thread (a
// line is written under a lock).
#pragma once

#include <chrono>
#include <iosfwd>
#include <mutex>
#include <string>

#include "platform/clock.h"

namespace mk27x {

enum class LogLevel { Error = 3, Warning = 4, Info = 6 };

class ServiceLog {
public:
    virtual ~ServiceLog() = default;
    virtual void Say(LogLevel level, const std::string& text) = 0;
};

class StreamLog final : public ServiceLog {
public:
    StreamLog(std::ostream& out, bool journal) : out_(out), journal_(journal) {}
    void Say(LogLevel level, const std::string& text) override;

private:
    std::ostream& out_;
    bool journal_;
    std::mutex mutex_;
};

// True when the environment's JOURNAL_STREAM ("DEVICE:INODE") is the file
// behind descriptor `fd`.
bool IsJournalStream(int fd);

class Notify {
public:
    // Reads WATCHDOG_USEC (for this process) once.
    explicit Notify(Clock& clock);

    void Ready(const std::string& status);
    void Status(const std::string& status);
    void Stopping();
    // WATCHDOG=1 when half the watchdog's interval has passed since the last.
    void Watchdog();
    bool WatchdogEnabled() const { return interval_.count() > 0; }

private:
    Clock& clock_;
    std::chrono::microseconds interval_{0};
    Clock::TimePoint last_{};
};

}  // namespace mk27x
