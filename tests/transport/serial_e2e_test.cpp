// The whole link end to end: the request protocol over SensorPort and the real
// termios backend, on a pseudo-terminal served by the virtual sensor.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "protocol/protocol.h"
#include "pty_server.h"
#include "support/recording_message_box.h"
#include "transport/port_backends.h"
#include "transport/sensor_port.h"
#include "transport/serial_posix.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using SteadyClock = std::chrono::steady_clock;

long ElapsedMs(SteadyClock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - since)
        .count();
}

// Waits (at most a second) for the server to have taken `count` bytes since
// `before`: the last byte of a request without reply may still be on its way
// when the request returns.
std::uint64_t BytesReceivedSince(const sim::PtySensorServer& server, std::uint64_t before,
                                 std::uint64_t count) {
    const auto give_up = SteadyClock::now() + std::chrono::seconds(1);
    while (server.BytesReceived() - before < count && SteadyClock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return server.BytesReceived() - before;
}

// Bytes of the requests that go to the sensor.
constexpr std::uint64_t kRegisterWriteBytes = 6;  // address, 0x83, 4 nibbles
constexpr std::uint64_t kRegisterReadBytes = 4;   // address, 0x82, 2 nibbles
constexpr int kRegisterCount = 29;                // registers behind the 20 parameters

class SerialE2E : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start()) << server.Error();
        port.SetPortName(server.SlavePath());
        ASSERT_TRUE(port.Open());
    }

    // The serial speed the line is set to right now, as any opener of the device
    // sees it.
    speed_t LineSpeed() const {
        const int fd = ::open(server.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        ::tcgetattr(fd, &tio);
        ::close(fd);
        return cfgetospeed(&tio);
    }

    std::shared_ptr<sim::VirtualSensor> sensor = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer server{sensor};
    SensorPort port{RealPortBackends()};
    SensorProtocol protocol{port, SystemClock::Instance()};
};

TEST_F(SerialE2E, IdentifiesTheSensor) {
    ASSERT_TRUE(protocol.IdentifySensor());
    EXPECT_EQ(protocol.LinkAlive(), 1);
    EXPECT_EQ(protocol.Identity.Model, 27);
    EXPECT_EQ(protocol.Identity.Release, 2);
    EXPECT_EQ(protocol.Identity.SerialNumber, 1234);
    EXPECT_EQ(protocol.Identity.BaseDistance, 100);
    EXPECT_EQ(protocol.Identity.MeasuringRange, 50);
}

TEST_F(SerialE2E, ReadsAllParametersFromTheRegisters) {
    sensor->SetRegister(0x08, 0x14);  // Sampling period 0x0114
    sensor->SetRegister(0x09, 0x01);
    sensor->SetRegister(0x1E, 0x22);  // 3 borders, measure type 2
    sensor->SetRegister(0x15, 0xFE);  // Dia Correction -2
    sensor->SetRegister(0x16, 0xFF);
    const std::uint64_t before = server.BytesReceived();
    ASSERT_TRUE(protocol.ReadAllParameters());
    EXPECT_EQ(protocol.ReadBackValues[kSamplingPeriod], 276);
    EXPECT_EQ(protocol.ReadBackValues[kNumberOfBorders], 3);
    EXPECT_EQ(protocol.ReadBackValues[kMeasureType], 2);
    EXPECT_EQ(protocol.ReadBackValues[kDiaCorrection], 0xFFFE);
    EXPECT_EQ(protocol.ReadBackValues[kUartBaudrate], 48);
    EXPECT_EQ(server.BytesReceived() - before, kRegisterCount * kRegisterReadBytes);
}

TEST_F(SerialE2E, WritesAParameterAndReadsItBack) {
    protocol.ParameterValues[kSamplingPeriod] = 500;
    protocol.WriteParameter(kSamplingPeriod);
    EXPECT_EQ(sensor->Register(0x08), 0xF4);
    EXPECT_EQ(sensor->Register(0x09), 0x01);
    protocol.ReadBackValues[kSamplingPeriod] = 0;
    ASSERT_TRUE(protocol.ReadParameter(kSamplingPeriod));
    EXPECT_EQ(protocol.ReadBackValues[kSamplingPeriod], 500);
}

TEST_F(SerialE2E, MeasuresOnce) {
    sim::MeasurementSource source;
    source.value = 0x4000;  // the full range: 50 mm
    sensor->SetSource(source);
    ASSERT_TRUE(protocol.IdentifySensor());
    ASSERT_TRUE(protocol.MeasureOnce());
    EXPECT_FLOAT_EQ(protocol.LastDistance.load(), 50.0f);
    source.value = -0x2000;
    sensor->SetSource(source);
    ASSERT_TRUE(protocol.MeasureOnce());
    EXPECT_FLOAT_EQ(protocol.LastDistance.load(), -25.0f);
}

TEST_F(SerialE2E, BaudRateWriteSwitchesPortAndSensorTogether) {
    ASSERT_TRUE(protocol.IdentifySensor());
    EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B115200));

    protocol.ParameterValues[kUartBaudrate] = 96;  // 230400
    protocol.WriteParameter(kUartBaudrate);
    EXPECT_EQ(port.PortBaudRate(), 230400u);
    EXPECT_EQ(sensor->Baud(), 230400u);
    EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B230400));
    ASSERT_TRUE(protocol.IdentifySensor());  // the sensor hears the new rate

    protocol.ParameterValues[kUartBaudrate] = 48;  // back to 115200
    protocol.WriteParameter(kUartBaudrate);
    EXPECT_EQ(LineSpeed(), static_cast<speed_t>(B115200));
    EXPECT_EQ(sensor->Baud(), 115200u);
    EXPECT_TRUE(protocol.IdentifySensor());
}

