// The sensor session against the in-process virtual sensor on a virtual clock:
// the connection outcomes, the parameter commands with their texts, and the
// stream hand-over.
#include "session/session.h"

#include <gtest/gtest.h>

#include <thread>

#include "calibration/tbl_files.h"
#include "support/scripted_transport.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kDelayMsrRegister = 0x10;
constexpr std::uint8_t kDiaCorrectionRegister = 0x15;

class SessionTest : public ::testing::Test {
protected:
    explicit SessionTest(sim::SensorConfig config = {}) : sim(config) {}

    void SetUp() override {
        session.events.progress = [this](int done, int) { progress.push_back(done); };
        session.events.parameters_replaced = [this] { ++replaced; };
        session.events.address_changed = [this](std::uint8_t a) { addresses.push_back(a); };
        session.events.baud_changed = [this](std::uint32_t b) { bauds.push_back(b); };
    }

    void Connect() {
        ASSERT_EQ(session.Connect(), ConnectOutcome::Connected);
        replaced = 0;
        progress.clear();
        Wire().ClearLog();
        clock.ClearPauses();
    }

    sim::InProcessTransport& Wire() { return *sim.opened.back(); }

    testing::SimBackends sim;
    VirtualClock clock;
    SensorSession session{clock, sim.Backends()};
    std::vector<int> progress;
    std::vector<int> addresses;
    std::vector<std::uint32_t> bauds;
    int replaced = 0;
};

// --- connecting ----------------------------------------------------------------

// Four stream frames of the value 0x1A05 from tag 3 on, each byte's bit 7 as given.
Bytes Frames(std::uint8_t bit7) {
    Bytes bytes;
    for (std::uint8_t tag = 3; tag < 7; ++tag)
        for (std::uint8_t nibble : {0x5, 0x0, 0xA, 0x1})
            bytes.push_back(static_cast<std::uint8_t>(bit7 | tag << 4 | nibble));
    return bytes;
}

TEST(SessionConnect, AnyBytesThatAreNoReplyStopTheStreamAndIdentifyAgain) {
    Bytes mixed = Frames(0x80);
    mixed[2] = 0x05;  // a byte of another tag, bit 7 clear
    const Bytes identity = {0x81, 0x80, 0x8B, 0x81, 0x82, 0x80, 0x82, 0x80,
                            0x84, 0x86, 0x80, 0x80, 0x82, 0x83, 0x80, 0x80};
    for (const Bytes& stray : {Frames(0x80), Frames(0x00), mixed, Bytes{0x93, 0xA5}}) {
        testing::ScriptedPort line;
        SensorSession session(
            line.clock,
            {[&](const std::string&, std::uint32_t, std::string&) { return line.wire; }, {}});
        session.SetPortName("COM1");
        line.wire->replies = {stray, identity};  // then silence: the reads fail
        const ConnectResult connect = session.Connect();
        EXPECT_TRUE(connect.recovered);
        EXPECT_EQ(connect, ConnectOutcome::ReadFailed);  // identified, first time
        EXPECT_EQ(session.Identity().SerialNumber, 0x0202);
        const auto requests = line.wire->Requests();
        // The recovery's own purge stands between the stop and the identify.
        ASSERT_GE(requests.size(), 4u);
        EXPECT_EQ(std::vector<Bytes>(requests.begin(), requests.begin() + 4),
                  (std::vector<Bytes>{{0x01, 0x81}, {0x01, 0x88}, {}, {0x01, 0x81}}));
        // 5 ms after each address byte; 100 ms after the stop request.
        const auto gaps = line.wire->WriteGaps();
        ASSERT_GE(gaps.size(), 4u);
        EXPECT_EQ(std::vector<long>(gaps.begin(), gaps.begin() + 4),
                  (std::vector<long>{5, 0, 5, 100}));
    }
    // A silent line is asked once.
    testing::ScriptedPort line;
    SensorSession session(
        line.clock,
        {[&](const std::string&, std::uint32_t, std::string&) { return line.wire; }, {}});
    session.SetPortName("COM1");
    const ConnectResult silent = session.Connect();
    EXPECT_EQ(silent, ConnectOutcome::NotIdentified);
    EXPECT_FALSE(silent.recovered);
    EXPECT_EQ(line.wire->Requests(), (std::vector<Bytes>{{0x01, 0x81}}));
}

