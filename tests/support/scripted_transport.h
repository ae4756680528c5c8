// A byte transport for protocol tests: records every call with the virtual
// clock's time and answers reads from a script of reply chunks.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/message_box.h"
#include "support/recording_message_box.h"
#include "support/virtual_clock.h"
#include "transport/sensor_port.h"
#include "transport/transport.h"

namespace mk27x::testing {

struct WireEvent {
    enum Kind { Purge, Write, Read, Baud, Break } kind = Purge;
    std::vector<std::uint8_t> bytes;  // Write: the bytes; Read: what was returned
    std::size_t asked = 0;            // Read: the count asked for
    std::uint32_t baud = 0;           // Baud
    long at_ms = 0;                   // virtual time of the call
};

class ScriptedTransport final : public ByteTransport {
public:
    explicit ScriptedTransport(Clock& clock) : clock_(clock) {}

    // Each read takes the next chunk (at most the count asked for); an empty
    // script answers nothing.
    std::deque<std::vector<std::uint8_t>> replies;
    std::vector<WireEvent> events;

    void Purge() override { Record(Event(WireEvent::Purge)); }
    void Write(const std::uint8_t* data, std::size_t count) override {
        WireEvent e = Event(WireEvent::Write);
        e.bytes.assign(data, data + count);
        Record(std::move(e));
    }
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override {
        WireEvent e = Event(WireEvent::Read);
        e.asked = count;
        if (!replies.empty()) {
            std::vector<std::uint8_t> chunk = std::move(replies.front());
            replies.pop_front();
            if (chunk.size() > count) chunk.resize(count);
            std::copy(chunk.begin(), chunk.end(), buffer);
            e.bytes = std::move(chunk);
        }
        const std::size_t got = e.bytes.size();
        Record(std::move(e));
        return got;
    }
    void SetBaudRate(std::uint32_t baud) override {
        WireEvent e = Event(WireEvent::Baud);
        e.baud = baud;
        Record(std::move(e));
    }
    void SetBreak() override { Record(Event(WireEvent::Break)); }

    // All bytes written, in order.
    std::vector<std::uint8_t> Written() const;
    // Written bytes grouped into requests (a purge starts a new one).
    std::vector<std::vector<std::uint8_t>> Requests() const;
    // Milliseconds between consecutive writes of the whole log.
    std::vector<long> WriteGaps() const;
    // The counts asked by each read.
    std::vector<std::size_t> ReadSizes() const;

private:
    static WireEvent Event(WireEvent::Kind kind) {
        WireEvent e;
        e.kind = kind;
        return e;
    }
    void Record(WireEvent e) {
        e.at_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock_.Now().time_since_epoch())
                .count();
        events.push_back(std::move(e));
    }
    Clock& clock_;
};

// A SensorPort whose serial and USB opens both hand out the same scripted
// transport.
struct ScriptedPort {
    VirtualClock clock;
    std::shared_ptr<ScriptedTransport> wire = std::make_shared<ScriptedTransport>(clock);
    SensorPort port{
        PortBackends{[this](const std::string&, std::uint32_t, std::string&) { return wire; },
                     [this](std::uint32_t) { return wire; }}};
};

}  // namespace mk27x::testing
