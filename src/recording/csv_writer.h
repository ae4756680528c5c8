// The recording as CSV (RFC 4180, UTF-8, CR LF line ends, a header row; numbers
// always with '.' as decimal point, whatever the locale):
//   index,time,seconds,mm
//   0,2024-05-01T12:00:00.000000Z,0.000000,25.000
// index counts from 0 in recording order (oldest first), time is the wall
// clock in ISO 8601 UTC with microseconds, seconds are monotonic seconds since
// the first sample, mm has three decimals. A value that is not a number is an
// empty cell, never "nan" or "inf".
//
// CsvWriter writes a file as the recording goes: the header when the file is
// created, the rows as they come, handed to its writer thread (see
// file_writer.h) at least once a second and at the end, so that a crash loses
// at most the last second and the stream reader never waits for the disk. It
// keeps no rows beyond its output buffer and the writer's bounded queue.
//
// Threading: a CsvWriter is used as a recording sink (see recording.h); it is
// made and closed by its owner's thread, the recording detached.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "recording/file_writer.h"
#include "recording/recording_sink.h"
#include "recording/sample_ring.h"

namespace mk27x {

inline constexpr const char* kCsvHeader = "index,time,seconds,mm";
// ISO 8601 UTC with microseconds: "2024-05-01T12:00:00.123456Z".
std::string IsoWallTime(std::int64_t wall_ns);
std::string CsvText(std::span<const RecordedSample> samples);
// Writes the CSV to `path` through a temporary file and a rename; false when
// that fails.
bool SaveCsvFile(std::span<const RecordedSample> samples, const std::string& path);

// Appends `value` with '.' and `decimals` decimals ("-0.000" reads "0.000");
// false, with nothing appended, when it is not a finite number (an empty cell)
// or does not fit 64 characters.
bool AppendFixed(std::string& out, double value, int decimals);

// The wall time of successive rows in ISO 8601 UTC with microseconds (as
// IsoWallTime), the second formatted once per second of rows.
class IsoTimeFormatter {
public:
    void Append(std::string& out, std::int64_t wall_ns);

private:
    // The formatted wall-clock second of the last row ("2024-05-01T12:00:00").
    std::int64_t cached_second_ = INT64_MIN;
    char cached_text_[24] = {};
};

// A CSV file written as rows come by a FileWriterThread: the header when it is
// created (an existing file is emptied; a named pipe is written into), then
// what the writer appends to Text(), handed to the writer thread when 64 KiB
// have gathered, at least once a second and at the end. Adding rows never
// waits for the disk; a failed write or an overflowing queue stops the file
// (Ok() turns false) and Close() says why.
class CsvFileBuffer {
public:
    // Creates `path` with `header` and waits for the outcome (for a named pipe,
    // until a reader opens it).
    CsvFileBuffer(const std::string& path, const std::string& header);
    ~CsvFileBuffer();
    CsvFileBuffer(const CsvFileBuffer&) = delete;
    CsvFileBuffer& operator=(const CsvFileBuffer&) = delete;

    // False once the file could not be created or a write failed.
    bool Ok() const { return !writer_.Failed(); }
    // The rows not yet handed over; a writer appends whole rows, then RowDone().
    std::string& Text() { return buffer_; }
    void RowDone();
    // Hands the buffered rows to the writer thread (it does not wait for them).
    void Flush();
    // Flush when a second has passed since the last.
    void FlushIfDue();
    // Hands over the rest, waits until every row is written, closes the file
    // (checked) and ends the writer thread; the file's status.
    FileStatus Close();
    // The writer's status now (see FileWriterThread::Status).
    FileStatus Status() const { return writer_.Status(); }

private:
    std::string buffer_;
    std::int64_t last_flush_ns_ = 0;
    FileWriterThread writer_;
};

class CsvWriter final : public RecordingSink {
public:
    // Creates `path` (an existing file is emptied) and writes the header.
    explicit CsvWriter(const std::string& path);

    // False once the file could not be created or a write failed: the
    // recording's front end ends it and reports Close().
    bool Ok() const { return file_.Ok(); }
    const std::string& Path() const { return path_; }

    void Add(std::span<const RecordedSample> samples) override;
    // Hands the rows to the writer thread; called on the stream reader's
    // thread, so it does not wait for them.
    void End() override { Flush(); }
    void Flush() override { file_.Flush(); }
    // The recording's end, once the writer is detached: every row written and
    // the file closed (see CsvFileBuffer::Close).
    FileStatus Close() { return file_.Close(); }
    FileStatus Status() const { return file_.Status(); }
    // Flush when a second has passed since the last.
    void FlushIfDue() { file_.FlushIfDue(); }
    std::uint64_t Rows() const { return index_; }

private:
    void AppendRow(const RecordedSample& s);

    std::string path_;
    CsvFileBuffer file_;
    std::uint64_t index_ = 0;
    std::int64_t origin_ns_ = 0;
    IsoTimeFormatter time_;
};

}  // namespace mk27x
