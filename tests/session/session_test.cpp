// The sensor session against the in-process virtual sensor on a virtual clock:
// the connection outcomes, the parameter commands with their texts, and the
// stream hand-over.
#include "session/session.h"

#include <gtest/gtest.h>

#include <thread>

#include "calibration/tbl_files.h"
#include "support/recording_message_box.h"
#include "support/sim_backends.h"
#include "support/virtual_clock.h"

namespace mk27x {
namespace {

using namespace std::chrono_literals;
using Shown = RecordingMessageBox::Shown;
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
    RecordingMessageBox messages;
    SensorSession session{messages, clock, sim.Backends()};
    std::vector<int> progress;
    std::vector<int> addresses;
    std::vector<std::uint32_t> bauds;
    int replaced = 0;
};

// --- connecting ----------------------------------------------------------------

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
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SessionTest, ConnectToAnotherAddressReportsAndCloses) {
    session.SetAddress(9);
    EXPECT_EQ(session.Connect(), ConnectOutcome::NotIdentified);
    EXPECT_EQ(messages.shown, (std::vector<Shown>{{"No answer. Please change parameters.",
                                                   "MK271-SP", MB_OK | MB_ICONSTOP}}));
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(Wire().WrittenBytes(), (Bytes{0x09, 0x81}));

    messages.shown.clear();
    session.SetAddress(1);
    EXPECT_EQ(session.Connect(), ConnectOutcome::Connected);
    EXPECT_TRUE(messages.shown.empty());
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
    EXPECT_TRUE(messages.shown.empty());

    session.EndLostLink();
    EXPECT_FALSE(session.IsOpen());
    EXPECT_EQ(messages.shown,
              (std::vector<Shown>{{"No answer.", "MK271-SP", MB_OK | MB_ICONSTOP}}));
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
    session.CompareParameter(kUartBaudrate);
    EXPECT_EQ(messages.shown,
              (std::vector<Shown>{{"Parameters 'UART baudrate' not equal:\rWrite=4, Read=48.",
                                   "MK271-SP", MB_OK | MB_ICONEXCLAMATION}}));
    // The working set stays as it was.
    EXPECT_EQ(session.Values()[kUartBaudrate], 4);
    EXPECT_EQ(replaced, 0);
}

TEST_F(SessionTest, CompareWithEqualValuesOrNoLinkShowsNothing) {
    session.CompareParameter(5);
    session.CompareAllParameters();
    EXPECT_TRUE(messages.shown.empty());
    EXPECT_TRUE(sim.opened.empty());  // nothing was even opened

    Connect();
    session.CompareParameter(5);
    session.CompareAllParameters();
    EXPECT_TRUE(messages.shown.empty());
}