TEST_F(SessionTest, ConnectIdentifiesAndAdoptsEverything) {
    SensorIdentity shown;
    session.events.identity_known = [&](const SensorIdentity& id) { shown = id; };
    sim.sensor->SetRegister(kDelayMsrRegister, 0x05);

    EXPECT_EQ(session.Connect(), ConnectOutcome::Connected);
    EXPECT_EQ(shown.SerialNumber, 1234);
    EXPECT_EQ(session.Identity(), shown);
    EXPECT_EQ(session.Values()[8], 5);
    EXPECT_EQ(session.Values(), session.ReadBack());
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(progress.back(), 19);
    EXPECT_TRUE(session.LinkAlive());
}

TEST_F(SessionTest, ConnectToAnotherAddressReportsAndCloses) {
    session.SetAddress(9);
    const ConnectResult silent = session.Connect();
    EXPECT_EQ(silent, ConnectOutcome::NotIdentified);
    EXPECT_FALSE(silent.recovered);  // a silent line is not asked again
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x09, 0x81}));

    session.SetAddress(1);
    EXPECT_EQ(session.Connect(), ConnectOutcome::Connected);
}

TEST_F(SessionTest, ConnectWhileTheDisplayIsBusyOnlyOpensThePort) {
    session.SetDisplayBusy(true);
    EXPECT_EQ(session.Connect(), ConnectOutcome::OpenedOnly);
    EXPECT_TRUE(session.IsOpen());
    EXPECT_TRUE(Wire().WrittenBytes().empty());
}

TEST_F(SessionTest, ConnectWithAFailingReadLeavesThePortToTheWatchdog) {
    sim::Faults faults;
    faults.silent_after_requests = 4;  // identify and three register reads
    sim.sensor->SetFaults(faults);
    EXPECT_EQ(session.Connect(), ConnectOutcome::ReadFailed);
    EXPECT_TRUE(session.IsOpen());
    EXPECT_FALSE(session.LinkAlive());
    EXPECT_EQ(replaced, 0);

    session.EndLostLink();
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(session.State(), LinkState::Closed);
}

TEST_F(SessionTest, BaudAndAddressSettingsDoNotTellTheSensor) {
    Connect();
    session.SetBaudRate(9600);
    session.SetAddress(3);
    EXPECT_EQ(Wire().BaudRate(), 9600u);
    EXPECT_TRUE(Wire().WrittenBytes().empty());
    EXPECT_EQ(sim.sensor->Baud(), 115200u);
    // The next watched exchange fails: the sensor no longer understands us.
    EXPECT_FALSE(session.MeasureOnce());
    EXPECT_FALSE(session.LinkAlive());
}

// --- parameter commands ----------------------------------------------------------

TEST_F(SessionTest, LoadWritesOneParameterThenRereadsAll) {
    Connect();
    session.Values()[8] = 7;   // DelayMsr
    session.Values()[10] = 3;  // edited, not loaded: the re-read replaces it
    session.LoadParameter(8);
    EXPECT_EQ(sim.sensor->Register(kDelayMsrRegister), 7);
    EXPECT_EQ(session.Values()[8], 7);
    EXPECT_EQ(session.Values()[10], session.ReadBack()[10]);
    EXPECT_NE(session.Values()[10], 3);
    EXPECT_EQ(replaced, 1);
    const auto pauses = clock.Pauses();
    // 5 ms after the address and before each of the 4 data bytes, then 100 ms.
    EXPECT_EQ(std::vector<unsigned>(pauses.begin(), pauses.begin() + 6),
              (std::vector<unsigned>{5, 5, 5, 5, 5, 100}));
}

TEST_F(SessionTest, LoadOfTheAddressRereadsFromTheNewAddress) {
    Connect();
    session.Values()[kNetworkAddress] = 5;
    session.LoadParameter(kNetworkAddress);
    EXPECT_EQ(sim.sensor->Address(), 5);
    EXPECT_EQ(session.Address(), 5);
    EXPECT_EQ(addresses, (std::vector<int>{5}));
    EXPECT_EQ(replaced, 1);
    const Bytes written = Wire().WrittenBytes();
    EXPECT_EQ(written.front(), 0x01);  // the write went to the old address
    EXPECT_EQ(written[6], 0x05);       // the first read to the new one
    EXPECT_TRUE(session.LinkAlive());
}

