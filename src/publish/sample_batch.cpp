#include "publish/sample_batch.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "recording/csv_writer.h"

namespace mk27x {
namespace {

void AppendInteger(std::string& out, long long n) {
    char text[24];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, n);
    out.append(text, static_cast<std::size_t>(end - text));
}

// Microseconds as seconds with six decimals.
void AppendMicroseconds(std::string& out, std::int64_t us) {
    if (us < 0) {
        out += '-';
        us = -us;
    }
    AppendInteger(out, us / 1000000);
    char digits[8] = {'.', '0', '0', '0', '0', '0', '0', '\0'};
    auto rest = us % 1000000;
    for (int i = 6; i >= 1 && rest > 0; --i, rest /= 10)
        digits[i] = static_cast<char>('0' + rest % 10);
    out.append(digits, 7);
}

// Three decimals; "-0.000" reads "0.000"; JSON has no infinity nor NaN.
void AppendMillimetres(std::string& out, float mm) {
    char text[48];
    const auto [end, ec] = std::to_chars(text, text + sizeof text, static_cast<double>(mm),
                                         std::chars_format::fixed, 3);
    if (!std::isfinite(mm) || ec != std::errc()) {
        out += "null";
        return;
    }
    const char* begin = text;
    if (text[0] == '-' && std::all_of(text + 1, end, [](char c) { return c == '0' || c == '.'; }))
        ++begin;
    out.append(begin, static_cast<std::size_t>(end - begin));
}

}  // namespace

std::string BatchJson(const SampleBatch& batch, std::string_view unit_json) {
    std::string out;
    out.reserve(64 + batch.Size() * 20);
    out += "{\"t0\": \"";
    out += IsoWallTime(batch.t0_wall_ns);
    out += "\", \"unit\": ";
    out += unit_json;
    out += ", \"seconds\": [";
    for (std::size_t i = 0; i < batch.offset_us.size(); ++i) {
        if (i > 0) out += ", ";
        AppendMicroseconds(out, batch.offset_us[i]);
    }
    out += "], \"mm\": [";
    for (std::size_t i = 0; i < batch.mm.size(); ++i) {
        if (i > 0) out += ", ";
        AppendMillimetres(out, batch.mm[i]);
    }
    out += "], \"seq\": ";
    AppendInteger(out, static_cast<long long>(batch.seq));
    out += '}';
    return out;
}

void BatchStream::Add(std::span<const RecordedSample> samples) {
    std::lock_guard lock(mutex_);
    for (const RecordedSample& s : samples) {
        if (open_.mm.empty()) {
            open_.t0_wall_ns = s.time.wall_ns;
            open_.t0_monotonic_ns = s.time.monotonic_ns;
            opened_ = std::chrono::steady_clock::now();
            open_.mm.reserve(kMaxSamples);
            open_.offset_us.reserve(kMaxSamples);
        }
        const std::int64_t us = (s.time.monotonic_ns - open_.t0_monotonic_ns) / 1000;
        open_.offset_us.push_back(static_cast<std::int32_t>(
            std::clamp<std::int64_t>(us, std::numeric_limits<std::int32_t>::min(),
                                     std::numeric_limits<std::int32_t>::max())));
        open_.mm.push_back(s.mm);
        if (open_.mm.size() >= kMaxSamples) CloseLocked();
    }
}

void BatchStream::Close() {
    std::lock_guard lock(mutex_);
    CloseLocked();
}

void BatchStream::CloseLocked() {
    if (open_.mm.empty()) return;
    open_.seq = next_seq_++;
    closed_.push_back(std::move(open_));
    open_ = SampleBatch();
}

void BatchStream::Take(std::vector<SampleBatch>& out, std::chrono::steady_clock::time_point now,
                       bool all) {
    std::lock_guard lock(mutex_);
    if (!open_.mm.empty() && (all || now - opened_ >= kMaxAge)) CloseLocked();
    for (SampleBatch& b : closed_) out.push_back(std::move(b));
    closed_.clear();
}

}  // namespace mk27x
