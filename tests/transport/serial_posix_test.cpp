// The termios serial backend over a raw pseudo-terminal: line settings, byte
// transparency, the read time-outs against a scripted peer, the request purge,
// and the open/close life of the port through SensorPort.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <numeric>
#include <thread>

#include "support/pty.h"
#include "support/recording_message_box.h"
#include "transport/port_backends.h"
#include "transport/sensor_port.h"
#include "transport/serial_posix.h"

namespace mk27x {
namespace {

using testing::PtyPair;
using testing::ScriptedPeer;
using Ms = std::chrono::milliseconds;
using SteadyClock = std::chrono::steady_clock;

long ElapsedMs(SteadyClock::time_point since) {
    return std::chrono::duration_cast<Ms>(SteadyClock::now() - since).count();
}

std::vector<std::uint8_t> Bytes(std::size_t n, std::uint8_t first = 0x80) {
    std::vector<std::uint8_t> v(n);
    std::iota(v.begin(), v.end(), first);
    return v;
}

// --- Device names ----------------------------------------------------------

TEST(SerialDevicePath, MapsComNamesAndPassesPaths) {
    EXPECT_EQ(SerialDevicePath("COM1"), "/dev/ttyS0");
    EXPECT_EQ(SerialDevicePath("COM4"), "/dev/ttyS3");
    EXPECT_EQ(SerialDevicePath("/dev/pts/7"), "/dev/pts/7");
    EXPECT_EQ(SerialDevicePath("COM5"), "");
    EXPECT_EQ(SerialDevicePath("COM0"), "");
    EXPECT_EQ(SerialDevicePath("USB"), "");
    EXPECT_EQ(SerialDevicePath(""), "");
}

// --- Line settings and bytes -----------------------------------------------

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty.ok()); }
    std::shared_ptr<PosixSerialPort> OpenPort(ReadTimeouts t = kSerialTimeouts,
                                              std::uint32_t baud = 115200) {
        auto port = PosixSerialPort::Open(pty.slave_path(), baud, t);
        EXPECT_NE(port, nullptr);
        return port;
    }
    PtyPair pty;
};

TEST_F(SerialPty, OpensRawEightBitsWithoutFlowControlAtTheRate) {
    auto port = OpenPort(kSerialTimeouts, 230400);
    ASSERT_NE(port, nullptr);
    termios tio{};
    ASSERT_EQ(tcgetattr(port->Descriptor(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (CSTOPB | CRTSCTS), 0u);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B230400));
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B230400));
    // The pseudo-terminal refuses the modem lines and drops the parity bit;
    // the open went on regardless.
}

TEST_F(SerialPty, EveryByteValuePassesUnchangedBothWays) {
    auto port = OpenPort();
    ASSERT_NE(port, nullptr);
    const std::vector<std::uint8_t> all = Bytes(256, 0);
    port->Write(all.data(), all.size());
    EXPECT_EQ(pty.Receive(), all);

    pty.Send(all);
    std::vector<std::uint8_t> got(256);
    ASSERT_EQ(port->Read(got.data(), got.size()), 256u);
    EXPECT_EQ(got, all);
}

TEST_F(SerialPty, BaudRateChangeKeepsTheOtherSettings) {
    auto port = OpenPort();
    ASSERT_NE(port, nullptr);
    termios before{}, after{};
    tcgetattr(port->Descriptor(), &before);
    port->SetBaudRate(921600);
    tcgetattr(port->Descriptor(), &after);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B921600));
    EXPECT_EQ(cfgetispeed(&after), static_cast<speed_t>(B921600));
    const tcflag_t speed_bits = CBAUD | CIBAUD;
    EXPECT_EQ(after.c_cflag & ~speed_bits, before.c_cflag & ~speed_bits);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    // A rate without a termios constant (register value 10 = 24000) changes nothing.
    port->SetBaudRate(24000);
    tcgetattr(port->Descriptor(), &after);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B921600));
}

// A line left by another program at 7 data bits, odd (or mark/space) parity
// and two stop bits.
constexpr tcflag_t kDirtyLine = CS7 | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

void ExpectEightEvenOne(const termios& tio) {
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS), 0u);
}