TEST_F(SessionTest, LoadOfTheBaudRateSwitchesThePort) {
    Connect();
    session.Values()[kUartBaudrate] = 96;  // 230400
    session.LoadParameter(kUartBaudrate);
    EXPECT_EQ(sim.sensor->Baud(), 230400u);
    EXPECT_EQ(Wire().BaudRate(), 230400u);
    EXPECT_EQ(bauds, (std::vector<std::uint32_t>{230400}));
    EXPECT_TRUE(session.LinkAlive());
    EXPECT_EQ(session.Values()[kUartBaudrate], 96);
}

TEST_F(SessionTest, CompareReportsAMismatchWithRawValues) {
    Connect();
    session.Values()[kUartBaudrate] = 4;
    sim.sensor->SetRegister(0x04, 48);
    EXPECT_EQ(session.CompareParameter(kUartBaudrate),
              (std::vector<ParameterDifference>{{kUartBaudrate, 4, 48}}));
    // The working set stays as it was.
    EXPECT_EQ(session.Values()[kUartBaudrate], 4);
    EXPECT_EQ(replaced, 0);
}

TEST_F(SessionTest, CompareWithEqualValuesOrNoLinkFindsNothing) {
    EXPECT_TRUE(session.CompareParameter(5).empty());
    EXPECT_TRUE(session.CompareAllParameters().empty());
    EXPECT_TRUE(sim.opened.empty());  // nothing was even opened

    Connect();
    EXPECT_TRUE(session.CompareParameter(5).empty());
    EXPECT_TRUE(session.CompareAllParameters().empty());
}

TEST_F(SessionTest, CompareAllListsEveryParameter) {
    Connect();
    session.Values()[8] = 1;
    sim.sensor->SetRegister(kDelayMsrRegister, 5);
    EXPECT_EQ(session.CompareAllParameters(), (std::vector<ParameterDifference>{{8, 1, 5}}));
}

TEST_F(SessionTest, CompareAllCatchesADifferenceInTheLastParameter) {
    Connect();
    session.Values()[kDiaCorrection] = 1;
    sim.sensor->SetRegister(kDiaCorrectionRegister, 2);
    EXPECT_EQ(session.CompareAllParameters(),
              (std::vector<ParameterDifference>{{kDiaCorrection, 1, 2}}));
}

TEST_F(SessionTest, LoadAllWritesEverythingThenRereadsAfterHalfASecond) {
    Connect();
    session.Values()[5] = 1000;
    session.Values()[8] = 9;
    session.LoadAllParameters();
    EXPECT_EQ(sim.sensor->Register(kDelayMsrRegister), 9);
    EXPECT_EQ(session.Values()[5], 1000);
    EXPECT_EQ(replaced, 1);
    const auto pauses = clock.Pauses();
    EXPECT_NE(std::find(pauses.begin(), pauses.end(), 500u), pauses.end());
}

TEST_F(SessionTest, ReadAllWithTheSensorSilentFromParameterSevenKeepsTheSet) {
    Connect();
    session.Values()[8] = 77;
    sim::Faults faults;
    faults.silent_after_requests = 9;  // parameters 0..6 take 9 register reads
    sim.sensor->SetFaults(faults);
    EXPECT_FALSE(session.ReadAllParameters());
    EXPECT_EQ(session.Values()[8], 77);
    EXPECT_EQ(replaced, 0);
    EXPECT_EQ(progress.back(), 7);
    EXPECT_FALSE(session.LinkAlive());
}

TEST_F(SessionTest, ReadOneAdoptsTheWholeReadSet) {
    Connect();
    session.Values()[8] = 77;  // edited, not loaded
    session.ReadParameter(5);
    EXPECT_EQ(session.Values()[8], session.ReadBack()[8]);
    EXPECT_EQ(replaced, 1);
}

TEST_F(SessionTest, FailedReadOfOneKeepsTheWorkingSet) {
    Connect();
    session.Values()[8] = 77;  // edited, not loaded
    sim::Faults faults;
    faults.silent_after_requests = 0;
    sim.sensor->SetFaults(faults);
    session.ReadParameter(5);
    EXPECT_EQ(session.Values()[8], 77);
    EXPECT_EQ(replaced, 0);
    EXPECT_FALSE(session.LinkAlive());
}

