#include "recording/csv_writer.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "recording/sample_file.h"

namespace mk27x {
namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::size_t kWriteAtBytes = 1 << 16;

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Seconds and the nanoseconds within them, rounded down.
void SplitNs(std::int64_t ns, std::int64_t& seconds, std::int64_t& rest) {
    seconds = ns / kNsPerSecond;
    rest = ns % kNsPerSecond;
    if (rest < 0) {
        rest += kNsPerSecond;
        --seconds;
    }
}

// "2024-05-01T12:00:00" into `text` (20 bytes with the terminator).
void FormatSecond(std::int64_t seconds, char* text) {
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    if (std::strftime(text, 24, "%Y-%m-%dT%H:%M:%S", &tm) == 0) text[0] = '\0';
}

}  // namespace

std::string IsoWallTime(std::int64_t wall_ns) {
    std::int64_t seconds = 0;
    std::int64_t rest = 0;
    SplitNs(wall_ns, seconds, rest);
    char text[40];
    FormatSecond(seconds, text);
    char micro[16];
    std::snprintf(micro, sizeof micro, ".%06dZ", static_cast<int>(rest / 1000));
    return std::string(text) + micro;
}

std::string CsvText(std::span<const RecordedSample> samples) {
    std::string text = kCsvHeader;
    text += "\r\n";
    text.reserve(samples.size() * 52 + text.size());
    const std::int64_t start = samples.empty() ? 0 : samples.front().time.monotonic_ns;
    for (std::size_t k = 0; k < samples.size(); ++k) {
        const RecordedSample& s = samples[k];
        text += std::to_string(k);
        text += ',';
        text += IsoWallTime(s.time.wall_ns);
        text += ',';
        AppendFixed(text, static_cast<double>(s.time.monotonic_ns - start) / 1e9, 6);
        text += ',';
        AppendFixed(text, static_cast<double>(s.mm), 3);
        text += "\r\n";
    }
    return text;
}

bool SaveCsvFile(std::span<const RecordedSample> samples, const std::string& path) {
    return ReplaceFileContents(path, CsvText(samples));
}

bool AppendFixed(std::string& out, double value, int decimals) {
    if (!std::isfinite(value)) return false;
    char text[64];
    auto [end, ec] =
        std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, decimals);
    if (ec != std::errc()) return false;
    const char* begin = text;
    if (text[0] == '-') {
        bool zero = true;
        for (const char* p = text + 1; p != end; ++p) zero = zero && (*p == '0' || *p == '.');
        if (zero) ++begin;
    }
    out.append(begin, static_cast<std::size_t>(end - begin));
    return true;
}

void IsoTimeFormatter::Append(std::string& out, std::int64_t wall_ns) {
    std::int64_t second = 0;
    std::int64_t rest = 0;
    SplitNs(wall_ns, second, rest);
    if (second != cached_second_) {
        cached_second_ = second;
        FormatSecond(second, cached_text_);
    }
    out += cached_text_;
    char micro[8] = {'.', '0', '0', '0', '0', '0', '0', 'Z'};
    for (int i = 6, us = static_cast<int>(rest / 1000); i >= 1; --i, us /= 10)
        micro[i] = static_cast<char>('0' + us % 10);
    out.append(micro, sizeof micro);
}

CsvFileBuffer::CsvFileBuffer(const std::string& path, const std::string& header) {
    writer_.Open(path);
    writer_.Write(header + "\r\n");
    writer_.Drain();
    buffer_.reserve(kWriteAtBytes + 256);
    last_flush_ns_ = SteadyNs();
}

CsvFileBuffer::~CsvFileBuffer() {
    Close();
}

void CsvFileBuffer::RowDone() {
    if (buffer_.size() >= kWriteAtBytes) Flush();
}

void CsvFileBuffer::Flush() {
    last_flush_ns_ = SteadyNs();
    if (buffer_.empty()) return;
    std::string block;
    block.reserve(kWriteAtBytes + 256);
    block.swap(buffer_);
    writer_.Write(std::move(block));
}

void CsvFileBuffer::FlushIfDue() {
    if (SteadyNs() - last_flush_ns_ >= kNsPerSecond) Flush();
}

FileStatus CsvFileBuffer::Close() {
    Flush();
    return writer_.Close();
}

CsvWriter::CsvWriter(const std::string& path) : path_(path), file_(path, kCsvHeader) {}

void CsvWriter::AppendRow(const RecordedSample& s) {
    if (index_ == 0) origin_ns_ = s.time.monotonic_ns;
    std::string& out = file_.Text();
    char number[24];
    auto end = std::to_chars(number, number + sizeof number, index_).ptr;
    out.append(number, end);
    out += ',';
    time_.Append(out, s.time.wall_ns);
    out += ',';
    AppendFixed(out, static_cast<double>(s.time.monotonic_ns - origin_ns_) / 1e9, 6);
    out += ',';
    AppendFixed(out, static_cast<double>(s.mm), 3);
    out += "\r\n";
    ++index_;
}

void CsvWriter::Add(std::span<const RecordedSample> samples) {
    if (!Ok()) return;
    for (const RecordedSample& s : samples) {
        AppendRow(s);
        file_.RowDone();
    }
    FlushIfDue();
}

}  // namespace mk27x