TEST(SerialLineSettings, RequestEightEvenOneWhateverTheLineWasLeftAt) {
    termios tio{};
    tio.c_cflag = kDirtyLine | B9600;
    tio.c_iflag = IXON | IXOFF | INPCK;
    SerialLineSettings(tio, 460800);
    EXPECT_NE(tio.c_cflag & PARENB, 0u);
    ExpectEightEvenOne(tio);
    EXPECT_NE(tio.c_cflag & CREAD, 0u);
    EXPECT_NE(tio.c_cflag & CLOCAL, 0u);
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B460800));
}

int raised_fd = -1;
int raised_lines = 0;
void RecordRaisedLines(int fd, int lines) {
    raised_fd = fd;
    raised_lines = lines;
}

TEST_F(SerialPty, OpenClearsALineLeftDirtyAndRaisesRtsAndDtr) {
    // The pseudo-terminal keeps the parity kind and stop bits it is given (it
    // only forces CS8 and drops PARENB), so what is left afterwards is what the
    // open cleared or not.
    const int fd = ::open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    termios dirty{};
    ASSERT_EQ(tcgetattr(fd, &dirty), 0);
    dirty.c_cflag = (dirty.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | kDirtyLine;
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &dirty), 0);
    ASSERT_EQ(tcgetattr(fd, &dirty), 0);
    ASSERT_EQ(dirty.c_cflag & (PARODD | CMSPAR | CSTOPB), PARODD | CMSPAR | CSTOPB);
    ::close(fd);

    raised_fd = -1;
    raised_lines = 0;
    auto port =
        PosixSerialPort::Open(pty.slave_path(), 115200, kSerialTimeouts, &RecordRaisedLines);
    ASSERT_NE(port, nullptr);
    termios tio{};
    ASSERT_EQ(tcgetattr(port->Descriptor(), &tio), 0);
    ExpectEightEvenOne(tio);
    EXPECT_EQ(raised_fd, port->Descriptor());
    EXPECT_EQ(raised_lines, TIOCM_RTS | TIOCM_DTR);
}

// --- Waking a read in flight -------------------------------------------------

TEST_F(SerialPty, CancelEndsAReadInFlightAndLaterReadsUntilResumed) {
    auto port = OpenPort(ReadTimeouts{50, 0, 5000});
    ASSERT_NE(port, nullptr);
    std::size_t got = 99;
    long ms = 0;
    std::thread reader([&] {
        std::uint8_t buf[4];
        const auto t0 = SteadyClock::now();
        got = port->Read(buf, 4);
        ms = ElapsedMs(t0);
    });
    std::this_thread::sleep_for(Ms(50));
    port->CancelRead();
    reader.join();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(ms, 2500);  // the read's own time-out is 5 s

    // Cancelled: a new read does not wait either, even for bytes on their way.
    std::uint8_t b = 0;
    auto t0 = SteadyClock::now();
    EXPECT_EQ(port->Read(&b, 1), 0u);
    EXPECT_LT(ElapsedMs(t0), 2500);

    port->ResumeReads();
    ScriptedPeer peer(pty, {{100, {0x8F}}});
    peer.Start();
    EXPECT_EQ(port->Read(&b, 1), 1u);
    EXPECT_EQ(b, 0x8F);
}

TEST_F(SerialPty, CancelAlsoEndsTheWaitOfAHungUpLine) {
    auto port = OpenPort(ReadTimeouts{50, 0, 5000});
    ASSERT_NE(port, nullptr);
    pty.CloseMaster();
    long ms = 0;
    std::thread reader([&] {
        std::uint8_t b;
        const auto t0 = SteadyClock::now();
        port->Read(&b, 1);
        ms = ElapsedMs(t0);
    });
    std::this_thread::sleep_for(Ms(50));
    port->CancelRead();
    reader.join();
    EXPECT_LT(ms, 2500);
}

// --- Read time-outs against a scripted peer ----------------------------------

TEST_F(SerialPty, BytesThirtyMsApartAreAllReceived) {
    auto port = OpenPort();
    ASSERT_NE(port, nullptr);
    ScriptedPeer peer(pty, {{0, {0x81}}, {30, {0x82}}, {60, {0x83}}, {90, {0x84}}, {120, {0x85}}});
    std::uint8_t buf[5] = {};
    peer.Start();
    const auto t0 = SteadyClock::now();
    const std::size_t got = port->Read(buf, 5);
    const long ms = ElapsedMs(t0);
    peer.Join();
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 5), Bytes(5, 0x81));
    EXPECT_GE(ms, 110);
    EXPECT_LT(ms, 1000);  // safety net: it ended on the last byte, not a time-out
}

