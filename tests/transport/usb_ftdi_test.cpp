// The libftdi1 USB backend against a double of the library: the calls of the
// open, their values, the purge, the break and close, and the read time-outs on
// a virtual clock. One test runs the real library with no device attached.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "support/recording_message_box.h"
#include "support/virtual_clock.h"
#include "transport/port_backends.h"
#include "transport/sensor_port.h"
#include "transport/usb_ftdi.h"

namespace mk27x {
namespace {

// The library double. Devices are the descriptions of the attached chips;
// bytes the chip has received become readable at their virtual time.
struct FakeFtdi {
    explicit FakeFtdi(Clock& clock, std::vector<std::string> devices = {"MK27x USB"})
        : clock(clock), descriptions(std::move(devices)) {}

    Clock& clock;
    std::vector<std::string> descriptions;
    bool context_available = true;
    int open_result = 0;
    int config_result = 0;
    int read_error = 0;  // when negative, every read fails with it
    int packet_size_after_open = 64;
    struct Arrival {
        long at_ms;
        std::vector<std::uint8_t> bytes;
    };
    std::deque<Arrival> arrivals;

    std::vector<std::string> calls;
    int reads = 0;
    ftdi_context context{};

    long NowMs() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now().time_since_epoch())
            .count();
    }

    FtdiApi Api() {
        FtdiApi api;
        api.new_context = [this]() -> ftdi_context* {
            calls.push_back("new");
            return context_available ? &context : nullptr;
        };
        api.free_context = [this](ftdi_context* c) { Rec(c, "free"); };
        api.usb_find_all = [this](ftdi_context* c, ftdi_device_list** list, int vendor,
                                  int product) {
            Rec(c, "find_all", vendor, product);
            nodes_.assign(descriptions.size(), ftdi_device_list{});
            for (std::size_t i = 0; i < nodes_.size(); ++i) {
                nodes_[i].dev = reinterpret_cast<libusb_device*>(&tokens_[i]);
                nodes_[i].next = i + 1 < nodes_.size() ? &nodes_[i + 1] : nullptr;
            }
            *list = nodes_.empty() ? nullptr : &nodes_[0];
            return static_cast<int>(nodes_.size());
        };
        api.list_free = [this](ftdi_device_list** list) {
            calls.push_back("list_free");
            *list = nullptr;
        };
        api.usb_get_strings = [this](ftdi_context* c, libusb_device* d, char*, int, char* desc,
                                     int desc_len, char*, int) {
            Rec(c, "get_strings dev" + std::to_string(Index(d)), desc_len);
            std::snprintf(desc, static_cast<std::size_t>(desc_len), "%s",
                          descriptions[Index(d)].c_str());
            return 0;
        };
        api.usb_open_dev = [this](ftdi_context* c, libusb_device* d) {
            Rec(c, "open_dev dev" + std::to_string(Index(d)) + " detach", c->module_detach_mode);
            if (open_result == 0) c->max_packet_size = packet_size_after_open;
            return open_result;
        };
        api.usb_close = [this](ftdi_context* c) { return Rec(c, "close"); };
        api.read_data_set_chunksize = [this](ftdi_context* c, unsigned n) {
            return Rec(c, "read_chunksize", n);
        };
        api.write_data_set_chunksize = [this](ftdi_context* c, unsigned n) {
            return Rec(c, "write_chunksize", n);
        };
        api.tciflush = [this](ftdi_context* c) { return Rec(c, "tciflush"); };
        api.set_latency_timer = [this](ftdi_context* c, unsigned char ms) {
            return Rec(c, "latency", int{ms});
        };
        api.set_baudrate = [this](ftdi_context* c, int baud) { return Rec(c, "baudrate", baud); };
        api.set_line_property2 = [this](ftdi_context* c, ftdi_bits_type bits,
                                        ftdi_stopbits_type stop, ftdi_parity_type parity,
                                        ftdi_break_type brk) {
            return Rec(c, "line", bits, stop, parity, brk);
        };
        api.setflowctrl = [this](ftdi_context* c, int flow) { return Rec(c, "flowctrl", flow); };
        api.read_data = [this](ftdi_context*, unsigned char* buf, int size) {
            ++reads;
            if (read_error < 0) return read_error;
            int n = 0;
            while (n < size && !arrivals.empty() && arrivals.front().at_ms <= NowMs()) {
                std::vector<std::uint8_t>& bytes = arrivals.front().bytes;
                while (n < size && !bytes.empty()) {
                    buf[n++] = bytes.front();
                    bytes.erase(bytes.begin());
                }
                if (bytes.empty()) arrivals.pop_front();
            }
            return n;
        };
        api.write_data = [this](ftdi_context* c, const unsigned char* buf, int size) {
            std::string s = "write";
            for (int i = 0; i < size; ++i) s += " " + std::to_string(buf[i]);
            Rec(c, s);
            return size;
        };
        return api;
    }

private:
    // Records "name arg arg ..." and answers config_result.
    template <typename... Args>
    int Rec(ftdi_context* c, std::string call, Args... args) {
        EXPECT_EQ(c, &context) << call;
        ((call += " " + std::to_string(static_cast<long>(args))), ...);
        calls.push_back(std::move(call));
        return config_result;
    }
    std::size_t Index(libusb_device* d) const {
        return static_cast<std::size_t>(reinterpret_cast<const char*>(d) - tokens_);
    }
    char tokens_[8] = {};
    std::vector<ftdi_device_list> nodes_;
};

