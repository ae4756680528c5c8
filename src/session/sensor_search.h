// Sensor search: which sensors answer on which ports, at which rate and address.
//
// The search tries Identify (and nothing else) for every port × rate × address
// of its plan, with time-outs of its own: a reply is due within a few
// milliseconds plus its wire time, so that a silent attempt costs tens of
// milliseconds rather than the link's second and more. A port is opened once
// per rate with those time-outs and closed again before the next rate; after
// the search no port is left open and no sensor has been changed.
//
//   quick search: address 1 at every rate on every port listed
//   full search:  addresses 1..127 at every rate on the chosen ports
//
// A port that cannot be opened is reported and skipped.
//
// Threading: Run() works on the calling thread and reports through `events`
// there. Cancel() may be called from any thread (or from an event); the
// search then ends after the attempt in progress and closes its port.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "protocol/codec.h"
#include "transport/transport.h"

namespace mk27x {

// The rates in the order tried: the factory rate first.
inline constexpr std::array<std::uint32_t, 5> kSearchRates{115200, 9600, 230400, 460800, 921600};
// The time a reply may take beyond its wire time.
inline constexpr unsigned kSearchSlackMs = 10;
inline constexpr unsigned kSearchUsbSlackMs = 40;  // the adapter's latency timer
inline constexpr int kLastAddress = 127;

// The search's read time-outs at `baud`: the 16-byte identity reply at 11 bits
// a byte (8E1), rounded up to whole milliseconds, plus `slack_ms`; the same
// `slack_ms` between two bytes.
ReadTimeouts SearchTimeouts(std::uint32_t baud, unsigned slack_ms = kSearchSlackMs);

struct SearchPlan {
    std::vector<std::string> ports;
    std::vector<std::uint32_t> rates{kSearchRates.begin(), kSearchRates.end()};
    int first_address = 1;
    int last_address = 1;
    // Beyond the wire time; serial ports and "USB" have their own default.
    unsigned serial_slack_ms = kSearchSlackMs;
    unsigned usb_slack_ms = kSearchUsbSlackMs;

    std::size_t Attempts() const;
};

// The ports searched when none is named: COM1..COM4 and USB.
std::vector<std::string> DefaultSearchPorts();

SearchPlan QuickSearchPlan(std::vector<std::string> ports);
SearchPlan FullSearchPlan(std::vector<std::string> ports);

struct FoundSensor {
    std::string port;
    std::uint32_t baud = 0;
    std::uint8_t address = 0;
    SensorIdentity identity;

    bool operator==(const FoundSensor&) const = default;
};

// A port that could not be opened, with the system's reason (empty when it
// gave none).
struct FailedPort {
    std::string port;
    std::string reason;

    bool operator==(const FailedPort&) const = default;
};

struct SearchResult {
    std::vector<FoundSensor> found;
    std::vector<FailedPort> failed;
    bool cancelled = false;
};

// One line for a sensor found: "COM2 115200 baud, address 1: model 27, release 2,
// serial number 1234, base 100 mm, range 50 mm".
std::string FoundSensorText(const FoundSensor& sensor);
// The same as one JSON object.
std::string FoundSensorJson(const FoundSensor& sensor);

// Opens `port` ("USB" or a serial port name) at `baud` with the given read
// time-outs; null when it cannot be opened, with `reason` saying why when the
// opener knows.
using SearchOpener = std::function<std::shared_ptr<ByteTransport>(
    const std::string& port, std::uint32_t baud, ReadTimeouts timeouts, std::string& reason)>;

// Serial ports through termios, "USB" through libftdi1.
SearchOpener RealSearchOpener();

class SensorSearch {
public:
    struct Events {
        // After every attempt (and for the attempts of a skipped port).
        std::function<void(std::size_t done, std::size_t total)> progress;
        std::function<void(const FoundSensor&)> found;
        std::function<void(const FailedPort&)> port_failed;
    };

    SensorSearch(Clock& clock, SearchOpener opener);

    Events events;

    SearchResult Run(const SearchPlan& plan);
    void Cancel() { cancel_.store(true); }

private:
    Clock& clock_;
    SearchOpener opener_;
    std::atomic<bool> cancel_{false};
};

}  // namespace mk27x
