// The rolling recording over a folder in memory: where files begin and end,
// what keep deletes, and a disk that fills up and frees again.
#include "service/rolling_recorder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <mutex>

#include "support/virtual_clock.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kS = 1000000000;
// 2026-12-11T10:59:59Z
constexpr std::int64_t k1059 = 1796986799 * kS;

class MemoryFolder final : public RecordFolder {
public:
    int Create(const std::string& name) override {
        std::lock_guard lock(mutex_);
        if (files_.count(name)) return EEXIST;
        files_[name] = {name, 0, k1059};
        text_[name].clear();
        current_ = name;
        return 0;
    }
    int Append(std::string_view bytes) override {
        std::lock_guard lock(mutex_);
        if (full_) return ENOSPC;
        text_[current_] += bytes;
        files_[current_].bytes = text_[current_].size();
        return 0;
    }
    int Close() override { return 0; }
    int Remove(const std::string& name) override {
        std::lock_guard lock(mutex_);
        files_.erase(name);
        text_.erase(name);
        return 0;
    }
    std::vector<RecordFileInfo> List() override {
        std::lock_guard lock(mutex_);
        std::vector<RecordFileInfo> out;
        for (const auto& [name, info] : files_) out.push_back(info);
        return out;
    }
    void Put(const std::string& name, std::uint64_t bytes, std::int64_t modified_ns) {
        std::lock_guard lock(mutex_);
        files_[name] = {name, bytes, modified_ns};
    }
    void SetFull(bool full) {
        std::lock_guard lock(mutex_);
        full_ = full;
    }
    std::map<std::string, std::string> Texts() {
        std::lock_guard lock(mutex_);
        std::map<std::string, std::string> out;
        for (const auto& [name, info] : files_) out[name] = text_[name];
        return out;
    }

private:
    std::mutex mutex_;
    std::map<std::string, RecordFileInfo> files_;
    std::map<std::string, std::string> text_;
    std::string current_;
    bool full_ = false;
};

class RecordedLog final : public ServiceLog {
public:
    void Say(LogLevel level, const std::string& text) override {
        lines.push_back(std::to_string(static_cast<int>(level)) + " " + text);
    }
    std::vector<std::string> lines;
};

struct Rig {
    explicit Rig(RotateRule rotate, std::optional<KeepRule> keep = {})
        : recorder(
              writer, "line", rotate, keep, clock, [this] { return wall_now; }, log) {
        recorder.Begin({"A", "t"});
    }
    // One row at `wall_ns`.
    void Row(std::int64_t wall_ns, double a = 25.0) {
        const double values[] = {a, 120 - a};
        const GroupRow row{index++, {wall_ns - k1059, wall_ns}, values};
        recorder.Add({&row, 1});
    }
    void Settle() {
        recorder.Flush();
        writer.Drain();
        recorder.Poll();
    }
    MemoryFolder folder;
    RecordWriter writer{folder};
    VirtualClock clock;
    RecordedLog log;
    std::int64_t wall_now = k1059;
    RollingRecorder recorder;
    std::uint64_t index = 0;
};

TEST(RollingRecorder, FilesRollAtTheWallClockBoundaryAtTheSizeAndOnRequest) {
    Rig hourly(RotateRule{1h, 0});
    hourly.Row(k1059 + kS / 2);
    hourly.Row(k1059 + kS - 1);  // 10:59:59.999999999: still the first hour
    hourly.Row(k1059 + kS);      // 11:00:00 on the dot: a new file
    hourly.Row(k1059 + kS + kS / 4);
    hourly.recorder.NewFile();  // SIGHUP: the next row, in the same second
    hourly.Row(k1059 + kS + kS / 2);
    hourly.recorder.End();
    hourly.writer.Drain();
    const auto files = hourly.folder.Texts();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files.at("2026-12-11T10-59-59Z.csv"),
              "index,time,seconds,A,t\r\n"
              "0,2026-12-11T10:59:59.500000Z,0.000000,25.000,95.000\r\n"
              "1,2026-12-11T10:59:59.999999Z,0.500000,25.000,95.000\r\n");
    EXPECT_EQ(files.at("2026-12-11T11-00-00Z.csv"),
              "index,time,seconds,A,t\r\n"
              "0,2026-12-11T11:00:00.000000Z,0.000000,25.000,95.000\r\n"
              "1,2026-12-11T11:00:00.250000Z,0.250000,25.000,95.000\r\n");
    EXPECT_EQ(files.at("2026-12-11T11-00-00Z-1.csv"),
              "index,time,seconds,A,t\r\n"
              "0,2026-12-11T11:00:00.500000Z,0.000000,25.000,95.000\r\n");

    // 1kB: a file ends with the first row that takes it to the size or past.
    Rig sized(RotateRule{0s, 1000});
    for (int i = 0; i < 40; ++i) sized.Row(k1059 + i * kS);
    sized.recorder.End();
    sized.writer.Drain();
    std::size_t rows = 0;
    const auto texts = sized.folder.Texts();
    for (const auto& [name, text] : texts) {
        if (name != texts.rbegin()->first) {
            EXPECT_GE(text.size(), 1000u) << name;
        }
        EXPECT_LT(text.size(), 1000u + 60) << name;
        EXPECT_EQ(text.rfind("index,time,seconds,A,t\r\n", 0), 0u) << name;
        rows += static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) - 1;
    }
    EXPECT_EQ(rows, 40u);
    EXPECT_EQ(sized.folder.Texts().size(), 3u);
}

