#include "support/scripted_transport.h"

namespace mk27x::testing {

std::vector<std::uint8_t> ScriptedTransport::Written() const {
    std::vector<std::uint8_t> all;
    for (const auto& e : events)
        if (e.kind == WireEvent::Write) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    return all;
}

std::vector<std::vector<std::uint8_t>> ScriptedTransport::Requests() const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& e : events) {
        if (e.kind == WireEvent::Purge) out.emplace_back();
        if (e.kind == WireEvent::Write) {
            if (out.empty()) out.emplace_back();
            out.back().insert(out.back().end(), e.bytes.begin(), e.bytes.end());
        }
    }
    return out;
}

std::vector<long> ScriptedTransport::WriteGaps() const {
    std::vector<long> gaps;
    long last = -1;
    for (const auto& e : events) {
        if (e.kind != WireEvent::Write) continue;
        if (last >= 0) gaps.push_back(e.at_ms - last);
        last = e.at_ms;
    }
    return gaps;
}

std::vector<std::size_t> ScriptedTransport::ReadSizes() const {
    std::vector<std::size_t> sizes;
    for (const auto& e : events)
        if (e.kind == WireEvent::Read) sizes.push_back(e.asked);
    return sizes;
}

}  // namespace mk27x::testing
