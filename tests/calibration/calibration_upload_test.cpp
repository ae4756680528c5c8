// The calibration upload: the wire bytes and pauses of each block, the
// acknowledgements, and whole uploads into the virtual sensor (in process and
// over a pseudo-terminal through the real serial backend).
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "calibration/calibration_block.h"
#include "calibration/calibration_upload.h"
#include "in_process_transport.h"
#include "pty_server.h"
#include "support/recording_message_box.h"
#include "support/scripted_transport.h"
#include "support/virtual_clock.h"
#include "tbl_files.h"
#include "transport/port_backends.h"
#include "virtual_sensor.h"

namespace mk27x {
namespace {

using testing::SampleFields;
using testing::SampleValue;
using testing::ScriptedPort;
using testing::TblText;
using testing::TempDir;
using testing::WireEvent;
using Bytes = std::vector<std::uint8_t>;
using Progress = std::vector<std::pair<int, int>>;

// --- against a scripted wire --------------------------------------------------

class ScriptedUpload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.port.Open());
        link.wire->events.clear();
    }
    void Acks(int count, Bytes ack = {0x8A, 0x8A}) {
        for (int i = 0; i < count; ++i) link.wire->replies.push_back(ack);
    }
    UploadOutcome Upload(const CalibrationTable& table) {
        return UploadCalibration(proto, table, [this](int b, int n) {
            progress.push_back({b, n});
        });
    }
    // The events after the last read; empty when the log ends with a read.
    std::size_t EventsAfterLastRead() const {
        const auto& ev = link.wire->events;
        std::size_t n = 0;
        for (auto it = ev.rbegin(); it != ev.rend() && it->kind != WireEvent::Read; ++it) ++n;
        return n;
    }

    ScriptedPort link;
    SensorProtocol proto{link.port, link.clock};
    Progress progress;
};

TEST_F(ScriptedUpload, EachBlockIsAddressCommand100msThenOneWriteAndATwoByteRead) {
    proto.SetNetAddress(7);
    CalibrationTable table(2);
    table.entries[0] = 1234;
    table.entries[512] = -1;
    Acks(30);
    const UploadOutcome outcome = Upload(table);
    ASSERT_TRUE(outcome.ok());
    EXPECT_EQ(outcome.blocks, 30);
    EXPECT_EQ(outcome.blocks_written, 30);
    EXPECT_EQ(outcome.failed_block(), -1);

    // Block 0, literally.
    const auto& ev = link.wire->events;
    ASSERT_GE(ev.size(), 5u);
    EXPECT_EQ(ev[0].kind, WireEvent::Purge);
    EXPECT_EQ(ev[1].kind, WireEvent::Write);
    EXPECT_EQ(ev[1].bytes, Bytes{0x07});
    EXPECT_EQ(ev[2].bytes, Bytes{0x8A});
    EXPECT_EQ(ev[2].at_ms - ev[1].at_ms, 5);
    ASSERT_EQ(ev[3].kind, WireEvent::Write);
    ASSERT_EQ(ev[3].bytes.size(), 2052u);
    EXPECT_EQ(ev[3].at_ms - ev[2].at_ms, 100);
    EXPECT_EQ(Bytes(ev[3].bytes.begin(), ev[3].bytes.begin() + 8),
              (Bytes{0x84, 0x80, 0x82, 0x8D, 0x80, 0x80, 0x80, 0x80}));
    EXPECT_EQ(Bytes(ev[3].bytes.end() - 4, ev[3].bytes.end()), (Bytes{0x80, 0x80, 0x8A, 0x8A}));
    EXPECT_EQ(ev[4].kind, WireEvent::Read);
    EXPECT_EQ(ev[4].asked, 2u);
    EXPECT_EQ(ev[4].at_ms, ev[3].at_ms);

    // Every block the same way, one after the other with no pause between.
    const auto requests = link.wire->Requests();
    ASSERT_EQ(requests.size(), 30u);
    for (int b = 0; b < 30; ++b) {
        const CalibrationBlock expected = BuildCalibrationBlock(table, b);
        Bytes want{0x07, 0x8A};
        want.insert(want.end(), expected.begin(), expected.end());
        ASSERT_EQ(requests[b], want) << "block " << b;
    }
    EXPECT_EQ(Bytes(requests[1].begin() + 2, requests[1].begin() + 6),
              (Bytes{0x8F, 0x8F, 0x8F, 0x8F}));
    const std::vector<long> gaps = link.wire->WriteGaps();
    EXPECT_EQ(std::vector<long>(gaps.begin(), gaps.begin() + 5),
              (std::vector<long>{5, 100, 0, 5, 100}));
    EXPECT_EQ(link.wire->ReadSizes(), std::vector<std::size_t>(30, 2));
    EXPECT_EQ(link.clock.TotalPausedMs(), 30u * 105u);

    Progress want;
    for (int b = 0; b < 30; ++b) want.push_back({b, 30});
    EXPECT_EQ(progress, want);
    EXPECT_TRUE(outcome.ok());
}

