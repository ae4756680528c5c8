// The sinks of the group's rows the front ends use:
//
//  - GroupCsvWriter: the rows as CSV, written as they come (as the recording's
//    CsvWriter: RFC 4180, CR LF, '.' as decimal point, handed to the system at
//    least once a second):
//      index,time,seconds,A,B,thickness
//      0,2024-05-01T12:00:00.000000Z,0.000000,25.000,24.000,71.000
//    then one column per sensor and per channel in the order given; an empty
//    value is an empty cell. Its writer thread writes the file: the group's
//    run loop never waits for the disk (see CsvFileBuffer).
//  - GroupPrinter: a line per row, as text ("0.000500  A=25.000  B=-") or as a
//    JSON object ({"index": 0, "time": "...", "seconds": 0.0005, "A": 25.0,
//    "B": null}).
//  - GroupStatistics: the recording's statistics for every column, the gaps of
//    a column included (rows where it is empty are pauses of that column).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "group/group_row.h"
#include "recording/csv_writer.h"
#include "recording/recording_sink.h"
#include "recording/sample_statistics.h"

namespace mk27x {

// The header line of the group's CSV (without its line end).
std::string GroupCsvHeader(const std::vector<std::string>& columns);

// The rows of the group's CSV as text, for a writer that puts them where it
// wants (GroupCsvWriter a file; the line service a rolling recording): the
// index counts from 0 and the seconds from the first row appended.
class GroupCsvRows {
public:
    // Appends `row` with its CR LF.
    void Append(std::string& out, const GroupRow& row);
    std::uint64_t Rows() const { return rows_; }

private:
    std::uint64_t rows_ = 0;
    std::int64_t origin_ns_ = 0;
    IsoTimeFormatter time_;
};

class GroupCsvWriter final : public GroupSink {
public:
    // Creates `path` (an existing file is emptied) and writes the header.
    GroupCsvWriter(const std::string& path, const std::vector<std::string>& columns);

    // False once the file could not be created or a write failed: the front
    // end ends the recording and reports Close().
    bool Ok() const { return file_.Ok(); }
    std::uint64_t Rows() const { return rows_.Rows(); }

    void Add(std::span<const GroupRow> rows) override;
    void End() override { Flush(); }
    // Hands the rows to the writer thread (it does not wait for them).
    void Flush() override { file_.Flush(); }
    // Every row written and the file closed, once detached from the aligner.
    FileStatus Close() { return file_.Close(); }

private:
    CsvFileBuffer file_;
    GroupCsvRows rows_;
};

class GroupPrinter final : public GroupSink {
public:
    GroupPrinter(std::ostream& out, bool json) : out_(out), json_(json) {}
    void Begin(const std::vector<std::string>& columns) override;
    void Add(std::span<const GroupRow> rows) override;
    void End() override;
    void Flush() override;

private:
    std::ostream& out_;
    bool json_;
    std::vector<std::string> columns_;
    std::int64_t origin_ns_ = 0;
    std::string line_;
};

class GroupStatistics final : public GroupSink {
public:
    void Begin(const std::vector<std::string>& columns) override;
    void Period(double period_s) override;
    void Add(std::span<const GroupRow> rows) override;

    const std::vector<std::string>& Columns() const { return columns_; }
    // The statistics of column `column` so far.
    SampleStatistics Result(std::size_t column) const;
    // Every column's statistics: as text, a block per column headed "NAME:";
    // as JSON, one object with a member per column.
    std::string Text() const;
    std::string Json() const;

private:
    std::vector<std::string> columns_;
    std::vector<std::unique_ptr<StatisticsAccumulator>> columns_statistics_;
    std::vector<RecordedSample> scratch_;
};

// Columns of the rows handed on as recordings: column `first + k` to
// `sinks[k]` (a channel's publisher, say), each value a sample at the row's
// time; empty values are left out.
class GroupColumnsToSinks final : public GroupSink {
public:
    GroupColumnsToSinks(std::size_t first, std::vector<RecordingSink*> sinks)
        : first_(first), sinks_(std::move(sinks)) {}
    void Add(std::span<const GroupRow> rows) override;
    void End() override;
    void Flush() override;

private:
    std::size_t first_;
    std::vector<RecordingSink*> sinks_;
    std::vector<RecordedSample> scratch_;
};

// A value as a JSON number (three decimals, trailing zeros dropped to one), or
// null when empty.
std::string GroupJsonValue(double value);

}  // namespace mk27x
