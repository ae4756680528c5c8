#include "transport/sensor_port.h"

#include <utility>

namespace mk27x {

bool IsNetworkPortName(const std::string& port_name) {
    return port_name.rfind("tcp://", 0) == 0 || port_name.rfind("rfc2217://", 0) == 0;
}

PortKind PortKindOf(const std::string& port_name) {
    if (port_name == "USB") return PortKind::Usb;
    return IsNetworkPortName(port_name) ? PortKind::Network : PortKind::Serial;
}

SensorPort::SensorPort(PortBackends backends) : backends_(std::move(backends)) {}

SensorPort::~SensorPort() {
    CloseAny();
}

class SensorPort::ReadScope {
public:
    explicit ReadScope(std::atomic<int>& count) : count_(count) { count_.fetch_add(1); }
    ~ReadScope() {
        if (count_.fetch_sub(1) == 1) count_.notify_all();
    }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

private:
    std::atomic<int>& count_;
};

void SensorPort::CloseAny() {
    std::shared_ptr<ByteTransport> old = handle_.exchange(nullptr);
    if (!old) return;
    // A reader blocked in a read would keep the device open for up to its
    // time-out: wake it and wait until it has let go. Reads started from now
    // on find the port closed.
    old->CancelRead();
    for (int n = reads_in_flight_.load(); n != 0; n = reads_in_flight_.load())
        reads_in_flight_.wait(n);
    old->SetBreak();
}

PortOpenResult SensorPort::OpenComPort() {
    CloseAny();
    PortOpenResult result{false, PortKindOf(port_name_), port_name_, {}};
    std::shared_ptr<ByteTransport> opened;
    if (result.kind == PortKind::Network) {
        result.reason = "No network ports in this program";
        if (backends_.open_network)
            opened = backends_.open_network(port_name_, baud_rate_, result.reason);
    } else {
        result.kind = PortKind::Serial;
        if (backends_.open_serial)
            opened = backends_.open_serial(port_name_, baud_rate_, result.reason);
    }
    if (opened) {
        result.reason.clear();
        result.opened = true;
        handle_.store(std::move(opened));
    }
    last_open_ = result;
    return result;
}

PortOpenResult SensorPort::OpenUsbPort() {
    CloseAny();
    PortOpenResult result{false, PortKind::Usb, port_name_, {}};
    std::shared_ptr<ByteTransport> opened;
    if (backends_.open_usb) opened = backends_.open_usb(baud_rate_);
    if (opened) {
        result.opened = true;
        handle_.store(std::move(opened));
    }
    last_open_ = result;
    return result;
}

void SensorPort::Close() {
    CloseAny();
}

void SensorPort::ApplyBaudRate() {
    if (auto h = handle_.load()) h->SetBaudRate(baud_rate_);
}

void SensorPort::Purge() {
    if (auto h = handle_.load()) h->Purge();
}

void SensorPort::Write(const std::uint8_t* data, std::size_t count) {
    if (auto h = handle_.load()) h->Write(data, count);
}

std::size_t SensorPort::Read(std::uint8_t* buffer, std::size_t count) {
    const ReadScope scope(reads_in_flight_);
    if (auto h = handle_.load()) return h->Read(buffer, count);
    return 0;
}

std::size_t SensorPort::ReadAvailable(std::uint8_t* buffer, std::size_t capacity) {
    const ReadScope scope(reads_in_flight_);
    if (auto h = handle_.load()) return h->ReadAvailable(buffer, capacity);
    return 0;
}

void SensorPort::CancelRead() {
    if (auto h = handle_.load()) h->CancelRead();
}

void SensorPort::ResumeReads() {
    if (auto h = handle_.load()) h->ResumeReads();
}

void SensorPort::SetOperation(const char* name, int index) {
    if (auto h = handle_.load()) h->SetOperation(name, index);
}

}  // namespace mk27x