const std::vector<std::string> kOpenCalls = {
    "new",
    "find_all 0 0",
    "get_strings dev0 64",
    "open_dev dev0 detach 2",  // ftdi_sio is given back at close
    "list_free",
    "read_chunksize 64",
    "write_chunksize 64",
    "tciflush",
    "latency 2",
    "baudrate 115200",
    "line 8 0 2 0",  // BITS_8, STOP_BIT_1, EVEN, BREAK_OFF
    "flowctrl 0",
};

// --- Open ------------------------------------------------------------------

TEST(UsbFtdiOpen, ListsThenOpensDeviceZeroAndConfiguresIt) {
    VirtualClock clock;
    FakeFtdi fake(clock);
    auto port = FtdiUsbPort::Open(fake.Api(), 115200, clock);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(fake.calls, kOpenCalls);
}

TEST(UsbFtdiOpen, OnlyDeviceZeroIsOpenedWhenTwoAreAttached) {
    VirtualClock clock;
    FakeFtdi fake(clock, {"MK27x USB", "Other adapter"});
    ASSERT_NE(FtdiUsbPort::Open(fake.Api(), 9600, clock), nullptr);
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "open_dev dev0 detach 2"), 1);
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "open_dev dev1 detach 2"), 0);
    EXPECT_NE(std::find(fake.calls.begin(), fake.calls.end(), "baudrate 9600"), fake.calls.end());
}

TEST(UsbFtdiOpen, HighSpeedChipReadsWholePackets) {
    VirtualClock clock;
    FakeFtdi fake(clock);
    fake.packet_size_after_open = 512;
    ASSERT_NE(FtdiUsbPort::Open(fake.Api(), 115200, clock), nullptr);
    EXPECT_NE(std::find(fake.calls.begin(), fake.calls.end(), "read_chunksize 512"),
              fake.calls.end());
    EXPECT_NE(std::find(fake.calls.begin(), fake.calls.end(), "write_chunksize 64"),
              fake.calls.end());
}

TEST(UsbFtdiOpen, FailuresOfTheOpenReturnNullAndReleaseTheContext) {
    VirtualClock clock;
    {
        FakeFtdi none(clock, {});
        EXPECT_EQ(FtdiUsbPort::Open(none.Api(), 115200, clock), nullptr);
        EXPECT_EQ(none.calls, (std::vector<std::string>{"new", "find_all 0 0", "free"}));
    }
    {
        FakeFtdi busy(clock);
        busy.open_result = -5;  // unable to claim the device
        EXPECT_EQ(FtdiUsbPort::Open(busy.Api(), 115200, clock), nullptr);
        EXPECT_EQ(busy.calls,
                  (std::vector<std::string>{"new", "find_all 0 0", "get_strings dev0 64",
                                            "open_dev dev0 detach 2", "list_free", "free"}));
    }
    {
        FakeFtdi no_library(clock);
        no_library.context_available = false;
        EXPECT_EQ(FtdiUsbPort::Open(no_library.Api(), 115200, clock), nullptr);
        EXPECT_EQ(no_library.calls, std::vector<std::string>{"new"});
    }
}

