#include "session/sensor_search.h"

#include <utility>

#include "protocol/protocol.h"
#include "recording/json_line.h"
#include "transport/sensor_port.h"
#include "transport/serial_posix.h"
#include "transport/usb_ftdi.h"

namespace mk27x {
namespace {

constexpr unsigned kBitsPerByte = 11;  // start, 8 data, parity, stop

}  // namespace

ReadTimeouts SearchTimeouts(std::uint32_t baud, unsigned slack_ms) {
    const std::uint64_t bits = std::uint64_t{kIdentityReplyLength} * kBitsPerByte * 1000;
    const auto wire_ms = baud == 0 ? 0u : static_cast<unsigned>((bits + baud - 1) / baud);
    return {slack_ms, 0, slack_ms + wire_ms};
}

std::size_t SearchPlan::Attempts() const {
    const int addresses = last_address >= first_address ? last_address - first_address + 1 : 0;
    return ports.size() * rates.size() * static_cast<std::size_t>(addresses);
}

std::vector<std::string> DefaultSearchPorts() {
    return {"COM1", "COM2", "COM3", "COM4", "USB"};
}

SearchPlan QuickSearchPlan(std::vector<std::string> ports) {
    SearchPlan plan;
    plan.ports = std::move(ports);
    return plan;
}

SearchPlan FullSearchPlan(std::vector<std::string> ports) {
    SearchPlan plan;
    plan.ports = std::move(ports);
    plan.last_address = kLastAddress;
    return plan;
}

std::string FoundSensorText(const FoundSensor& s) {
    const SensorIdentity& id = s.identity;
    return s.port + " " + std::to_string(s.baud) + " baud, address " + std::to_string(s.address) +
           ": model " + std::to_string(id.Model) + ", release " + std::to_string(id.Release) +
           ", serial number " + std::to_string(id.SerialNumber) + ", base " +
           std::to_string(id.BaseDistance) + " mm, range " + std::to_string(id.MeasuringRange) +
           " mm";
}

std::string FoundSensorJson(const FoundSensor& s) {
    Json found = {{"port", s.port}, {"baud", s.baud}, {"address", s.address}};
    const Json identity = IdentityJson(s.identity);
    for (const auto& [name, value] : identity.items()) found[name] = value;
    return JsonLine(found);
}

SearchOpener RealSearchOpener() {
    return [](const std::string& port, std::uint32_t baud, ReadTimeouts timeouts,
              std::string& reason) -> std::shared_ptr<ByteTransport> {
        if (port == "USB")
            return FtdiUsbPort::Open(LibFtdiApi(), baud, SystemClock::Instance(), timeouts);
        return PosixSerialPort::Open(port, baud, reason, timeouts);
    };
}

SensorSearch::SensorSearch(Clock& clock, SearchOpener opener)
    : clock_(clock), opener_(std::move(opener)) {}

SearchResult SensorSearch::Run(const SearchPlan& plan) {
    cancel_.store(false);
    SearchResult result;
    const std::size_t total = plan.Attempts();
    const std::size_t per_rate =
        plan.last_address >= plan.first_address
            ? static_cast<std::size_t>(plan.last_address - plan.first_address + 1)
            : 0;
    std::size_t done = 0;
    auto progress = [&] {
        if (events.progress) events.progress(done, total);
    };

    for (const std::string& name : plan.ports) {
        const unsigned slack = name == "USB" ? plan.usb_slack_ms : plan.serial_slack_ms;
        for (std::size_t r = 0; r < plan.rates.size(); ++r) {
            if (cancel_.load()) {
                result.cancelled = true;
                return result;
            }
            const std::uint32_t baud = plan.rates[r];
            const ReadTimeouts timeouts = SearchTimeouts(baud, slack);
            PortBackends backends;
            backends.open_serial = [this, timeouts](const std::string& port, std::uint32_t b,
                                                    std::string& reason) {
                return opener_(port, b, timeouts, reason);
            };
            backends.open_usb = [this, timeouts](std::uint32_t b) {
                std::string reason;
                return opener_("USB", b, timeouts, reason);
            };
            SensorPort port(std::move(backends));
            port.SetPortName(name);
            port.SetPortBaudRate(baud);
            if (const PortOpenResult opened = port.Open(); !opened) {
                FailedPort failed{name, opened.reason};
                if (events.port_failed) events.port_failed(failed);
                result.failed.push_back(std::move(failed));
                done += per_rate * (plan.rates.size() - r);
                progress();
                break;
            }
            SensorProtocol protocol(port, clock_);
            for (int a = plan.first_address; a <= plan.last_address; ++a) {
                if (cancel_.load()) {
                    result.cancelled = true;
                    return result;  // the port closes on the way out
                }
                protocol.SetNetAddress(static_cast<std::uint8_t>(a));
                if (protocol.IdentifySensor()) {
                    FoundSensor sensor{name, baud, static_cast<std::uint8_t>(a), protocol.Identity};
                    if (events.found) events.found(sensor);
                    result.found.push_back(std::move(sensor));
                }
                ++done;
                progress();
            }
        }
    }
    return result;
}

}  // namespace mk27x