TEST_F(SessionTest, FlashStoreAndFactoryRestore) {
    Connect();
    EXPECT_EQ(session.WriteToFlash(), FlashResult::Done);

    // The sensor at 230400, address 4: the restore brings both back to the factory.
    session.Values()[kNetworkAddress] = 4;
    session.LoadParameter(kNetworkAddress);
    session.Values()[kUartBaudrate] = 96;
    session.LoadParameter(kUartBaudrate);
    addresses.clear();
    bauds.clear();
    replaced = 0;
    EXPECT_EQ(session.RestoreFactorySettings(), FlashResult::Done);
    EXPECT_EQ(session.BaudRate(), 115200u);
    EXPECT_EQ(session.Address(), 1);
    EXPECT_EQ(bauds, (std::vector<std::uint32_t>{115200}));
    EXPECT_EQ(addresses, (std::vector<int>{1}));
    EXPECT_EQ(replaced, 2);  // adopted, then shown once more
}

TEST_F(SessionTest, FailingRestoreStillRefreshesTheGrid) {
    Connect();
    sim::Faults faults;
    faults.short_reply_command = 4;
    sim.sensor->SetFaults(faults);
    EXPECT_EQ(session.RestoreFactorySettings(), FlashResult::NoEcho);
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(session.WriteToFlash(), FlashResult::NoEcho);
}

TEST_F(SessionTest, RestoreWhoseRereadFailsIsReadFailed) {
    Connect();
    sim::Faults faults;
    faults.silent_after_requests = 1;  // the restore only
    sim.sensor->SetFaults(faults);
    EXPECT_EQ(session.RestoreFactorySettings(), FlashResult::ReadFailed);
    EXPECT_EQ(session.BaudRate(), 115200u);
    EXPECT_EQ(replaced, 1);
}

TEST_F(SessionTest, WriteParametersInTheOrderGiven) {
    Connect();
    session.Values()[8] = 3;
    session.Values()[kDiaCorrection] = 0xFFFF;
    EXPECT_TRUE(session.WriteParameters({kDiaCorrection, 8}));
    const Bytes written = Wire().WrittenBytes();
    // Dia Correction: high byte first (register 0x16), then 0x15; then DelayMsr.
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 18),
              (Bytes{0x01, 0x83, 0x86, 0x81, 0x8F, 0x8F, 0x01, 0x83, 0x85, 0x81, 0x8F, 0x8F, 0x01,
                     0x83, 0x80, 0x81, 0x83, 0x80}));
    EXPECT_EQ(session.ReadBack()[kDiaCorrection], 0xFFFF);
}

// --- measuring -------------------------------------------------------------------

TEST_F(SessionTest, MeasureOnceReportsTheDistance) {
    sim::MeasurementSource source;
    source.value = 8192;
    sim.sensor->SetSource(source);
    Connect();
    std::vector<float> distances;
    session.events.distance = [&](float mm) { distances.push_back(mm); };
    EXPECT_TRUE(session.MeasureOnce());
    EXPECT_EQ(distances, (std::vector<float>{25.0f}));
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x86}));

    session.SetMeasureDevMode(true);
    Wire().ClearLog();
    EXPECT_TRUE(session.MeasureOnce());
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x01, 0x8D}));
}

TEST_F(SessionTest, StreamFillsTheRingAndStopsWithTheRequest) {
    Connect();
    session.Start();
    std::atomic<int> frames{0};
    session.events.distance = [&](float) { ++frames; };
    session.StartStream();
    while (frames < 100) std::this_thread::sleep_for(1ms);
    session.StopStream();
    EXPECT_FALSE(session.Streaming());
    EXPECT_FALSE(sim.sensor->Streaming());
    EXPECT_TRUE(session.Ring().WriteIndex > 0 || session.Ring().Wrapped);
    const Bytes written = Wire().WrittenBytes();
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 2), (Bytes{0x01, 0x87}));
    EXPECT_EQ(Bytes(written.end() - 2, written.end()), (Bytes{0x01, 0x88}));
    EXPECT_EQ(clock.Pauses().back(), 100u);
}

