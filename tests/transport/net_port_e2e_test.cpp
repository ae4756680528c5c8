// Network serial ports end to end: SensorPort with the real backends against a
// real ser2net, started by the test on a loopback port in front of the virtual
// sensor's pseudo-terminal, in raw TCP and in telnet/RFC 2217 mode. And the
// failures: nobody listening, a name that does not resolve, a server that goes
// away in the middle of a stream. And the line settings an RFC 2217 port asks
// for, as a listener of the test's own receives them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "calibration/calibration_upload.h"
#include "protocol/protocol.h"
#include "protocol/stream_reader.h"
#include "pty_server.h"
#include "recording/recording.h"
#include "support/recording_message_box.h"
#include "support/ser2net.h"
#include "transport/net_port.h"
#include "transport/port_backends.h"
#include "transport/sensor_port.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;
using testing::Ser2net;

std::string HexDump(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    char byte[4];
    for (std::uint8_t b : bytes) {
        std::snprintf(byte, sizeof byte, "%02x ", b);
        text += byte;
    }
    return text;
}

long ElapsedMs(SteadyClock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - since).count());
}

TEST(NetPortName, SchemesHostAndPort) {
    auto n = ParseNetPortName("tcp://192.168.1.20:4001");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->kind, NetPortName::Kind::Raw);
    EXPECT_EQ(n->host, "192.168.1.20");
    EXPECT_EQ(n->port, "4001");
    n = ParseNetPortName("rfc2217://[::1]:2217");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->kind, NetPortName::Kind::Rfc2217);
    EXPECT_EQ(n->host, "::1");
    for (const char* bad : {"COM1", "USB", "tcp://host", "tcp://:4001", "tcp://host:", "udp://h:1",
                            "tcp://host:40a1"})
        EXPECT_FALSE(ParseNetPortName(bad)) << bad;
    EXPECT_TRUE(IsNetworkPortName("rfc2217://x:1"));
    EXPECT_FALSE(IsNetworkPortName("/dev/ttyS0"));
}

class NetPortE2E : public ::testing::TestWithParam<Ser2net::Mode> {
protected:
    void SetUp() override {
        if (!testing::Ser2netInstalled()) GTEST_SKIP() << "ser2net is not installed";
        ASSERT_TRUE(server.Start()) << server.Error();
        ser2net = std::make_unique<Ser2net>(server.SlavePath(), GetParam());
        ASSERT_TRUE(ser2net->Listening());
        port.SetPortName(ser2net->Address());
        const auto t0 = SteadyClock::now();
        const PortOpenResult opened = port.Open();
        ASSERT_TRUE(opened) << opened.reason;
        EXPECT_EQ(opened.kind, PortKind::Network);
        // The open waits for acknowledgements at most briefly.
        EXPECT_LT(ElapsedMs(t0), 1000);
    }

    bool Rfc2217() const { return GetParam() == Ser2net::Mode::Rfc2217; }

    std::shared_ptr<sim::VirtualSensor> sensor = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer server{sensor};
    std::unique_ptr<Ser2net> ser2net;
    SensorPort port{RealPortBackends()};
    SensorProtocol protocol{port, SystemClock::Instance()};
};

TEST_P(NetPortE2E, IdentifiesReadsAllAndWritesAll) {
    ASSERT_TRUE(protocol.IdentifySensor());
    EXPECT_EQ(protocol.Identity.Model, 27);
    EXPECT_EQ(protocol.Identity.SerialNumber, 1234);
    EXPECT_EQ(protocol.Identity.MeasuringRange, 50);

    sensor->SetRegister(0x08, 0x14);  // Sampling period 0x0114
    sensor->SetRegister(0x09, 0x01);
    sensor->SetRegister(0x15, 0xFE);  // Dia Correction -2
    sensor->SetRegister(0x16, 0xFF);
    ASSERT_TRUE(protocol.ReadAllParameters());
    EXPECT_EQ(protocol.ReadBackValues[kSamplingPeriod], 276);
    EXPECT_EQ(protocol.ReadBackValues[kDiaCorrection], 0xFFFE);
    protocol.AdoptReadBackValues();

    ParameterSet& v = protocol.ParameterValues;
    v[kSamplingPeriod] = 0x1234;
    v[kRangeEnd] = 0x3FF0;
    v[9] = 0xBEEF;
    v[kNetworkAddress] = 5;
    // Over RFC 2217 the program sets the rate through the server; a raw
    // server's rate is its own.
    if (Rfc2217()) v[kUartBaudrate] = 4;  // 9600
    protocol.WriteAllParameters();
    ASSERT_TRUE(protocol.CompareAllParameters());
    EXPECT_EQ(sensor->Register(0x08), 0x34);
    EXPECT_EQ(sensor->Register(0x09), 0x12);
    EXPECT_EQ(sensor->Address(), 5);
    EXPECT_EQ(sensor->Baud(), Rfc2217() ? 9600u : 115200u);
}

