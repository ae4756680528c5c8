#include "virtual_line.h"

#include <utility>

#include "in_process_transport.h"
#include "pty_server.h"
#include "virtual_sensor.h"

namespace mk27x::sim {
namespace {

class PtyLine final : public VirtualLine {
public:
    PtyLine(std::shared_ptr<VirtualSensor> sensor, double stream_rate)
        : server_(std::move(sensor), PtyServerOptions{.stream_rate = stream_rate}) {}

    bool Start(std::string& port, PortBackends&, std::string& error) override {
        if (!server_.Start()) {
            error = server_.Error();
            return false;
        }
        port = server_.SlavePath();
        return true;
    }

private:
    PtySensorServer server_;
};

class InProcessLine final : public VirtualLine {
public:
    InProcessLine(std::shared_ptr<VirtualSensor> sensor, double stream_rate)
        : sensor_(std::move(sensor)), stream_rate_(stream_rate) {}

    bool Start(std::string& port, PortBackends& backends, std::string&) override {
        auto open = [sensor = sensor_, rate = stream_rate_](std::uint32_t baud) {
            return std::make_shared<InProcessTransport>(
                sensor, InProcessOptions{.baud = baud, .stream_rate = rate});
        };
        backends = {};
        backends.open_serial = [open](const std::string&, std::uint32_t baud, std::string&) {
            return open(baud);
        };
        backends.open_usb = open;
        port = "SIM";
        return true;
    }

private:
    std::shared_ptr<VirtualSensor> sensor_;
    double stream_rate_;
};

}  // namespace

std::shared_ptr<VirtualLine> MakeVirtualLine(std::shared_ptr<VirtualSensor> sensor,
                                             VirtualLineOptions options) {
    if (options.pty) return std::make_shared<PtyLine>(std::move(sensor), options.stream_rate);
    return std::make_shared<InProcessLine>(std::move(sensor), options.stream_rate);
}

}  // namespace mk27x::sim
