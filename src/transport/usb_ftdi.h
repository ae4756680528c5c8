// USB backend: the first FTDI device, driven through libftdi1.
//
// Every library call goes through FtdiApi, a table of functions with the
// library's own signatures, so that tests can check the calls and their values
// with no device attached. LibFtdiApi() is the table of the real library.
//
// How the port's classic settings map onto libftdi1:
//  - device listing and open by description: the first FTDI device's
//    description is listed, then the first device with that description is
//    opened (so device index 0, as the listing names it);
//  - queue sizes 64/64: the USB transfer sizes (read and write chunk sizes),
//    the read size raised to the chip's packet size where that is larger (a
//    high-speed chip sends 512-byte packets, which a 64-byte read cannot take);
//  - event mask 1 (character received): no equivalent; reads poll instead;
//  - purge: pending input only (ftdi_tciflush). Output already handed to the
//    chip is never discarded;
//  - time-outs: reads follow kUsbTimeouts {500, 200, 500} in a polling loop over
//    ftdi_read_data; the write time-outs (1 ms + 1 ms per byte) are not applied,
//    writes complete under the library's own USB time-out and their result is
//    not reported anyway;
//  - line state: 8E1 at the rate, no flow control; the latency timer is set to
//    kFtdiLatencyMs so that short replies are not held back by the chip's
//    default 16 ms; DTR and RTS are left as they are;
//  - escape 8 (break): ftdi_set_line_property2 with BREAK_ON.
//
// Threading: libftdi1 is not safe for concurrent use of one context, so every
// library call on the open device is made under a mutex. A read holds the mutex
// only for each ftdi_read_data call (which returns with what the chip has within
// its latency time), never while it sleeps between polls, so a writer waits at
// most one poll. The read is a loop of such short reads that checks a cancel
// flag before each: CancelRead() (from any thread) ends it within one poll.
#pragma once

#include <ftdi.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/clock.h"
#include "transport/transport.h"

namespace mk27x {

struct FtdiApi {
    std::function<ftdi_context*()> new_context;
    std::function<void(ftdi_context*)> free_context;
    std::function<int(ftdi_context*, ftdi_device_list**, int vendor, int product)> usb_find_all;
    std::function<void(ftdi_device_list**)> list_free;
    std::function<int(ftdi_context*, libusb_device*, char* manufacturer, int manufacturer_len,
                      char* description, int description_len, char* serial, int serial_len)>
        usb_get_strings;
    std::function<int(ftdi_context*, libusb_device*)> usb_open_dev;
    std::function<int(ftdi_context*)> usb_close;
    std::function<int(ftdi_context*, unsigned)> read_data_set_chunksize;
    std::function<int(ftdi_context*, unsigned)> write_data_set_chunksize;
    std::function<int(ftdi_context*)> tciflush;
    std::function<int(ftdi_context*, unsigned char)> set_latency_timer;
    std::function<int(ftdi_context*, int)> set_baudrate;
    std::function<int(ftdi_context*, ftdi_bits_type, ftdi_stopbits_type, ftdi_parity_type,
                      ftdi_break_type)>
        set_line_property2;
    std::function<int(ftdi_context*, int)> setflowctrl;
    std::function<int(ftdi_context*, unsigned char*, int)> read_data;
    std::function<int(ftdi_context*, const unsigned char*, int)> write_data;
};

// The table of the real libftdi1.
FtdiApi LibFtdiApi();

inline constexpr unsigned kFtdiTransferSize = 64;
inline constexpr unsigned char kFtdiLatencyMs = 2;
// Pause between two polls of a read that has not got all its bytes.
inline constexpr unsigned kFtdiPollMs = 1;
// Length of the description buffer of the device listing.
inline constexpr int kFtdiDescriptionLength = 64;

class FtdiUsbPort final : public ByteTransport {
public:
    // Opens and configures the first FTDI device; null when there is none or it
    // cannot be opened. Failures of the configuration calls are ignored. Reads
    // measure and sleep with `clock`.
    static std::shared_ptr<FtdiUsbPort> Open(FtdiApi api, std::uint32_t baud,
                                             Clock& clock = SystemClock::Instance(),
                                             ReadTimeouts timeouts = kUsbTimeouts);

    // Sets the break (if not yet set), closes the device and frees the context.
    ~FtdiUsbPort() override;
    FtdiUsbPort(const FtdiUsbPort&) = delete;
    FtdiUsbPort& operator=(const FtdiUsbPort&) = delete;

    void Purge() override;
    void Write(const std::uint8_t* data, std::size_t count) override;
    std::size_t Read(std::uint8_t* buffer, std::size_t count) override;
    void CancelRead() override { cancelled_ = true; }
    void ResumeReads() override { cancelled_ = false; }
    void SetBaudRate(std::uint32_t baud) override;
    void SetBreak() override;

private:
    FtdiUsbPort(FtdiApi api, ftdi_context* context, Clock& clock, ReadTimeouts timeouts)
        : api_(std::move(api)), context_(context), clock_(clock), timeouts_(timeouts) {}

    const FtdiApi api_;
    ftdi_context* const context_;
    Clock& clock_;
    const ReadTimeouts timeouts_;
    // Guards every library call on context_.
    std::mutex mutex_;
    std::atomic<bool> break_set_{false};
    std::atomic<bool> cancelled_{false};
};

}  // namespace mk27x