TEST_F(ScriptedUpload, AcknowledgementIsTheLowNibblesOfNibbleBytes) {
    link.wire->replies = {{0x8A, 0x8A}, {0x8A, 0x80}, {0x8A, 0x8A}};
    const UploadOutcome outcome = Upload(CalibrationTable(2));
    EXPECT_EQ(outcome.result, UploadOutcome::Result::Rejected);
    EXPECT_EQ(outcome.acknowledgement, 0x0Au);
    EXPECT_EQ(outcome.blocks_written, 1);
    EXPECT_EQ(outcome.failed_block(), 1);
    EXPECT_EQ(progress, (Progress{{0, 30}}));
    EXPECT_EQ(link.wire->Requests().size(), 2u);  // nothing after the rejected block
    EXPECT_EQ(EventsAfterLastRead(), 0u);
    EXPECT_FALSE(outcome.ok());
    EXPECT_EQ(CalibrationAckValue(0xFA, 0x3A), 0xAAu);
    EXPECT_EQ(CalibrationAckValue(0x0A, 0x00), 0x0Au);
    EXPECT_EQ(CalibrationAckValue(0x8A, 0x80), 0x0Au);
}

TEST_F(ScriptedUpload, AnAcknowledgementOfOtherBytesIsNone) {
    link.wire->replies = {{0xFA, 0x3A}};
    EXPECT_EQ(Upload(CalibrationTable(2)).result, UploadOutcome::Result::NoAcknowledgement);
}

TEST_F(ScriptedUpload, ShortOrMissingAcknowledgementStopsAtThatBlock) {
    Acks(3);
    link.wire->replies.push_back({0x8A});  // one byte of two
    const UploadOutcome one = Upload(CalibrationTable(1));
    EXPECT_EQ(one.result, UploadOutcome::Result::NoAcknowledgement);
    EXPECT_EQ(one.blocks, 82);
    EXPECT_EQ(one.failed_block(), 3);
    EXPECT_EQ(progress.back(), (std::pair{2, 82}));
    EXPECT_EQ(link.wire->Requests().size(), 4u);
    EXPECT_FALSE(one.ok());

    link.wire->events.clear();
    const UploadOutcome none = Upload(CalibrationTable(1));  // silent from the start
    EXPECT_EQ(none.result, UploadOutcome::Result::NoAcknowledgement);
    EXPECT_EQ(none.failed_block(), 0);
    EXPECT_EQ(link.wire->Requests().size(), 1u);
}

TEST(CalibrationProgress, PositionAfterEachBlock) {
    EXPECT_EQ(CalibrationProgressPosition(0, 82), 0);
    EXPECT_EQ(CalibrationProgressPosition(1, 82), 1);
    EXPECT_EQ(CalibrationProgressPosition(41, 82), 50);
    EXPECT_EQ(CalibrationProgressPosition(81, 82), 98);
    EXPECT_EQ(CalibrationProgressPosition(29, 30), 96);
    EXPECT_EQ(CalibrationProgressPosition(3, 30), 10);
}

// --- against the virtual sensor, in process ------------------------------------