TEST(UsbFtdiOpen, ConfigurationFailuresAreIgnored) {
    VirtualClock clock;
    FakeFtdi fake(clock);
    fake.config_result = -1;
    auto port = FtdiUsbPort::Open(fake.Api(), 115200, clock);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(fake.calls, kOpenCalls);
}

// --- Through SensorPort -------------------------------------------------------

struct UsbSensorPort : ::testing::Test {
    VirtualClock clock;
    FakeFtdi fake{clock};
    SensorPort port{
        PortBackends{nullptr, [this](std::uint32_t baud) -> std::shared_ptr<ByteTransport> {
                         return FtdiUsbPort::Open(fake.Api(), baud, clock);
                     }}};
};

TEST_F(UsbSensorPort, NoDeviceReportsAUsbFailure) {
    fake.descriptions.clear();
    EXPECT_EQ(port.Open(), (PortOpenResult{false, PortKind::Usb, "USB", ""}));
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(UsbSensorPort, RequestPurgeDiscardsInputOnlyAndWritesGoOutWhole) {
    ASSERT_TRUE(port.Open());
    fake.calls.clear();
    port.Purge();
    const std::uint8_t request[] = {0x01, 0x82, 0x88, 0x80};
    port.Write(request, 1);
    port.Write(request + 1, 3);
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"tciflush", "write 1", "write 130 136 128"}));
}

TEST_F(UsbSensorPort, BaudChangeTouchesOnlyTheRate) {
    ASSERT_TRUE(port.Open());
    fake.calls.clear();
    port.SetPortBaudRate(230400);
    port.ApplyBaudRate();
    EXPECT_EQ(fake.calls, std::vector<std::string>{"baudrate 230400"});
}

TEST_F(UsbSensorPort, CloseSetsTheBreakThenClosesOnce) {
    ASSERT_TRUE(port.Open());
    fake.calls.clear();
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(fake.calls, (std::vector<std::string>{"line 8 0 2 1", "close", "free"}));
    port.Close();
    EXPECT_EQ(fake.calls.size(), 3u);
}

// --- Read time-outs {interval 500, multiplier 200, constant 500} ------------

struct UsbRead : ::testing::Test {
    VirtualClock clock;
    FakeFtdi fake{clock};
    std::shared_ptr<FtdiUsbPort> port = FtdiUsbPort::Open(fake.Api(), 115200, clock);
    std::uint8_t buf[16] = {};

    long Elapsed(Clock::TimePoint since) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(clock.Now() - since).count();
    }
};

TEST_F(UsbRead, CompleteReplyReturnsWithoutSleeping) {
    ASSERT_NE(port, nullptr);
    fake.arrivals.push_back({0, {0x81, 0x82, 0x83, 0x84}});
    EXPECT_EQ(port->Read(buf, 4), 4u);
    EXPECT_TRUE(clock.Pauses().empty());
}

TEST_F(UsbRead, NothingReturnsZeroAtTheTotalTimeout) {
    ASSERT_NE(port, nullptr);
    auto t0 = clock.Now();
    EXPECT_EQ(port->Read(buf, 1), 0u);
    EXPECT_EQ(Elapsed(t0), 700);  // 500 + 200 * 1
    t0 = clock.Now();
    EXPECT_EQ(port->Read(buf, 16), 0u);
    EXPECT_EQ(Elapsed(t0), 3700);  // 500 + 200 * 16
    for (unsigned p : clock.Pauses()) EXPECT_LE(p, kFtdiPollMs);
}

TEST_F(UsbRead, GapsUpToTheIntervalAreBridged) {
    ASSERT_NE(port, nullptr);
    fake.arrivals = {{100, {0x81}}, {600, {0x82}}, {1100, {0x83}}};  // gaps of 500
    auto t0 = clock.Now();
    EXPECT_EQ(port->Read(buf, 3), 3u);
    EXPECT_EQ(Elapsed(t0), 1100);
}