TEST_F(SessionTest, StreamStartResetsTheRingAndTheLastDistance) {
    sim::Faults faults;
    faults.stream_stop_after_frames = 0;  // no frame may overwrite what is checked
    sim.sensor->SetFaults(faults);
    Connect();
    session.Protocol().LastDistance = 7.0f;
    session.Ring().Append(1.0f);
    session.StartStream();
    EXPECT_EQ(session.LastDistance(), 0.0f);
    EXPECT_EQ(session.Ring().WriteIndex.load(), 0);
    session.StopStream();
}

TEST_F(SessionTest, ShutdownWhileStreamingTellsTheSensorAndJoinsTheReader) {
    Connect();
    session.Start();
    session.StartStream();
    session.Shutdown();
    EXPECT_TRUE(session.Reader().Done());
    EXPECT_FALSE(session.IsOpen());
    EXPECT_FALSE(sim.sensor->Streaming());
}

TEST_F(SessionTest, LostLinkEndsTheStreamWithoutAStopRequest) {
    Connect();
    session.Start();
    session.StartStream();
    Wire().ClearLog();
    session.EndLostLink();
    EXPECT_FALSE(session.Streaming());
    EXPECT_FALSE(session.IsOpen());
    EXPECT_TRUE(Wire().WrittenBytes().empty());
}

// --- calibration ---------------------------------------------------------------

TEST_F(SessionTest, CalibrationUploadDrivesTheProgressAndReportsSuccess) {
    Connect();
    testing::TempDir dir;
    const std::string path = dir.Write("1234.tbl", testing::TblText(testing::SampleFields(15900)));
    std::vector<std::pair<int, int>> blocks;
    EXPECT_EQ(
        session
            .UploadCalibration(path, [&](int done, int total) { blocks.emplace_back(done, total); })
            .result,
        SensorSession::UploadResult::Written);
    ASSERT_EQ(blocks.size(), 30u);
    EXPECT_EQ(blocks.front(), (std::pair<int, int>{1, 30}));
    EXPECT_EQ(blocks.back(), (std::pair<int, int>{30, 30}));
    // The bar: 0 of 100 before the first block, then b * 100 / 30, ending at 96.
    ASSERT_EQ(progress.size(), 31u);
    EXPECT_EQ(progress.front(), 0);
    EXPECT_EQ(progress[1], 0);
    EXPECT_EQ(progress[2], 3);
    EXPECT_EQ(progress.back(), 96);
    EXPECT_EQ(sim.sensor->CalibrationBlocks().size(), 30u);
    EXPECT_EQ((*sim.sensor->CalibrationBlock(0))[5],
              static_cast<std::uint16_t>(testing::SampleValue(5)));
}

TEST_F(SessionTest, CalibrationFileRefusedSendsNothing) {
    Connect();
    testing::TempDir dir;
    const std::string path = dir.Write("bad.tbl", testing::TblText({"12", "1x3"}));
    const auto refused = session.UploadCalibration(path);
    EXPECT_EQ(refused.result, SensorSession::UploadResult::FileRefused);
    EXPECT_FALSE(refused.upload);
    EXPECT_TRUE(Wire().WrittenBytes().empty());
    EXPECT_EQ(refused.refusal, (CalibrationRefusal{CalibrationRefusal::Kind::ConversionError,
                                                   "'1x3' is not a valid integer value"}));
    EXPECT_TRUE(progress.empty());

    EXPECT_EQ(session.UploadCalibration(dir.Path("missing.tbl")).refusal.text,
              "Cannot open file " + dir.Path("missing.tbl") + ".");
    EXPECT_TRUE(Wire().WrittenBytes().empty());
}

TEST_F(SessionTest, CalibrationStopsWhereTheSensorFallsSilent) {
    Connect();
    testing::TempDir dir;
    const std::string path = dir.Write("1234.tbl", testing::TblText(testing::SampleFields(15900)));
    sim::Faults faults;
    faults.silent_after_requests = 5;  // blocks 0 to 4
    sim.sensor->SetFaults(faults);
    const auto failed = session.UploadCalibration(path);
    EXPECT_EQ(failed.result, SensorSession::UploadResult::Failed);
    EXPECT_EQ(failed.upload->failed_block(), 5);
    EXPECT_EQ(sim.sensor->CalibrationBlocks().size(), 5u);
    EXPECT_EQ(progress.back(), 13);  // 4 * 100 / 30
}

}  // namespace
}  // namespace mk27x