TEST_F(SerialE2E, SensorSilentFromParameterSevenStopsReadAllAfterOneTimeout) {
    // Parameters 0..6 take 9 register reads; everything after is swallowed.
    sim::Faults faults;
    faults.silent_after_requests = 9;
    sensor->SetFaults(faults);
    std::vector<int> progress;
    protocol.events.progress = [&](int done, int) { progress.push_back(done); };
    protocol.ReadBackValues[kRangeEnd] = 1234;
    const std::uint64_t before = server.BytesReceived();

    const auto t0 = SteadyClock::now();
    EXPECT_FALSE(protocol.ReadAllParameters());
    const long ms = ElapsedMs(t0);

    EXPECT_EQ(protocol.LinkAlive(), 0);
    EXPECT_EQ(protocol.ReadBackValues[kRangeEnd], 1234);  // kept
    EXPECT_EQ(protocol.ReadBackValues[kRangeBegin], 0);   // read (register value)
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 7);
    // Parameter 7 tried once (its first register), 8..19 never requested.
    EXPECT_EQ(server.BytesReceived() - before, 10 * kRegisterReadBytes);
    // The failing read waited out its total of 1000 + 50 * 2 ms.
    EXPECT_GE(ms, 1100);
    EXPECT_LT(ms, 5000);
}

TEST_F(SerialE2E, ShortIdentificationReplyFailsAfterTheInterval) {
    sim::Faults faults;
    faults.short_reply_command = 0x81;  // 15 bytes instead of 16
    sensor->SetFaults(faults);
    const auto t0 = SteadyClock::now();
    EXPECT_FALSE(protocol.IdentifySensor());
    const long ms = ElapsedMs(t0);
    EXPECT_EQ(protocol.LinkAlive(), 0);
    EXPECT_EQ(protocol.Identity, SensorIdentity{});
    EXPECT_GE(ms, 50);    // the interval after the 15th byte
    EXPECT_LT(ms, 1000);  // not the total of 1000 + 16 * 50
}

TEST(SerialE2EWithLongInterval, CompleteReplyReturnsAtOnce) {
    // With an interval of 2 s, a read that waited for any time-out would take
    // seconds; a complete reply takes the 5 ms pause and the wire.
    auto sensor = std::make_shared<sim::VirtualSensor>();
    sim::PtySensorServer server(sensor);
    ASSERT_TRUE(server.Start()) << server.Error();
    PortBackends backends;
    backends.open_serial = [](const std::string& name, std::uint32_t baud,
                              std::string&) -> std::shared_ptr<ByteTransport> {
        return PosixSerialPort::Open(name, baud, ReadTimeouts{2000, 0, 5000});
    };
    SensorPort port(backends);
    port.SetPortName(server.SlavePath());
    ASSERT_TRUE(port.Open());
    SensorProtocol protocol(port, SystemClock::Instance());
    for (int i = 0; i < 3; ++i) {
        const auto t0 = SteadyClock::now();
        EXPECT_TRUE(protocol.IdentifySensor());
        EXPECT_TRUE(protocol.MeasureOnce());
        EXPECT_LT(ElapsedMs(t0), 1500);
    }
}

TEST_F(SerialE2E, WriteAllDeliversEveryByteOfAllRegisterWrites) {
    ParameterSet& v = protocol.ParameterValues;
    v[kSensorOnOff] = 1;
    v[kSynchronization] = 1;
    v[kNetworkAddress] = 5;  // switched to before parameters 1 and 0
    v[kUartBaudrate] = 4;    // 9600, switched to before parameters 2, 1 and 0
    v[4] = 16;
    v[kSamplingPeriod] = 0x1234;
    v[kRangeBegin] = 0x0102;
    v[kRangeEnd] = 0x3FF0;
    v[8] = 200;
    v[9] = 0xBEEF;
    v[10] = 0x0A0B;
    v[11] = 0xC0DE;
    v[kNumberOfBorders] = 3;
    v[kMeasureType] = 2;
    v[kBorderA] = 1;
    v[kBorderB] = 15;
    v[16] = 0x5555;
    v[17] = 0xAAAA;
    v[kOutLogic] = 7;
    v[kDiaCorrection] = 0xFFFE;
    const std::uint64_t bytes_before = server.BytesReceived();
    const std::uint64_t served_before = sensor->RequestsServed();

    protocol.WriteAllParameters();

    EXPECT_EQ(BytesReceivedSince(server, bytes_before, kRegisterCount * kRegisterWriteBytes),
              kRegisterCount * kRegisterWriteBytes);
    EXPECT_EQ(sensor->RequestsServed() - served_before, static_cast<std::uint64_t>(kRegisterCount));
    EXPECT_EQ(sensor->Address(), 5);
    EXPECT_EQ(sensor->Baud(), 9600u);
    EXPECT_EQ(port.PortBaudRate(), 9600u);
    EXPECT_EQ(protocol.NetAddress(), 5);
    EXPECT_EQ(sensor->Register(0x00), 1);
    EXPECT_EQ(sensor->Register(0x1E), 0x22);
    EXPECT_EQ(sensor->Register(0x1F), 0x0E);
    EXPECT_EQ(sensor->Register(0x15), 0xFE);
    EXPECT_EQ(sensor->Register(0x16), 0xFF);

    // And everything reads back the same at the new rate and address.
    ASSERT_TRUE(protocol.CompareAllParameters());
}

}  // namespace
}  // namespace mk27x