sim::SensorConfig ReleaseConfig(std::uint8_t release) {
    sim::SensorConfig config;
    config.identity.release = release;
    return config;
}

class SensorUpload : public ::testing::Test {
protected:
    void Connect(std::uint8_t release) {
        sensor = std::make_shared<sim::VirtualSensor>(ReleaseConfig(release));
        wire = std::make_shared<sim::InProcessTransport>(sensor);
        ASSERT_TRUE(port.Open());
        ASSERT_TRUE(proto.IdentifySensor());
        ASSERT_EQ(proto.Identity.Release, release);
        wire->ClearLog();
        clock.ClearPauses();
        purges_before = wire->PurgeCount();
    }
    CalibrationFileUpload UploadFile(const std::string& path) {
        return UploadCalibrationFile(
            proto, path,
            [this](int b, int n) { positions.push_back(CalibrationProgressPosition(b, n)); },
            [this] { started_after_bytes = static_cast<long>(wire->WrittenBytes().size()); });
    }
    // The 16-bit value the sensor holds at table entry i, or nothing when the
    // block of that entry was never accepted.
    std::optional<std::uint16_t> Held(const std::map<std::uint8_t, sim::CalibrationValues>& blocks,
                                      int i) const {
        const auto it = blocks.find(static_cast<std::uint8_t>(i / 512));
        if (it == blocks.end()) return std::nullopt;
        return it->second[static_cast<std::size_t>(i % 512)];
    }

    TempDir dir;
    VirtualClock clock;
    std::shared_ptr<sim::VirtualSensor> sensor;
    std::shared_ptr<sim::InProcessTransport> wire;
    SensorPort port{
        PortBackends{[this](const std::string&, std::uint32_t, std::string&) { return wire; },
                     [this](std::uint32_t) { return wire; }}};
    SensorProtocol proto{port, clock};
    std::vector<int> positions;
    long started_after_bytes = -1;
    std::size_t purges_before = 0;
};

TEST_F(SensorUpload, ReleaseOneFileOf41740LinesFills82BlocksLast244Zero) {
    Connect(1);
    const auto result = UploadFile(dir.Write("1234.tbl", TblText(SampleFields(41740), "\r\n")));
    ASSERT_TRUE(result.upload.has_value()) << result.refusal.text;
    EXPECT_TRUE(result.upload->ok());
    EXPECT_EQ(started_after_bytes, 0);

    const auto blocks = sensor->CalibrationBlocks();
    ASSERT_EQ(blocks.size(), 82u);
    EXPECT_EQ(blocks.rbegin()->first, 81);
    for (int i = 0; i < 41740; ++i)
        ASSERT_EQ(Held(blocks, i), static_cast<std::uint16_t>(SampleValue(i))) << "entry " << i;
    for (int i = 41740; i < 41984; ++i) ASSERT_EQ(Held(blocks, i), 0) << "entry " << i;

    EXPECT_EQ(wire->WrittenBytes().size(), 82u * 2054u);
    EXPECT_EQ(wire->ShortReads(), 0u);
    EXPECT_EQ(clock.TotalPausedMs(), 82u * 105u);
    ASSERT_EQ(positions.size(), 82u);
    EXPECT_EQ(positions.front(), 0);
    EXPECT_EQ(positions.back(), 98);
}

TEST_F(SensorUpload, OtherReleaseSends30BlocksOf15900Lines) {
    Connect(3);
    const auto result = UploadFile(dir.Write("a.tbl", TblText(SampleFields(15900))));
    ASSERT_TRUE(result.upload && result.upload->ok()) << result.refusal.text;
    const auto blocks = sensor->CalibrationBlocks();
    ASSERT_EQ(blocks.size(), 30u);
    EXPECT_EQ(blocks.rbegin()->first, 29);
    for (int i = 0; i < 15360; ++i)
        ASSERT_EQ(Held(blocks, i), static_cast<std::uint16_t>(SampleValue(i))) << "entry " << i;
    EXPECT_EQ(positions.back(), 96);
}