TEST_F(SerialPty, GapOfSeventyMsEndsTheReadAndKeepsTheRest) {
    auto port = OpenPort();
    ASSERT_NE(port, nullptr);
    ScriptedPeer peer(pty, {{0, {0x81, 0x82}}, {10, {0x83}}, {80, {0x84, 0x85, 0x86}}});
    std::uint8_t buf[6] = {};
    peer.Start();
    const auto t0 = SteadyClock::now();
    const std::size_t got = port->Read(buf, 6);
    const long ms = ElapsedMs(t0);
    EXPECT_EQ(got, 3u);
    EXPECT_GE(ms, 58);    // 10 ms to the third byte, then the 50 ms interval
    EXPECT_LT(ms, 1000);  // far below the total of 1000 + 6 * 50
    peer.Join();
    // The bytes after the gap are not lost: the next read takes them.
    ASSERT_EQ(port->Read(buf, 3), 3u);
    EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + 3), Bytes(3, 0x84));
}

TEST_F(SerialPty, SilentPeerEndsTheReadAfterTheTotalTimeout) {
    auto port = OpenPort();
    ASSERT_NE(port, nullptr);
    std::uint8_t buf[4];
    const auto t0 = SteadyClock::now();
    EXPECT_EQ(port->Read(buf, 4), 0u);
    const long ms = ElapsedMs(t0);
    EXPECT_GE(ms, 1199);  // 1000 + 50 * 4
    EXPECT_LT(ms, 3000);
}

TEST_F(SerialPty, CompleteReplyReturnsWithoutWaitingForAnyTimeout) {
    // A long interval makes a wrong wait for it unmistakable.
    auto port = OpenPort(ReadTimeouts{2000, 0, 5000});
    ASSERT_NE(port, nullptr);
    std::uint8_t buf[16];
    pty.Send(Bytes(16));
    auto t0 = SteadyClock::now();
    EXPECT_EQ(port->Read(buf, 16), 16u);
    EXPECT_LT(ElapsedMs(t0), 1000);

    // Also when the reply comes in pieces during the read.
    ScriptedPeer peer(pty, {{20, Bytes(6)}, {40, Bytes(10, 0x86)}});
    peer.Start();
    t0 = SteadyClock::now();
    EXPECT_EQ(port->Read(buf, 16), 16u);
    EXPECT_LT(ElapsedMs(t0), 1000);
}

TEST_F(SerialPty, HungUpLineStillTakesTheWholeTimeout) {
    auto port = OpenPort(ReadTimeouts{50, 0, 300});
    ASSERT_NE(port, nullptr);
    pty.CloseMaster();
    std::uint8_t buf[2];
    const auto t0 = SteadyClock::now();
    EXPECT_EQ(port->Read(buf, 2), 0u);
    const long ms = ElapsedMs(t0);
    EXPECT_GE(ms, 299);  // a reader calling in a loop is not set spinning
    EXPECT_LT(ms, 2000);
}

// --- The request purge -------------------------------------------------------

TEST_F(SerialPty, PurgeDiscardsPendingInput) {
    auto port = OpenPort(ReadTimeouts{20, 0, 200});
    ASSERT_NE(port, nullptr);
    pty.Send({0x81, 0x82, 0x83});
    std::this_thread::sleep_for(Ms(50));
    port->Purge();
    std::uint8_t buf[3];
    EXPECT_EQ(port->Read(buf, 3), 0u);
    // What comes after the purge is read.
    pty.Send({0x84});
    EXPECT_EQ(port->Read(buf, 1), 1u);
    EXPECT_EQ(buf[0], 0x84);
}

TEST_F(SerialPty, WriteFromOneThreadWhileAnotherWaitsInRead) {
    auto port = OpenPort(ReadTimeouts{50, 0, 1500});
    ASSERT_NE(port, nullptr);
    std::atomic<bool> read_done{false};
    std::size_t got = 0;
    std::uint8_t buf[1];
    std::thread reader([&] {
        got = port->Read(buf, 1);
        read_done = true;
    });
    std::this_thread::sleep_for(Ms(100));
    const std::uint8_t request[] = {0x01, 0x86};
    port->Write(request, 2);
    EXPECT_FALSE(read_done.load());  // the write did not wait for the read
    EXPECT_EQ(pty.Receive(50), std::vector<std::uint8_t>({0x01, 0x86}));
    pty.Send({0x8F});
    reader.join();
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 0x8F);
}

