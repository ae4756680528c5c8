// RollingRecorder: the line's rows as the group's CSV (as `mk27x monitor --csv`
// writes it, see GroupCsvRows) in a folder of files that roll over.
//
// A file begins with the first row after the one before ended, is named by
// that row's UTC time and is a whole CSV of its own (its header, its index and
// seconds counted from its first row). It ends when a row reaches the next
// wall-clock boundary of the rotate period (on the hour for 1h), when it has
// reached the rotate size, at NewFile (SIGHUP) and at the end. After each file
// and once an hour, the files beyond keep are deleted, oldest first.
//
// Rows are formatted here and handed to the RecordWriter when 64 KiB gathered,
// at Flush (once a second) and when the file ends: the disk is the writer
// thread's. When a file cannot be written (a full disk), the recording pauses
// with one warning: rows are dropped and counted, and every 10 s the next row
// tries a new file; the first that opens resumes it, with one message.
//
// Threading: the run loop's thread (a GroupSink of the group's aligner).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "group/group_sinks.h"
#include "platform/clock.h"
#include "service/notify.h"
#include "service/record_writer.h"
#include "service/service_config.h"

namespace mk27x {

struct RecorderStatus {
    std::string folder;
    std::string current;  // the file being written, empty when none
    bool paused = false;
    std::string pause_reason;
    std::uint64_t rows = 0;     // handed to the writer
    std::uint64_t dropped = 0;  // rows lost while paused or behind
    std::uint64_t files = 0;    // files begun
};

class RollingRecorder final : public GroupSink {
public:
    using WallNow = std::function<std::int64_t()>;  // UNIX time in ns

    RollingRecorder(RecordWriter& writer, std::string folder, RotateRule rotate,
                    std::optional<KeepRule> keep, Clock& clock, WallNow wall_now, ServiceLog& log);

    void Begin(const std::vector<std::string>& columns) override;
    void Add(std::span<const GroupRow> rows) override;
    void Flush() override;
    void End() override;

    // The next row begins a new file.
    void NewFile() { new_file_ = true; }
    // Takes the writer's events: the pause, the resume, the files deleted.
    void Poll();
    const RecorderStatus& Status() const { return status_; }

private:
    void StartFile(const GroupRow& row);
    void EndFile();
    void Hand();
    void Prune();

    RecordWriter& writer_;
    const RotateRule rotate_;
    const std::optional<KeepRule> keep_;
    Clock& clock_;
    WallNow wall_now_;
    ServiceLog& log_;
    std::string header_;
    std::string pending_;
    std::optional<GroupCsvRows> file_rows_;
    std::uint64_t file_bytes_ = 0;
    std::int64_t boundary_ns_ = 0;
    bool new_file_ = false;
    bool behind_ = false;
    // Paused, a new file asked for: its rows go on until it opened or failed.
    bool trying_ = false;
    Clock::TimePoint retry_at_{};
    Clock::TimePoint prune_at_{};
    RecorderStatus status_;
};

}  // namespace mk27x