TEST_F(UsbRead, GapBeyondTheIntervalEndsTheRead) {
    ASSERT_NE(port, nullptr);
    fake.arrivals = {{100, {0x81, 0x82}}, {601, {0x83}}};
    auto t0 = clock.Now();
    EXPECT_EQ(port->Read(buf, 3), 2u);
    EXPECT_EQ(Elapsed(t0), 600);
    // The late byte is still there for the next read.
    EXPECT_EQ(port->Read(buf, 1), 1u);
    EXPECT_EQ(buf[0], 0x83);
}

TEST_F(UsbRead, TotalTimeoutEndsATricklingReply) {
    ASSERT_NE(port, nullptr);
    // 4 bytes: total 1300; each gap is within the interval.
    fake.arrivals = {{300, {0x81}}, {700, {0x82}}, {1100, {0x83}}, {1500, {0x84}}};
    auto t0 = clock.Now();
    EXPECT_EQ(port->Read(buf, 4), 3u);
    EXPECT_EQ(Elapsed(t0), 1300);
}

TEST_F(UsbRead, DeviceErrorsCountAsNothingUntilTheTimeout) {
    ASSERT_NE(port, nullptr);
    fake.read_error = -7;
    auto t0 = clock.Now();
    EXPECT_EQ(port->Read(buf, 2), 0u);
    EXPECT_EQ(Elapsed(t0), 900);
    EXPECT_LE(fake.reads, 902);  // one poll per sleep, no spinning
}

// A clock that cancels the port's read from within its tenth pause, as another
// thread would while the read polls.
struct CancelAtTenthPause final : Clock {
    VirtualClock inner;
    FtdiUsbPort* port = nullptr;
    int pauses = 0;
    void Sleep(unsigned ms) override {
        if (++pauses == 10) port->CancelRead();
        inner.Sleep(ms);
    }
    TimePoint Now() override { return inner.Now(); }
};

TEST(UsbFtdiCancel, CancelEndsTheReadAtTheNextPollUntilResumed) {
    CancelAtTenthPause clock;
    FakeFtdi fake(clock);
    auto port = FtdiUsbPort::Open(fake.Api(), 115200, clock);
    ASSERT_NE(port, nullptr);
    clock.port = port.get();
    std::uint8_t buf[4];
    auto t0 = clock.Now();
    EXPECT_EQ(port->Read(buf, 4), 0u);
    EXPECT_EQ(clock.Now() - t0, std::chrono::milliseconds(10 * kFtdiPollMs));  // not 1300 ms
    const int reads = fake.reads;
    EXPECT_EQ(port->Read(buf, 4), 0u);  // still cancelled: returns without a poll
    EXPECT_EQ(fake.reads, reads);
    // Resumed: reads wait for their bytes again.
    port->ResumeReads();
    fake.arrivals.push_back({fake.NowMs() + 30, {0x81}});
    EXPECT_EQ(port->Read(buf, 1), 1u);
    EXPECT_EQ(buf[0], 0x81);
}

TEST(UsbFtdiThreads, WriterIsNotHeldUpByAWaitingRead) {
    FakeFtdi fake(SystemClock::Instance());
    auto port = FtdiUsbPort::Open(fake.Api(), 115200);
    ASSERT_NE(port, nullptr);
    std::atomic<bool> read_done{false};
    std::thread reader([&] {
        std::uint8_t b;
        port->Read(&b, 1);  // nothing comes: 700 ms
        read_done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::uint8_t request[] = {0x01, 0x88};
    port->Write(request, 2);
    port->Purge();
    EXPECT_FALSE(read_done.load());
    reader.join();
    EXPECT_TRUE(read_done.load());
}

// --- The real library ---------------------------------------------------------

TEST(UsbRealLibrary, NoDeviceAttachedReportsAUsbFailure) {
    SensorPort port(RealPortBackends());
    ASSERT_EQ(port.PortName(), "USB");
    const PortOpenResult opened = port.Open();
    if (opened) GTEST_SKIP() << "an FTDI device is attached to this machine";
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(opened.kind, PortKind::Usb);
    EXPECT_EQ(opened.port_name, "USB");
}

}  // namespace
}  // namespace mk27x
