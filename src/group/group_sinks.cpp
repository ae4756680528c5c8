#include "group/group_sinks.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <ostream>

#include "link/csv_writer.h"
#include "session/texts.h"

namespace mk27x {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::size_t kWriteAtBytes = 1 << 16;

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// `value` with '.' and `decimals` decimals; "-0.000" reads "0.000".
void AppendFixed(std::string& out, double value, int decimals) {
    char text[64];
    const auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return;
    const char* begin = text;
    if (text[0] == '-' && std::all_of(text + 1, end, [](char c) { return c == '0' || c == '.'; }))
        ++begin;
    out.append(begin, static_cast<std::size_t>(end - begin));
}

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

GroupCsvWriter::GroupCsvWriter(const std::string& path, const std::vector<std::string>& columns) {
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) return;
    buffer_ = GroupCsvHeader(columns) + "\r\n";
    Flush();
}

GroupCsvWriter::~GroupCsvWriter() {
    if (!file_) return;
    Flush();
    std::fclose(file_);
}

void GroupCsvWriter::Add(std::span<const GroupRow> rows) {
    if (!Ok()) return;
    for (const GroupRow& row : rows) {
        if (rows_ == 0) origin_ns_ = row.time.monotonic_ns;
        char number[24];
        buffer_.append(number,
                       static_cast<std::size_t>(
                           std::to_chars(number, number + sizeof number, rows_).ptr - number));
        buffer_ += ',';
        // The wall clock's second is formatted once per second of rows.
        const std::int64_t wall = row.time.wall_ns;
        std::int64_t second = wall / kNsPerSecond;
        std::int64_t rest = wall % kNsPerSecond;
        if (rest < 0) {
            rest += kNsPerSecond;
            --second;
        }
        if (second != cached_second_) {
            cached_second_ = second;
            cached_text_ = IsoWallTime(second * kNsPerSecond).substr(0, 19);
        }
        buffer_ += cached_text_;
        char micro[8] = {'.', '0', '0', '0', '0', '0', '0', 'Z'};
        for (int i = 6, us = static_cast<int>(rest / 1000); i >= 1; --i, us /= 10)
            micro[i] = static_cast<char>('0' + us % 10);
        buffer_.append(micro, sizeof micro);
        buffer_ += ',';
        AppendSeconds(buffer_, row.time.monotonic_ns - origin_ns_);
        for (const double v : row.values) {
            buffer_ += ',';
            if (!IsEmptyValue(v)) AppendFixed(buffer_, v, 3);
        }
        buffer_ += "\r\n";
        ++rows_;
        if (buffer_.size() >= kWriteAtBytes) Write();
    }
    if (SteadyNs() - last_flush_ns_ >= kNsPerSecond) Flush();
}

void GroupCsvWriter::Write() {
    if (buffer_.empty() || !Ok()) return;
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) failed_ = true;
    buffer_.clear();
}

void GroupCsvWriter::Flush() {
    if (!file_) return;
    Write();
    if (std::fflush(file_) != 0) failed_ = true;
    last_flush_ns_ = SteadyNs();
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