TEST(RollingRecorder, KeepDeletesOnlyRecordingFilesOldestFirstByAgeOrTotalSize) {
    Rig by_age(RotateRule{1h, 0}, KeepRule{24h, 0});
    by_age.folder.Put("2026-12-09T10-00-00Z.csv", 10, k1059 - 25 * 3600 * kS);
    by_age.folder.Put("2026-12-10T11-00-00Z.csv", 10, k1059 - 24 * 3600 * kS + kS);
    by_age.folder.Put("notes.txt", 10, 0);
    by_age.folder.Put("2026-12-09T10-00-00Z.csv.bak", 10, 0);
    by_age.Row(k1059);
    by_age.recorder.End();
    by_age.writer.Drain();
    std::vector<std::string> left;
    for (const auto& [name, text] : by_age.folder.Texts()) left.push_back(name);
    EXPECT_EQ(left,
              (std::vector<std::string>{"2026-12-09T10-00-00Z.csv.bak", "2026-12-10T11-00-00Z.csv",
                                        "2026-12-11T10-59-59Z.csv", "notes.txt"}));

    // By size: the current file counts but stays; "-1" sorts after its second.
    const std::vector<RecordFileInfo> files = {{"2026-12-10T10-00-00Z-1.csv", 400, 0},
                                               {"2026-12-10T10-00-00Z.csv", 400, 0},
                                               {"2026-12-10T09-00-00Z.csv", 400, 0},
                                               {"2026-12-10T11-00-00Z.csv", 400, 0},
                                               {"keep.csv", 5000, 0}};
    EXPECT_EQ(FilesBeyondKeep(files, KeepRule{0s, 1000}, 0, "2026-12-10T09-00-00Z.csv"),
              (std::vector<std::string>{"2026-12-10T10-00-00Z.csv", "2026-12-10T10-00-00Z-1.csv"}));
    for (const char* name : {"2026-13-10T10-00-00Z.csv", "2026-12-10T10-00-00Z-0.csv",
                             "2026-12-10T10-00-00Z-x.csv", "2026-12-10t10-00-00Z.csv"})
        EXPECT_FALSE(ParseRecordFileName(name)) << name;
}

TEST(RollingRecorder, AFullDiskPausesOnceDropsRowsAndResumesInANewFile) {
    Rig rig(RotateRule{1h, 0});
    rig.Row(k1059);
    rig.Settle();
    rig.folder.SetFull(true);
    rig.Row(k1059 + kS / 10);
    rig.Settle();
    EXPECT_TRUE(rig.recorder.Status().paused);
    for (int i = 2; i < 12; ++i) rig.Row(k1059 + i * kS / 10);
    rig.Settle();
    rig.clock.Advance(10s);
    rig.Row(k1059 + 3 * kS);  // tried again: still full
    rig.Settle();
    rig.folder.SetFull(false);
    rig.Row(k1059 + 4 * kS);  // not yet time to try
    rig.clock.Advance(10s);
    rig.Row(k1059 + 5 * kS);
    rig.Row(k1059 + 6 * kS);
    rig.Settle();
    EXPECT_FALSE(rig.recorder.Status().paused);
    EXPECT_EQ(rig.recorder.Status().dropped, 11u);
    EXPECT_EQ(rig.log.lines,
              (std::vector<std::string>{
                  "4 recording paused: line/2026-12-11T10-59-59Z.csv: No space left on device "
                  "(tried again every 10 s)",
                  "6 recording resumed in line/2026-12-11T11-00-04Z.csv"}));
    rig.folder.SetFull(true);  // full again: paused again, with its warning
    rig.Row(k1059 + 7 * kS);
    rig.Settle();
    rig.Row(k1059 + 8 * kS);
    EXPECT_EQ(rig.recorder.Status().dropped, 12u);
    EXPECT_EQ(rig.log.lines.size(), 3u);
    rig.recorder.End();
    rig.writer.Drain();
    const auto files = rig.folder.Texts();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files.at("2026-12-11T11-00-04Z.csv").substr(24, 2), "0,");
    EXPECT_EQ(std::count(files.at("2026-12-11T11-00-04Z.csv").begin(),
                         files.at("2026-12-11T11-00-04Z.csv").end(), '\n'),
              3);
}

}  // namespace
}  // namespace mk27x