TEST_P(NetPortE2E, FiveSecondStreamLosesNoFrame) {
    constexpr std::uint64_t kFrames = 10000;  // 5 s at 2000 frames/s
    sim::Faults faults;
    faults.stream_stop_after_frames = kFrames;
    sensor->SetFaults(faults);
    sim::MeasurementSource ramp;
    ramp.kind = sim::MeasurementSource::Kind::kRamp;
    ramp.value = 0;
    ramp.amplitude = 16000;
    ramp.period = 16000;
    sensor->SetSource(ramp);
    ASSERT_TRUE(protocol.IdentifySensor());

    SampleRing ring;
    Recording recording;
    RingSink ring_sink(ring);
    recording.Attach(ring_sink);
    StreamReader reader(protocol, recording);
    reader.Resume();
    protocol.StartStream();
    reader.StartStreaming();
    const auto give_up = SteadyClock::now() + 12s;
    while (reader.FramesDecoded() < kFrames && SteadyClock::now() < give_up) {
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(protocol.LinkAlive(), 1);
    }
    reader.StopStreaming();
    protocol.StopStream();
    reader.Stop();
    EXPECT_EQ(server.FramesSent(), kFrames);
    EXPECT_EQ(reader.FramesDecoded(), kFrames);
    // Every step of the ramp is there, in order.
    ASSERT_TRUE(ring.Wrapped.load() || ring.WriteIndex.load() == 0);
    for (std::uint16_t i = 1; i < SampleRing::kCapacity; ++i)
        ASSERT_NEAR(ring.At(i) - ring.At(i - 1), 50.0 / 16384, 1e-4) << i;
}

TEST_P(NetPortE2E, UploadsThirtyCalibrationBlocks) {
    ASSERT_TRUE(protocol.IdentifySensor());
    CalibrationTable table(2);
    for (std::size_t i = 0; i < table.entries.size(); ++i)
        table.entries[i] = static_cast<std::int32_t>(i * 7 % 65536) - 30000;
    const UploadOutcome outcome = UploadCalibration(protocol, table);
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.blocks, 30);
    EXPECT_EQ(outcome.blocks_written, 30);
    EXPECT_EQ(sensor->CalibrationBlocks().size(), 30u);
}

TEST_P(NetPortE2E, ServerGoneMidStreamEndsInNoAnswerWithoutHanging) {
    ASSERT_TRUE(protocol.IdentifySensor());
    SampleRing ring;
    Recording recording;
    RingSink ring_sink(ring);
    recording.Attach(ring_sink);
    StreamReader reader(protocol, recording);
    reader.Resume();
    protocol.StartStream();
    reader.StartStreaming();
    const auto wait_frames = SteadyClock::now() + 3s;
    while (reader.FramesDecoded() < 100 && SteadyClock::now() < wait_frames)
        std::this_thread::sleep_for(10ms);
    ASSERT_GE(reader.FramesDecoded(), 100u);

    ser2net->Stop();
    // The reader's next empty read (one time-out, 1050 ms) clears LinkAlive,
    // which the watchdog turns into "No answer.".
    const auto t0 = SteadyClock::now();
    while (protocol.LinkAlive() != 0 && ElapsedMs(t0) < 3000) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(protocol.LinkAlive(), 0);
    EXPECT_LT(ElapsedMs(t0), 2000);

    // Requests on the dead connection fail within their time-outs.
    const auto t1 = SteadyClock::now();
    EXPECT_FALSE(protocol.IdentifySensor());
    EXPECT_LT(ElapsedMs(t1), 1000 + 50 * 16 + 500);

    const auto t2 = SteadyClock::now();
    reader.StopStreaming();
    reader.Stop();
    port.Close();
    EXPECT_LT(ElapsedMs(t2), 500);
}