TEST_F(SessionTest, CompareAllListsEveryParameter) {
    Connect();
    session.Values()[8] = 1;
    sim.sensor->SetRegister(kDelayMsrRegister, 5);
    session.CompareAllParameters();
    ASSERT_EQ(messages.shown.size(), 1u);
    const std::string& text = messages.shown[0].text;
    EXPECT_EQ(text.rfind("Parameters not equal:\r'Sensor On/Off': Write=1, Read=1: OK.\r", 0), 0u);
    EXPECT_NE(text.find("\r'DelayMsr': Write=1, Read=5: Error.\r"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 20);
    EXPECT_EQ(text.find("Error."), text.rfind("Error."));  // only one
    EXPECT_EQ(messages.shown[0].flags, MB_OK | MB_ICONEXCLAMATION);
}

TEST_F(SessionTest, CompareAllCatchesADifferenceInTheLastParameter) {
    Connect();
    session.Values()[kDiaCorrection] = 1;
    sim.sensor->SetRegister(kDiaCorrectionRegister, 2);
    session.CompareAllParameters();
    ASSERT_EQ(messages.shown.size(), 1u);
    const std::string& text = messages.shown[0].text;
    EXPECT_EQ(text.substr(text.rfind('\r')), "\r'Dia Correction': Write=1, Read=2: Error.");
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

TEST_F(SessionTest, CancelledFlashCommandsSendNothing) {
    Connect();
    messages.answers = {IDCANCEL, IDCANCEL};
    EXPECT_EQ(session.WriteToFlash(), SensorSession::FlashOutcome::Cancelled);
    EXPECT_EQ(session.RestoreFactorySettings(), SensorSession::FlashOutcome::Cancelled);
    EXPECT_TRUE(Wire().WrittenBytes().empty());
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[0], (Shown{"Are you sure? Write parameters to FLASH?", "MK271-SP.",
                                        MB_OKCANCEL | MB_ICONEXCLAMATION}));
    EXPECT_EQ(messages.shown[1], (Shown{"Restore factory parameters in FLASH?", "MK271-SP.",
                                        MB_OKCANCEL | MB_ICONEXCLAMATION}));
    EXPECT_EQ(replaced, 0);
}

TEST_F(SessionTest, FlashStoreAndFactoryRestore) {
    Connect();
    EXPECT_EQ(session.WriteToFlash(), SensorSession::FlashOutcome::Done);
    ASSERT_EQ(messages.shown.size(), 2u);
    EXPECT_EQ(messages.shown[1],
              (Shown{"When including, parameters written in FLASH will by default.", "MK271-SP.",
                     MB_OK}));
    messages.shown.clear();

    // The sensor at 230400, address 4: the restore brings both back to the factory.
    session.Values()[kNetworkAddress] = 4;
    session.LoadParameter(kNetworkAddress);
    session.Values()[kUartBaudrate] = 96;
    session.LoadParameter(kUartBaudrate);
    addresses.clear();
    bauds.clear();
    replaced = 0;
    session.RestoreFactorySettings();
    EXPECT_EQ(session.BaudRate(), 115200u);
    EXPECT_EQ(session.Address(), 1);
    EXPECT_EQ(bauds, (std::vector<std::uint32_t>{115200}));
    EXPECT_EQ(addresses, (std::vector<int>{1}));
    EXPECT_EQ(messages.shown.back(),
              (Shown{"All parameters restored in FLASH.", "MK271-SP.", MB_OK}));
    EXPECT_EQ(replaced, 2);  // adopted, then shown once more
}

TEST_F(SessionTest, FailingRestoreStillRefreshesTheGrid) {
    Connect();
    sim::Faults faults;
    faults.short_reply_command = 4;
    sim.sensor->SetFaults(faults);
    session.RestoreFactorySettings();
    EXPECT_EQ(messages.shown.back(), (Shown{"Restore ERROR.", "MK271-SP.", MB_OK | MB_ICONSTOP}));
    EXPECT_EQ(replaced, 1);
    EXPECT_EQ(session.WriteToFlash(), SensorSession::FlashOutcome::Failed);
    EXPECT_EQ(messages.shown.back(), (Shown{"Write ERROR.", "MK271-SP.", MB_OK | MB_ICONSTOP}));
}

TEST_F(SessionTest, RestoreWhoseRereadFailsEndsWithoutAMessage) {
    Connect();
    sim::Faults faults;
    faults.silent_after_requests = 1;  // the restore only
    sim.sensor->SetFaults(faults);
    messages.shown.clear();
    EXPECT_EQ(session.RestoreFactorySettings(), SensorSession::FlashOutcome::Failed);
    EXPECT_EQ(messages.shown.size(), 1u);  // the question only
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
    EXPECT_EQ(session.UploadCalibration(
                  path, [&](int done, int total) { blocks.emplace_back(done, total); }),
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
    EXPECT_EQ(messages.shown,
              (std::vector<Shown>{{"Файл калибровки записан в датчик!!!", "Сообщение...", MB_OK}}));
    EXPECT_EQ(sim.sensor->CalibrationBlocks().size(), 30u);
    EXPECT_EQ((*sim.sensor->CalibrationBlock(0))[5],
              static_cast<std::uint16_t>(testing::SampleValue(5)));
}

TEST_F(SessionTest, CalibrationFileRefusedSendsNothing) {
    Connect();
    testing::TempDir dir;
    const std::string path = dir.Write("bad.tbl", testing::TblText({"12", "1x3"}));
    EXPECT_EQ(session.UploadCalibration(path), SensorSession::UploadResult::FileRefused);
    EXPECT_TRUE(Wire().WrittenBytes().empty());
    ASSERT_EQ(messages.shown.size(), 1u);
    EXPECT_EQ(messages.shown[0].text, "'1x3' is not a valid integer value");
    EXPECT_TRUE(progress.empty());

    messages.shown.clear();
    EXPECT_EQ(session.UploadCalibration(dir.Path("missing.tbl")),
              SensorSession::UploadResult::FileRefused);
    EXPECT_EQ(messages.shown[0].text, "Cannot open file " + dir.Path("missing.tbl") + ".");
    EXPECT_TRUE(Wire().WrittenBytes().empty());
}

TEST_F(SessionTest, CalibrationStopsWhereTheSensorFallsSilent) {
    Connect();
    testing::TempDir dir;
    const std::string path = dir.Write("1234.tbl", testing::TblText(testing::SampleFields(15900)));
    sim::Faults faults;
    faults.silent_after_requests = 5;  // blocks 0 to 4
    sim.sensor->SetFaults(faults);
    EXPECT_EQ(session.UploadCalibration(path), SensorSession::UploadResult::Failed);
    EXPECT_EQ(sim.sensor->CalibrationBlocks().size(), 5u);
    EXPECT_EQ(progress.back(), 13);  // 4 * 100 / 30
    EXPECT_EQ(messages.shown, (std::vector<Shown>{{"Ошибка записи файла калибровки!!!",
                                                   "Внимание !", MB_OK | MB_ICONEXCLAMATION}}));
}

TEST(SessionTexts, CompareTextsUseRawUnsignedValues) {
    ParameterSet values = DefaultParameterSet();
    ParameterSet read = values;
    values[kDiaCorrection] = 0xFFFF;
    EXPECT_EQ(CompareMismatchText(kDiaCorrection, values, read),
              "Parameters 'Dia Correction' not equal:\rWrite=65535, Read=0.");
}

}  // namespace
}  // namespace mk27x
