#include "service/rolling_recorder.h"

#include <cstring>

namespace mk27x {
namespace {

constexpr std::size_t kHandAt = 64 * 1024;
constexpr auto kRetry = std::chrono::seconds(10);
constexpr auto kPruneEvery = std::chrono::hours(1);

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

}  // namespace

RollingRecorder::RollingRecorder(RecordWriter& writer, std::string folder, RotateRule rotate,
                                 std::optional<KeepRule> keep, Clock& clock, WallNow wall_now,
                                 ServiceLog& log)
    : writer_(writer),
      rotate_(rotate),
      keep_(keep),
      clock_(clock),
      wall_now_(std::move(wall_now)),
      log_(log) {
    status_.folder = std::move(folder);
}

void RollingRecorder::Begin(const std::vector<std::string>& columns) {
    header_ = GroupCsvHeader(columns) + "\r\n";
    Prune();
}

void RollingRecorder::Add(std::span<const GroupRow> rows) {
    for (const GroupRow& row : rows) {
        if (status_.paused && !trying_) {
            if (clock_.Now() < retry_at_) {
                ++status_.dropped;
                continue;
            }
            // The rows go on to the new file until the writer tells how it went.
            trying_ = true;
            file_rows_.reset();
        }
        const bool due = !file_rows_ || new_file_ ||
                         (rotate_.period.count() > 0 ? row.time.wall_ns >= boundary_ns_
                                                     : file_bytes_ >= rotate_.bytes);
        if (due) {
            if (file_rows_) EndFile();
            StartFile(row);
        }
        const std::size_t before = pending_.size();
        file_rows_->Append(pending_, row);
        file_bytes_ += pending_.size() - before;
        ++status_.rows;
    }
    if (pending_.size() >= kHandAt) Hand();
}

void RollingRecorder::StartFile(const GroupRow& row) {
    new_file_ = false;
    file_rows_.emplace();
    file_bytes_ = header_.size();
    if (rotate_.period.count() > 0) {
        const std::int64_t period = rotate_.period.count() * std::int64_t{1000000000};
        boundary_ns_ = (FloorDiv(row.time.wall_ns, period) + 1) * period;
    }
    writer_.Open(row.time.wall_ns, header_);
    ++status_.files;
}

void RollingRecorder::EndFile() {
    Hand();
    writer_.Close();
    file_rows_.reset();
    Prune();
}

void RollingRecorder::Hand() {
    if (pending_.empty()) return;
    const std::size_t rows =
        static_cast<std::size_t>(std::count(pending_.begin(), pending_.end(), '\n'));
    if (writer_.Write(std::move(pending_))) {
        behind_ = false;
    } else {
        status_.dropped += rows;
        if (!behind_)
            log_.Say(LogLevel::Warning,
                     "recording in " + status_.folder + " falls behind the disk: rows are dropped");
        behind_ = true;
    }
    pending_.clear();
}

void RollingRecorder::Flush() {
    Hand();
    if (keep_ && clock_.Now() >= prune_at_) Prune();
}

void RollingRecorder::End() {
    if (file_rows_) EndFile();
    Hand();
}

void RollingRecorder::Prune() {
    prune_at_ = clock_.Now() + kPruneEvery;
    if (keep_) writer_.Prune(*keep_, wall_now_());
}

void RollingRecorder::Poll() {
    for (const WriterEvent& e : writer_.TakeEvents()) {
        switch (e.kind) {
            case WriterEvent::Kind::Opened:
                status_.current = e.name;
                trying_ = false;
                if (status_.paused) {
                    status_.paused = false;
                    status_.pause_reason.clear();
                    log_.Say(LogLevel::Info,
                             "recording resumed in " + status_.folder + "/" + e.name);
                }
                break;
            case WriterEvent::Kind::Failed:
                status_.current.clear();
                retry_at_ = clock_.Now() + kRetry;
                trying_ = false;
                if (!status_.paused) {
                    status_.paused = true;
                    status_.pause_reason = std::strerror(e.error);
                    log_.Say(LogLevel::Warning, "recording paused: " + status_.folder + "/" +
                                                    e.name + ": " + status_.pause_reason +
                                                    " (tried again every 10 s)");
                }
                break;
            case WriterEvent::Kind::Closed:
                if (status_.current == e.name) status_.current.clear();
                break;
            case WriterEvent::Kind::Removed:
                if (e.error != 0)
                    log_.Say(LogLevel::Warning, "cannot delete " + status_.folder + "/" + e.name +
                                                    ": " + std::strerror(e.error));
                break;
        }
    }
}

}  // namespace mk27x
