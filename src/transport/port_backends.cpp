#include "transport/port_backends.h"

#include "transport/net_port.h"
#include "transport/serial_posix.h"
#include "transport/usb_ftdi.h"

namespace mk27x {

PortBackends RealPortBackends() {
    PortBackends backends;
    backends.open_serial = [](const std::string& port_name, std::uint32_t baud,
                              std::string& reason) -> std::shared_ptr<ByteTransport> {
        return PosixSerialPort::Open(port_name, baud, reason);
    };
    backends.open_usb = [](std::uint32_t baud) -> std::shared_ptr<ByteTransport> {
        return FtdiUsbPort::Open(LibFtdiApi(), baud);
    };
    backends.open_network = [](const std::string& address, std::uint32_t baud,
                               std::string& reason) -> std::shared_ptr<ByteTransport> {
        return NetSerialPort::Open(address, baud, reason);
    };
    return backends;
}

}  // namespace mk27x