// --- Open and close through SensorPort --------------------------------------

struct SerialSensorPort : ::testing::Test {
    SensorPort port{RealPortBackends()};

    // A failed open names the port and gives the system's reason.
    static PortOpenResult SerialFailure(const std::string& name, int error) {
        return {false, PortKind::Serial, name, std::strerror(error)};
    }
};

TEST_F(SerialSensorPort, MissingDeviceReportsASerialFailure) {
    port.SetPortName("/dev/does-not-exist");
    EXPECT_EQ(port.Open(), SerialFailure("/dev/does-not-exist", ENOENT));
    EXPECT_FALSE(port.IsOpen());

    port.SetPortName("COM9");  // no device behind it
    EXPECT_EQ(port.Open(), SerialFailure("COM9", ENOENT));
}

TEST_F(SerialSensorPort, ComFourFailsOnlyWhenItsDeviceCannotBeOpened) {
    const int fd = ::open("/dev/ttyS3", O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int error = errno;
    if (fd >= 0) {
        ::close(fd);
        GTEST_SKIP() << "/dev/ttyS3 opens on this machine";
    }
    port.SetPortName("COM4");
    EXPECT_EQ(port.Open(), SerialFailure("COM4", error));
    EXPECT_FALSE(port.IsOpen());
}

TEST_F(SerialSensorPort, PortHeldByAnotherOpenIsBusy) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    auto holder = PosixSerialPort::Open(pty.slave_path(), 115200);
    ASSERT_NE(holder, nullptr);
    port.SetPortName(pty.slave_path());
    EXPECT_EQ(port.Open(), SerialFailure(pty.slave_path(), EBUSY));
    holder.reset();
    EXPECT_EQ(port.Open(), (PortOpenResult{true, PortKind::Serial, pty.slave_path(), ""}));
}

TEST_F(SerialSensorPort, CloseReleasesTheDeviceAndCloseTwiceDoesNothing) {
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    port.SetPortName(pty.slave_path());
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(port.IsOpen());
    EXPECT_FALSE(pty.SlaveClosed());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(pty.SlaveClosed());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
    std::uint8_t b;
    EXPECT_EQ(port.Read(&b, 1), 0u);  // closed: nothing, at once
}

TEST_F(SerialSensorPort, OpenOverAnOpenPortClosesTheOldOne) {
    PtyPair first, second;
    ASSERT_TRUE(first.ok() && second.ok());
    port.SetPortName(first.slave_path());
    ASSERT_TRUE(port.Open());
    port.SetPortName(second.slave_path());
    ASSERT_TRUE(port.Open());
    EXPECT_TRUE(first.SlaveClosed());
    EXPECT_FALSE(second.SlaveClosed());
    port.WriteByte(0x81);
    EXPECT_EQ(second.Receive(), std::vector<std::uint8_t>{0x81});

    // A failed open over an open port leaves no port open.
    port.SetPortName("/dev/does-not-exist");
    EXPECT_FALSE(port.Open());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(second.SlaveClosed());
}

TEST_F(SerialSensorPort, CloseDuringAReadReleasesTheDeviceForAnImmediateReopen) {
    // As when the watchdog closes the port while the stream reader waits for a
    // silent sensor, and the operator presses Connect at once.
    PtyPair pty;
    ASSERT_TRUE(pty.ok());
    port.SetPortName(pty.slave_path());
    ASSERT_TRUE(port.Open());
    std::atomic<bool> reading{false};
    std::size_t got = 99;
    long read_ms = 0;
    std::thread reader([&] {
        std::uint8_t buf[1];
        reading = true;
        const auto t0 = SteadyClock::now();
        got = port.Read(buf, 1);  // 1050 ms unless woken
        read_ms = ElapsedMs(t0);
    });
    while (!reading) std::this_thread::yield();
    std::this_thread::sleep_for(Ms(30));
    port.Close();
    EXPECT_TRUE(pty.SlaveClosed());
    EXPECT_TRUE(port.Open());
    reader.join();
    EXPECT_EQ(got, 0u);
    EXPECT_LT(read_ms, 600);  // cut short, not its 1050 ms
    // The reopened port reads normally.
    pty.Send({0x85});
    std::uint8_t b = 0;
    EXPECT_EQ(port.Read(&b, 1), 1u);
    EXPECT_EQ(b, 0x85);
}

}  // namespace
}  // namespace mk27x
