#include "group/group_sinks.h"

#include <algorithm>
#include <charconv>
#include <ostream>

#include "recording/csv_writer.h"
#include "session/statistics_text.h"

namespace mk27x {
namespace {

void AppendSeconds(std::string& out, std::int64_t ns) {
    AppendFixed(out, static_cast<double>(ns) / 1e9, 6);
}

}  // namespace

std::string GroupJsonValue(double value) {
    if (IsEmptyValue(value)) return "null";
    std::string text;
    AppendFixed(text, value, 3);
    while (text.size() > 1 && text.back() == '0' && text[text.size() - 2] != '.') text.pop_back();
    return text;
}

std::string GroupCsvHeader(const std::vector<std::string>& columns) {
    std::string header = "index,time,seconds";
    for (const std::string& c : columns) header += "," + c;
    return header;
}

GroupCsvWriter::GroupCsvWriter(const std::string& path, const std::vector<std::string>& columns)
    : file_(path, GroupCsvHeader(columns)) {}

void GroupCsvRows::Append(std::string& out, const GroupRow& row) {
    if (rows_ == 0) origin_ns_ = row.time.monotonic_ns;
    char number[24];
    out.append(number, static_cast<std::size_t>(
                           std::to_chars(number, number + sizeof number, rows_).ptr - number));
    out += ',';
    time_.Append(out, row.time.wall_ns);
    out += ',';
    AppendSeconds(out, row.time.monotonic_ns - origin_ns_);
    for (const double v : row.values) {
        out += ',';
        if (!IsEmptyValue(v)) AppendFixed(out, v, 3);
    }
    out += "\r\n";
    ++rows_;
}

void GroupCsvWriter::Add(std::span<const GroupRow> rows) {
    if (!Ok()) return;
    for (const GroupRow& row : rows) {
        rows_.Append(file_.Text(), row);
        file_.RowDone();
    }
    file_.FlushIfDue();
}

void GroupPrinter::Begin(const std::vector<std::string>& columns) {
    columns_ = columns;
}

void GroupPrinter::Add(std::span<const GroupRow> rows) {
    for (const GroupRow& row : rows) {
        if (row.index == 0) origin_ns_ = row.time.monotonic_ns;
        line_.clear();
        if (json_) {
            line_ += "{\"index\": " + std::to_string(row.index) + ", \"time\": \"" +
                     IsoWallTime(row.time.wall_ns) + "\", \"seconds\": ";
            AppendSeconds(line_, row.time.monotonic_ns - origin_ns_);
            for (std::size_t c = 0; c < row.values.size() && c < columns_.size(); ++c)
                line_ += ", \"" + columns_[c] + "\": " + GroupJsonValue(row.values[c]);
            line_ += "}\n";
        } else {
            AppendSeconds(line_, row.time.monotonic_ns - origin_ns_);
            for (std::size_t c = 0; c < row.values.size() && c < columns_.size(); ++c) {
                line_ += "  " + columns_[c] + "=";
                if (IsEmptyValue(row.values[c]))
                    line_ += '-';
                else
                    AppendFixed(line_, row.values[c], 3);
            }
            line_ += '\n';
        }
        out_ << line_;
    }
}

void GroupPrinter::End() {
    out_.flush();
}

void GroupPrinter::Flush() {
    out_.flush();
}

void GroupStatistics::Begin(const std::vector<std::string>& columns) {
    columns_ = columns;
    columns_statistics_.clear();
    for (std::size_t i = 0; i < columns.size(); ++i)
        columns_statistics_.push_back(std::make_unique<StatisticsAccumulator>());
}

void GroupStatistics::Period(double period_s) {
    for (auto& s : columns_statistics_) s->Reset(period_s);
}

void GroupStatistics::Add(std::span<const GroupRow> rows) {
    for (std::size_t c = 0; c < columns_statistics_.size(); ++c) {
        scratch_.clear();
        for (const GroupRow& row : rows) {
            if (c < row.values.size() && !IsEmptyValue(row.values[c]))
                scratch_.push_back({static_cast<float>(row.values[c]), row.time});
        }
        if (!scratch_.empty()) columns_statistics_[c]->Add(scratch_);
    }
}

SampleStatistics GroupStatistics::Result(std::size_t column) const {
    return column < columns_statistics_.size() ? columns_statistics_[column]->Result()
                                               : SampleStatistics{};
}

std::string GroupStatistics::Text() const {
    std::string text;
    for (std::size_t c = 0; c < columns_.size(); ++c) {
        std::string block = StatisticsText(Result(c));
        std::replace(block.begin(), block.end(), '\r', '\n');
        text += columns_[c] + ":\n" + block + "\n";
    }
    return text;
}

std::string GroupStatistics::Json() const {
    std::string text = "{";
    for (std::size_t c = 0; c < columns_.size(); ++c)
        text += (c ? ", \"" : "\"") + columns_[c] + "\": " + StatisticsJson(Result(c));
    return text + "}";
}

void GroupColumnsToSinks::Add(std::span<const GroupRow> rows) {
    for (std::size_t k = 0; k < sinks_.size(); ++k) {
        scratch_.clear();
        for (const GroupRow& row : rows) {
            const double value = row.values[first_ + k];
            if (!IsEmptyValue(value)) scratch_.push_back({static_cast<float>(value), row.time});
        }
        if (!scratch_.empty()) sinks_[k]->Add(scratch_);
    }
}

void GroupColumnsToSinks::End() {
    for (RecordingSink* sink : sinks_) sink->End();
}

void GroupColumnsToSinks::Flush() {
    for (RecordingSink* sink : sinks_) sink->Flush();
}

}  // namespace mk27x