INSTANTIATE_TEST_SUITE_P(Modes, NetPortE2E,
                         ::testing::Values(Ser2net::Mode::Raw, Ser2net::Mode::Rfc2217),
                         [](const auto& info) {
                             return info.param == Ser2net::Mode::Raw ? "Raw" : "Rfc2217";
                         });

// What an RFC 2217 port asks of the server at open, byte for byte, taken by a
// listener of the test's own: 115200 baud, 8 data bits, even parity, 1 stop bit.
TEST(NetPortRfc2217, OpenAsksTheServerForTheRateAndEightEvenOne) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::string reason;
    NetPortOptions options;
    options.ack_wait_ms = 10;  // nobody answers
    auto port = NetSerialPort::Open(
        "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port)), 115200, reason, options);
    ASSERT_NE(port, nullptr) << reason;
    const int server = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(server, 0);
    port.reset();  // closed: all it sent is on its way
    std::vector<std::uint8_t> sent;
    std::uint8_t buffer[512];
    for (ssize_t n; (n = ::read(server, buffer, sizeof buffer)) > 0;)
        sent.insert(sent.end(), buffer, buffer + n);
    ::close(server);
    ::close(listener);
    const std::vector<std::uint8_t> settings{255,  250, 44,  1, 0x00, 0x01, 0xC2,
                                             0x00, 255, 240,  // SET-BAUDRATE 115200
                                             255,  250, 44,  2, 8,    255,  240,  // SET-DATASIZE 8
                                             255,  250, 44,  3, 3,    255,  240,  // SET-PARITY EVEN
                                             255,  250, 44,  4, 1,    255,  240};  // SET-STOPSIZE 1
    EXPECT_NE(std::search(sent.begin(), sent.end(), settings.begin(), settings.end()), sent.end())
        << HexDump(sent);
}

// Failures of the open: the outcome names the address and the system's reason.
class NetPortOpenFailure : public ::testing::Test {
protected:
    PortOpenResult Open(const std::string& name) {
        port.SetPortName(name);
        const auto t0 = SteadyClock::now();
        PortOpenResult result = port.Open();
        elapsed_ms = ElapsedMs(t0);
        return result;
    }

    SensorPort port{RealPortBackends()};
    long elapsed_ms = 0;
};

TEST_F(NetPortOpenFailure, ConnectionRefused) {
    const int free_port = testing::FreeLoopbackPort();
    for (const char* scheme : {"tcp", "rfc2217"}) {
        const std::string name = std::string(scheme) + "://127.0.0.1:" + std::to_string(free_port);
        EXPECT_EQ(Open(name),
                  (PortOpenResult{false, PortKind::Network, name, "Connection refused"}));
        EXPECT_FALSE(port.IsOpen());
        EXPECT_LT(elapsed_ms, 1000);
    }
}

TEST_F(NetPortOpenFailure, UnresolvableAddressAndMalformedName) {
    const PortOpenResult unresolved = Open("rfc2217://no-such-host.invalid:2217");
    EXPECT_FALSE(unresolved);
    EXPECT_LT(elapsed_ms, 10000);
    EXPECT_EQ(unresolved.kind, PortKind::Network);
    EXPECT_EQ(unresolved.port_name, "rfc2217://no-such-host.invalid:2217");
    // The resolver's reason.
    EXPECT_GT(unresolved.reason.size(), 3u);

    const PortOpenResult malformed = Open("tcp://no-port");
    EXPECT_FALSE(malformed);
    EXPECT_NE(malformed.reason.find("Not a network address"), std::string::npos);
}

TEST_F(NetPortOpenFailure, ServerThatRefusesTheSecondClient) {
    if (!testing::Ser2netInstalled()) GTEST_SKIP() << "ser2net is not installed";
    sim::PtySensorServer server(std::make_shared<sim::VirtualSensor>());
    ASSERT_TRUE(server.Start());
    Ser2net ser2net(server.SlavePath(), Ser2net::Mode::Rfc2217);
    ASSERT_TRUE(ser2net.Listening());
    ASSERT_TRUE(Open(ser2net.Address()));
    SensorPort other(RealPortBackends());
    other.SetPortName(ser2net.Address());
    const PortOpenResult refused = other.Open();
    EXPECT_FALSE(refused);
    EXPECT_NE(refused.reason.find("The server closed the connection"), std::string::npos);
    // The first connection still works.
    SensorProtocol protocol(port, SystemClock::Instance());
    EXPECT_TRUE(protocol.IdentifySensor());
}

}  // namespace
}  // namespace mk27x