TEST_F(SensorUpload, SensorThatStopsAcknowledgingAtBlock5) {
    Connect(2);
    sim::Faults faults;
    faults.silent_after_requests = 5;
    sensor->SetFaults(faults);
    const auto result = UploadFile(dir.Write("a.tbl", TblText(SampleFields(100))));
    ASSERT_TRUE(result.upload.has_value());
    EXPECT_EQ(result.upload->result, UploadOutcome::Result::NoAcknowledgement);
    EXPECT_EQ(result.upload->failed_block(), 5);
    EXPECT_FALSE(result.upload->ok());
    const auto blocks = sensor->CalibrationBlocks();
    std::set<int> numbers;
    for (const auto& [b, values] : blocks) numbers.insert(b);
    EXPECT_EQ(numbers, (std::set<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(positions, (std::vector<int>{0, 3, 6, 10, 13}));
    // The sixth block went out whole; nothing after it.
    EXPECT_EQ(wire->WrittenBytes().size(), 6u * 2054u);
    EXPECT_EQ(proto.LinkAlive(), 1);  // the upload leaves the link state alone
}

TEST_F(SensorUpload, RefusedFilesSendNothing) {
    Connect(2);
    const std::string missing = dir.Path("missing.tbl");
    const std::vector<std::pair<std::string, std::string>> files = {
        {dir.Write("empty.tbl", ""), "'' is not a valid integer value"},
        {dir.Write("header.tbl", "header\r\n"), "'' is not a valid integer value"},
        {dir.Write("short.tbl", TblText({"1", "2", "3"}) + "short line\n"),
         "'' is not a valid integer value"},
        {dir.Write("long.tbl", TblText({"1", "12345678"})),
         "'12345678' is not a valid integer value"},
        {dir.Write("text.tbl", TblText({"1", "2", "twelve"})),
         "'twelve' is not a valid integer value"},
        {dir.Write("binary.tbl", TblText({"1", std::string("2\0"
                                                           "3",
                                                           3)})),
         "'2' is not a valid integer value"},
    };
    for (const auto& [path, text] : files) {
        const auto result = UploadFile(path);
        EXPECT_FALSE(result.upload.has_value()) << path;
        EXPECT_EQ(result.refusal,
                  (CalibrationRefusal{CalibrationRefusal::Kind::ConversionError, text}))
            << path;
    }
    const auto result = UploadFile(missing);
    EXPECT_FALSE(result.upload.has_value());
    EXPECT_EQ(result.refusal, (CalibrationRefusal{CalibrationRefusal::Kind::CannotOpen,
                                                  "Cannot open file " + missing + "."}));

    EXPECT_TRUE(wire->WrittenBytes().empty());
    EXPECT_EQ(wire->PurgeCount(), purges_before);
    EXPECT_TRUE(positions.empty());
    EXPECT_EQ(started_after_bytes, -1);
    EXPECT_TRUE(sensor->CalibrationBlocks().empty());
}

// --- end to end: the real serial backend on a pseudo-terminal -------------------

TEST(CalibrationUploadE2E, ThirtyBlocksThroughTheSerialBackend) {
    auto sensor = std::make_shared<sim::VirtualSensor>(ReleaseConfig(2));
    sim::PtySensorServer server(sensor);
    ASSERT_TRUE(server.Start()) << server.Error();
    SensorPort port(RealPortBackends());
    port.SetPortName(server.SlavePath());
    ASSERT_TRUE(port.Open());
    SensorProtocol proto(port, SystemClock::Instance());
    ASSERT_TRUE(proto.IdentifySensor());

    TempDir dir;
    const auto result =
        UploadCalibrationFile(proto, dir.Write("1234.tbl", TblText(SampleFields(15900), "\r\n")));
    ASSERT_TRUE(result.upload && result.upload->ok()) << result.refusal.text;
    const auto blocks = sensor->CalibrationBlocks();
    ASSERT_EQ(blocks.size(), 30u);
    for (int i = 0; i < 15360; ++i)
        ASSERT_EQ(blocks.at(static_cast<std::uint8_t>(i / 512))[i % 512],
                  static_cast<std::uint16_t>(SampleValue(i)))
            << "entry " << i;
}

}  // namespace
}  // namespace mk27x
