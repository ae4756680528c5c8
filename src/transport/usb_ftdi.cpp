#include "transport/usb_ftdi.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "transport/read_window.h"

namespace mk27x {
namespace {

// The description of one listed device, or an empty text when it cannot be had.
std::string DeviceDescription(const FtdiApi& api, ftdi_context* context, libusb_device* device) {
    char description[kFtdiDescriptionLength] = "";
    if (api.usb_get_strings(context, device, nullptr, 0, description, kFtdiDescriptionLength,
                            nullptr, 0) < 0) {
        return {};
    }
    description[kFtdiDescriptionLength - 1] = '\0';
    return description;
}

// Lists device index 0's description, then opens the first device with that
// description. False when there is no device or the open fails (for one,
// because another program holds the device).
bool OpenFirstDevice(const FtdiApi& api, ftdi_context* context) {
    ftdi_device_list* devices = nullptr;
    // Vendor and product 0: every FTDI vendor/product pair the library knows.
    // The listing status is not consulted: with no device the open below fails.
    api.usb_find_all(context, &devices, 0, 0);
    bool opened = false;
    if (devices != nullptr) {
        const std::string wanted = DeviceDescription(api, context, devices->dev);
        for (ftdi_device_list* node = devices; node != nullptr; node = node->next) {
            const bool match =
                node == devices || DeviceDescription(api, context, node->dev) == wanted;
            if (!match) continue;
            opened = api.usb_open_dev(context, node->dev) == 0;
            break;
        }
        api.list_free(&devices);
    }
    return opened;
}

}  // namespace

FtdiApi LibFtdiApi() {
    FtdiApi api;
    api.new_context = &ftdi_new;
    api.free_context = &ftdi_free;
    api.usb_find_all = &ftdi_usb_find_all;
    api.list_free = &ftdi_list_free;
    api.usb_get_strings = &ftdi_usb_get_strings;
    api.usb_open_dev = &ftdi_usb_open_dev;
    api.usb_close = &ftdi_usb_close;
    api.read_data_set_chunksize = &ftdi_read_data_set_chunksize;
    api.write_data_set_chunksize = &ftdi_write_data_set_chunksize;
    api.tciflush = &ftdi_tciflush;
    api.set_latency_timer = &ftdi_set_latency_timer;
    api.set_baudrate = &ftdi_set_baudrate;
    api.set_line_property2 = &ftdi_set_line_property2;
    api.setflowctrl = &ftdi_setflowctrl;
    api.read_data = &ftdi_read_data;
    api.write_data = &ftdi_write_data;
    return api;
}

std::shared_ptr<FtdiUsbPort> FtdiUsbPort::Open(FtdiApi api, std::uint32_t baud, Clock& clock,
                                               ReadTimeouts timeouts) {
    ftdi_context* context = api.new_context();
    if (context == nullptr) return nullptr;
    // While the program holds the device the kernel's ftdi_sio driver is
    // detached from it; give it back when the device is closed.
    context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
    if (!OpenFirstDevice(api, context)) {
        api.free_context(context);
        return nullptr;
    }

    // From here on nothing can make the open fail; every result is ignored.
    api.read_data_set_chunksize(
        context, std::max(kFtdiTransferSize, static_cast<unsigned>(context->max_packet_size)));
    api.write_data_set_chunksize(context, kFtdiTransferSize);
    api.tciflush(context);
    api.set_latency_timer(context, kFtdiLatencyMs);
    api.set_baudrate(context, static_cast<int>(baud));
    api.set_line_property2(context, BITS_8, STOP_BIT_1, EVEN, BREAK_OFF);
    api.setflowctrl(context, SIO_DISABLE_FLOW_CTRL);
    return std::shared_ptr<FtdiUsbPort>(new FtdiUsbPort(std::move(api), context, clock, timeouts));
}

FtdiUsbPort::~FtdiUsbPort() {
    SetBreak();
    std::lock_guard lock(mutex_);
    api_.usb_close(context_);
    api_.free_context(context_);
}

void FtdiUsbPort::Purge() {
    std::lock_guard lock(mutex_);
    api_.tciflush(context_);
}

void FtdiUsbPort::Write(const std::uint8_t* data, std::size_t count) {
    std::lock_guard lock(mutex_);
    api_.write_data(context_, data, static_cast<int>(count));
}

std::size_t FtdiUsbPort::Read(std::uint8_t* buffer, std::size_t count) {
    std::size_t got = 0;
    ReadWindow window(timeouts_, count, clock_.Now());
    while (got < count && !cancelled_.load()) {
        int n;
        {
            std::lock_guard lock(mutex_);
            n = api_.read_data(context_, buffer + got, static_cast<int>(count - got));
        }
        const Clock::TimePoint now = clock_.Now();
        if (n > 0) {
            got += std::min(static_cast<std::size_t>(n), count - got);
            window.BytesArrived(now);
            if (got == count) break;
        }
        const int wait_ms = window.RemainingMs(now);
        if (wait_ms <= 0) break;
        // Nothing buffered (or the device is gone): poll again shortly, without
        // the lock, so that a writer is not held up.
        if (n <= 0) clock_.Sleep(std::min(kFtdiPollMs, static_cast<unsigned>(wait_ms)));
    }
    return got;
}

void FtdiUsbPort::SetBaudRate(std::uint32_t baud) {
    std::lock_guard lock(mutex_);
    api_.set_baudrate(context_, static_cast<int>(baud));
}

void FtdiUsbPort::SetBreak() {
    if (break_set_.exchange(true)) return;
    std::lock_guard lock(mutex_);
    api_.set_line_property2(context_, BITS_8, STOP_BIT_1, EVEN, BREAK_ON);
}

}  // namespace mk27x
