// Request protocol against a scripted wire: the bytes, the pauses between them
// and the read sizes are asserted literally.
#include <gtest/gtest.h>

#include "protocol/protocol.h"
#include "support/recording_message_box.h"
#include "support/scripted_transport.h"

namespace mk27x {
namespace {

using testing::ScriptedPort;
using testing::ScriptedTransport;
using testing::WireEvent;
using Bytes = std::vector<std::uint8_t>;

class ProtocolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(link.port.Open());
        proto.events.progress = [this](int done, int total) {
            progress.push_back(done);
            progress_max = total;
        };
        proto.events.address_changed = [this](std::uint8_t a) { addresses.push_back(a); };
        proto.events.baud_changed = [this](std::uint32_t b) { bauds.push_back(b); };
        proto.events.parameters_replaced = [this] { ++grid_fills; };
    }
    ScriptedTransport& wire() { return *link.wire; }
    void Reply(Bytes b) { wire().replies.push_back(std::move(b)); }
    // Register replies of a factory-fresh sensor for parameters [0, count).
    void ReplyRegisters(std::initializer_list<std::uint8_t> register_bytes) {
        for (std::uint8_t b : register_bytes)
            Reply({static_cast<std::uint8_t>(0x80 | (b & 0xF)),
                   static_cast<std::uint8_t>(0x80 | (b >> 4))});
    }

    ScriptedPort link;
    SensorProtocol proto{link.port, link.clock};
    int progress_max = -1;
    std::vector<int> progress;
    std::vector<int> addresses;
    std::vector<std::uint32_t> bauds;
    int grid_fills = 0;
};

// --- identification ---------------------------------------------------------

TEST_F(ProtocolTest, IdentifySendsAddressThenCommandAndReadsSixteenAtOnce) {
    SensorIdentity shown;
    proto.events.identity_known = [&](const SensorIdentity& id) { shown = id; };
    // Model 0x1B, release 0x02, serial 0x04D2, base 0x0064, range 0x00FA.
    Reply({0x8B, 0x81, 0x82, 0x80, 0x82, 0x8D, 0x84, 0x80, 0x84, 0x86, 0x80, 0x80, 0x8A, 0x8F, 0x80,
           0x80});
    ASSERT_TRUE(proto.IdentifySensor());

    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x81}}));
    EXPECT_EQ(wire().WriteGaps(), (std::vector<long>{5}));
    EXPECT_EQ(wire().ReadSizes(), (std::vector<std::size_t>{16}));
    EXPECT_EQ(proto.Identity, (SensorIdentity{0x1B, 0x02, 1234, 100, 250}));
    EXPECT_EQ(shown, proto.Identity);
    EXPECT_EQ(proto.LinkAlive(), 1);
}

TEST_F(ProtocolTest, FifteenByteIdentificationFailsAndKeepsTheIdentity) {
    proto.Identity = SensorIdentity{1, 2, 3, 4, 5};
    proto.SetLinkAlive(true);
    bool shown = false;
    proto.events.identity_known = [&](const SensorIdentity&) { shown = true; };
    Reply(Bytes(15, 0x81));
    EXPECT_FALSE(proto.IdentifySensor());
    EXPECT_EQ(proto.Identity, (SensorIdentity{1, 2, 3, 4, 5}));
    EXPECT_FALSE(shown);
    EXPECT_EQ(proto.LinkAlive(), 0);
}

// --- register reads and writes ----------------------------------------------

TEST_F(ProtocolTest, ReadSamplingPeriodTwoRegistersLowFirst) {
    Reply({0x84, 0x81});
    Reply({0x81, 0x80});
    ASSERT_TRUE(proto.ReadParameter(kSamplingPeriod));
    EXPECT_EQ(wire().Requests(),
              (std::vector<Bytes>{{0x01, 0x82, 0x88, 0x80}, {0x01, 0x82, 0x89, 0x80}}));
    EXPECT_EQ(wire().WriteGaps(), (std::vector<long>{5, 5, 5, 0, 5, 5, 5}));
    EXPECT_EQ(wire().ReadSizes(), (std::vector<std::size_t>{2, 2}));
    EXPECT_EQ(proto.ReadBackValues[kSamplingPeriod], 276);
    EXPECT_EQ(proto.LinkAlive(), 1);
}

TEST_F(ProtocolTest, EveryReplyDecoderTakesNibbleBytesOnly) {
    // A byte outside 0x80..0x8F fails the exchange like a short reply: nothing
    // is decoded from it.
    proto.ReadBackValues[8] = 7;
    Reply({0x85, 0x83});
    ASSERT_TRUE(proto.ReadParameter(8));
    EXPECT_EQ(proto.ReadBackValues[8], 0x35);
    for (std::uint8_t bad : {0x05, 0x95, 0xF5, 0x7F}) {
        Reply({bad, 0x83});
        EXPECT_FALSE(proto.ReadParameter(8)) << +bad;
        EXPECT_EQ(proto.ReadBackValues[8], 0x35);
        EXPECT_EQ(proto.LinkAlive(), 0);
    }
    proto.Identity = SensorIdentity{1, 2, 3, 4, 5};
    Bytes identity(16, 0x81);
    identity[15] = 0x01;  // a stream frame byte
    Reply(identity);
    EXPECT_FALSE(proto.IdentifySensor());
    EXPECT_EQ(proto.Identity, (SensorIdentity{1, 2, 3, 4, 5}));
    proto.LastDistance = 3.0f;
    Reply({0x80, 0x80, 0x90, 0x80});
    EXPECT_FALSE(proto.MeasureOnce());
    EXPECT_EQ(proto.LastDistance, 3.0f);
    Reply({0x8A, 0xAA});
    EXPECT_EQ(proto.WriteParametersToFlash(), FlashResult::NoEcho);
}

TEST_F(ProtocolTest, SilentSecondRegisterFailsWithoutFurtherRequests) {
    proto.ReadBackValues[kSamplingPeriod] = 777;
    proto.SetLinkAlive(true);
    Reply({0x84, 0x81});
    EXPECT_FALSE(proto.ReadParameter(kSamplingPeriod));
    EXPECT_EQ(wire().Requests().size(), 2u);
    EXPECT_EQ(proto.ReadBackValues[kSamplingPeriod], 777);
    EXPECT_EQ(proto.LinkAlive(), 0);
}

TEST_F(ProtocolTest, WriteSamplingPeriodHighRegisterFirst) {
    proto.ParameterValues[kSamplingPeriod] = 500;
    proto.WriteParameter(kSamplingPeriod);
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x83, 0x89, 0x80, 0x81, 0x80},
                                                     {0x01, 0x83, 0x88, 0x80, 0x84, 0x8F}}));
    EXPECT_EQ(wire().WriteGaps(), (std::vector<long>{5, 5, 5, 5, 5, 0, 5, 5, 5, 5, 5}));
    EXPECT_TRUE(wire().ReadSizes().empty());
}

TEST_F(ProtocolTest, EtalonOccupiesTwoRegistersLowByteAtTheLowerAddress) {
    proto.ParameterValues[9] = 0x1234;
    proto.WriteParameter(9);
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x83, 0x88, 0x81, 0x82, 0x81},
                                                     {0x01, 0x83, 0x87, 0x81, 0x84, 0x83}}));
}

TEST_F(ProtocolTest, PackedRegister1EHoldsBordersMinusOneAndMeasureType) {
    proto.ParameterValues[kNumberOfBorders] = 3;
    proto.ParameterValues[kMeasureType] = 2;
    proto.WriteParameter(kNumberOfBorders);
    proto.WriteParameter(kMeasureType);
    const Bytes expected{0x01, 0x83, 0x8E, 0x81, 0x82, 0x82};
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{expected, expected}));

    ReplyRegisters({0x22, 0x22});
    ASSERT_TRUE(proto.ReadParameter(kNumberOfBorders));
    ASSERT_TRUE(proto.ReadParameter(kMeasureType));
    EXPECT_EQ(proto.ReadBackValues[kNumberOfBorders], 3);
    EXPECT_EQ(proto.ReadBackValues[kMeasureType], 2);
}

TEST_F(ProtocolTest, PackedRegister1FHoldsBothBordersMinusOne) {
    proto.ParameterValues[kBorderA] = 1;
    proto.ParameterValues[kBorderB] = 15;
    proto.WriteParameter(kBorderB);
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x83, 0x8F, 0x81, 0x8E, 0x80}}));

    ReplyRegisters({0x0E, 0x0E});
    ASSERT_TRUE(proto.ReadParameter(kBorderA));
    ASSERT_TRUE(proto.ReadParameter(kBorderB));
    EXPECT_EQ(proto.ReadBackValues[kBorderA], 1);
    EXPECT_EQ(proto.ReadBackValues[kBorderB], 15);
}

TEST_F(ProtocolTest, ZeroBordersHaveNoNibbleFormAndSendAllOnes) {
    // The factory defaults of the working set keep 0 for both borders.
    proto.WriteParameter(kBorderA);
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x83, 0x8F, 0x81, 0xFF, 0xFF}}));
}

TEST_F(ProtocolTest, NetworkAddressWriteRedirectsLaterRequests) {
    proto.ParameterValues[kNetworkAddress] = 5;
    proto.WriteParameter(kNetworkAddress);
    Reply({0x81, 0x80});
    proto.ReadParameter(kSensorOnOff);
    EXPECT_EQ(wire().Requests(),
              (std::vector<Bytes>{{0x01, 0x83, 0x83, 0x80, 0x85, 0x80}, {0x05, 0x82, 0x80, 0x80}}));
    EXPECT_EQ(proto.NetAddress(), 5);
    EXPECT_EQ(addresses, (std::vector<int>{5}));
}

TEST_F(ProtocolTest, BaudWriteSwitchesThePortBetweenTwoPauses) {
    proto.ParameterValues[kUartBaudrate] = 48;
    proto.WriteParameter(kUartBaudrate);
    ASSERT_EQ(wire().events.back().kind, WireEvent::Baud);
    EXPECT_EQ(wire().events.back().baud, 115200u);
    EXPECT_EQ(link.port.PortBaudRate(), 115200u);
    EXPECT_EQ(bauds, (std::vector<std::uint32_t>{115200}));
    const auto pauses = link.clock.Pauses();
    ASSERT_GE(pauses.size(), 2u);
    EXPECT_EQ(std::vector<unsigned>(pauses.end() - 2, pauses.end()), (std::vector<unsigned>{5, 5}));
    EXPECT_EQ(wire().events.back().at_ms - wire().events[wire().events.size() - 2].at_ms, 5);
}

TEST_F(ProtocolTest, BaudWriteOf921600SendsOnlyTheLowByte) {
    proto.ParameterValues[kUartBaudrate] = 384;
    proto.WriteParameter(kUartBaudrate);
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x83, 0x84, 0x80, 0x80, 0x88}}));
    EXPECT_EQ(link.port.PortBaudRate(), 921600u);
    EXPECT_EQ(bauds, (std::vector<std::uint32_t>{921600}));
}

TEST_F(ProtocolTest, BaudWriteOfAnUnlistedRateStillSwitchesThePort) {
    proto.ParameterValues[kUartBaudrate] = 8;
    proto.WriteParameter(kUartBaudrate);
    EXPECT_EQ(link.port.PortBaudRate(), 19200u);
    EXPECT_EQ(bauds, (std::vector<std::uint32_t>{19200}));
}

// --- whole sets -------------------------------------------------------------

TEST_F(ProtocolTest, ReadAllStopsAtTheFirstSilentParameter) {
    // Parameters 0..6 occupy nine registers; parameter 7 gets no answer.
    ReplyRegisters({0x01, 0x00, 0x01, 0x04, 0x01, 0xF4, 0x01, 0x00, 0x00});
    proto.SetLinkAlive(true);
    EXPECT_FALSE(proto.ReadAllParameters());
    const auto requests = wire().Requests();
    ASSERT_EQ(requests.size(), 10u);
    EXPECT_EQ(requests.back(), (Bytes{0x01, 0x82, 0x8E, 0x80}));
    EXPECT_EQ(progress_max, 19);
    EXPECT_EQ(progress, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(proto.LinkAlive(), 0);
    EXPECT_EQ(proto.ReadBackValues[kSamplingPeriod], 500);
}

TEST_F(ProtocolTest, WriteAllSendsTwentyNineRegisterWritesFromTheLastParameter) {
    proto.WriteAllParameters();
    const auto requests = wire().Requests();
    ASSERT_EQ(requests.size(), 29u);
    for (const auto& r : requests) {
        ASSERT_EQ(r.size(), 6u);
        EXPECT_EQ(r[1], 0x83);
    }
    EXPECT_EQ(requests.front(), (Bytes{0x01, 0x83, 0x86, 0x81, 0x80, 0x80}));  // 0x16, high byte
    EXPECT_EQ(requests.back(), (Bytes{0x01, 0x83, 0x80, 0x80, 0x81, 0x80}));   // 0x00 = on
    EXPECT_EQ(progress, (std::vector<int>{1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                          11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));
    // 29 writes of five 5 ms pauses, plus the two around the baud switch.
    EXPECT_EQ(link.clock.TotalPausedMs(), 29u * 25 + 10);
    // The default baud value 4 switches the port to 9600 before parameters 2, 1, 0.
    EXPECT_EQ(link.port.PortBaudRate(), 9600u);
}

TEST_F(ProtocolTest, CompareReportsEqualityOfTheTwoSets) {
    proto.ParameterValues[8] = 0x35;
    Reply({0x85, 0x83});
    EXPECT_TRUE(proto.CompareParameter(8));
    Reply({0x86, 0x83});
    EXPECT_FALSE(proto.CompareParameter(8));
    EXPECT_FALSE(proto.CompareParameter(8));  // silent
}

// --- FLASH ------------------------------------------------------------------

TEST_F(ProtocolTest, FlashStoreWaitsOneSecondForTheEcho) {
    Reply({0x8A, 0x8A});
    EXPECT_EQ(proto.WriteParametersToFlash(), FlashResult::Done);
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x84, 0x8A, 0x8A}}));
    EXPECT_EQ(link.clock.Pauses(), (std::vector<unsigned>{5, 5, 5, 1000}));
    EXPECT_EQ(wire().ReadSizes(), (std::vector<std::size_t>{2}));
}

TEST_F(ProtocolTest, FlashStoreErrorOnWrongOrShortEcho) {
    Reply({0x8A, 0x80});
    EXPECT_EQ(proto.WriteParametersToFlash(), FlashResult::NoEcho);
    Reply({0x8A});
    EXPECT_EQ(proto.WriteParametersToFlash(), FlashResult::NoEcho);
}

TEST_F(ProtocolTest, RestoreResetsTheLinkRereadsAndReports) {
    proto.SetNetAddress(7);
    link.port.SetPortBaudRate(9600);
    Reply({0x89, 0x86});
    for (int i = 0; i < 29; ++i) Reply({0x80, 0x80});
    EXPECT_EQ(proto.RestoreFactoryParameters(), FlashResult::Done);

    auto requests = wire().Requests();
    ASSERT_EQ(requests.size(), 30u);
    EXPECT_EQ(requests[0], (Bytes{0x07, 0x84, 0x89, 0x86}));
    EXPECT_EQ(requests[1], (Bytes{0x01, 0x82, 0x80, 0x80}));
    EXPECT_EQ(link.port.PortBaudRate(), 115200u);
    EXPECT_EQ(bauds, (std::vector<std::uint32_t>{115200}));
    EXPECT_EQ(addresses, (std::vector<int>{1}));
    const auto pauses = link.clock.Pauses();
    EXPECT_EQ(pauses[3], 1000u);
    EXPECT_EQ(pauses[4], 500u);
    EXPECT_EQ(grid_fills, 1);
    EXPECT_EQ(proto.ParameterValues, proto.ReadBackValues);
}

TEST_F(ProtocolTest, RestoreWhoseRereadFailsKeepsTheFactoryLinkSilently) {
    proto.SetNetAddress(7);
    link.port.SetPortBaudRate(9600);
    Reply({0x89, 0x86});
    EXPECT_EQ(proto.RestoreFactoryParameters(), FlashResult::ReadFailed);
    EXPECT_EQ(link.port.PortBaudRate(), 115200u);
    EXPECT_EQ(proto.NetAddress(), 1);
    EXPECT_EQ(grid_fills, 0);
}

TEST_F(ProtocolTest, RestoreErrorChangesNothing) {
    proto.SetNetAddress(7);
    Reply({0x8A, 0x8A});
    EXPECT_EQ(proto.RestoreFactoryParameters(), FlashResult::NoEcho);
    EXPECT_EQ(proto.NetAddress(), 7);
    EXPECT_EQ(wire().Requests().size(), 1u);
}

// --- measurement and stream -------------------------------------------------

TEST_F(ProtocolTest, MeasurementScalesBySignedRange) {
    proto.Identity.MeasuringRange = 100;
    Reply({0x80, 0x80, 0x80, 0x84});
    ASSERT_TRUE(proto.MeasureOnce());
    EXPECT_FLOAT_EQ(proto.LastDistance, 100.0f);
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x86}}));
    EXPECT_EQ(wire().ReadSizes(), (std::vector<std::size_t>{4}));

    Reply({0x80, 0x80, 0x80, 0x88});  // 0x8000
    ASSERT_TRUE(proto.MeasureOnce());
    EXPECT_FLOAT_EQ(proto.LastDistance, -200.0f);
}

TEST_F(ProtocolTest, MeasureDevModeUsesItsOwnCommand) {
    proto.MeasureDevMode = true;
    Reply({0x81, 0x80, 0x80, 0x80});
    ASSERT_TRUE(proto.MeasureOnce());
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x8D}}));
}

TEST_F(ProtocolTest, ShortMeasurementKeepsTheLastDistance) {
    proto.LastDistance = 12.5f;
    proto.SetLinkAlive(true);
    Reply({0x80, 0x80, 0x80});
    EXPECT_FALSE(proto.MeasureOnce());
    EXPECT_EQ(proto.LastDistance, 12.5f);
    EXPECT_EQ(proto.LinkAlive(), 0);
}

TEST_F(ProtocolTest, StreamStartAndStopAreBareCommands) {
    proto.StartStream();
    EXPECT_EQ(proto.LinkAlive(), 1);
    proto.StopStream();
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x87}, {0x01, 0x88}}));
    EXPECT_TRUE(wire().ReadSizes().empty());
}

TEST(DistanceText, ThreeDecimalsAndReadoutSuffix) {
    EXPECT_EQ(DistanceReadout(0.0f), "0.000 mm");
    EXPECT_EQ(DistanceReadout(DistanceMm(0x4000, 250)), "250.000 mm");
    EXPECT_EQ(DistanceReadout(DistanceMm(0xFFFF, 16384)), "-1.000 mm");
    EXPECT_EQ(DistanceText(DistanceMm(1, 50)), "0.003");
    // Small negative distances and -0.0 round to a plain zero.
    EXPECT_EQ(DistanceReadout(DistanceMm(0xFFFF, 5)), "0.000 mm");
    EXPECT_EQ(DistanceReadout(-0.0f), "0.000 mm");
    EXPECT_EQ(DistanceText(-0.0004f), "0.000");
    EXPECT_EQ(DistanceText(-0.0005f), "-0.001");
    EXPECT_EQ(DistanceText(-10.0f), "-10.000");
}

// --- link changes, whole identities and whole sets ---------------------------

class ProtocolEdges : public ProtocolTest {
protected:
    long NowMs() {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   link.clock.Now().time_since_epoch())
            .count();
    }
    // Index of the first event of `kind` in the log, or -1.
    long Find(WireEvent::Kind kind) const {
        const auto& ev = link.wire->events;
        for (std::size_t i = 0; i < ev.size(); ++i)
            if (ev[i].kind == kind) return static_cast<long>(i);
        return -1;
    }
};

TEST_F(ProtocolEdges, BaudWriteWaitsFiveMsOnEachSideOfTheSwitch) {
    proto.ParameterValues[kUartBaudrate] = 96;  // 230400
    proto.WriteParameter(kUartBaudrate);
    EXPECT_EQ(wire().Requests(), (std::vector<Bytes>{{0x01, 0x83, 0x84, 0x80, 0x80, 0x86}}));
    // Five pauses inside the request, one before the switch, one after it.
    EXPECT_EQ(link.clock.Pauses(), (std::vector<unsigned>{5, 5, 5, 5, 5, 5, 5}));
    const auto& ev = wire().events;
    ASSERT_EQ(ev.back().kind, WireEvent::Baud);
    EXPECT_EQ(ev.back().baud, 230400u);
    EXPECT_EQ(ev.back().at_ms - ev[ev.size() - 2].at_ms, 5);
    EXPECT_EQ(NowMs() - ev.back().at_ms, 5);
    EXPECT_EQ(bauds, (std::vector<std::uint32_t>{230400}));
}

TEST_F(ProtocolEdges, FactoryRestoreSwitchesThePortTo115200AndAddressOneBeforeTheReread) {
    proto.SetNetAddress(9);
    link.port.SetPortBaudRate(460800);
    Reply({0x89, 0x86});
    for (int i = 0; i < 29; ++i) Reply({0x80, 0x80});
    EXPECT_EQ(proto.RestoreFactoryParameters(), FlashResult::Done);

    const auto& ev = wire().events;
    const long baud = Find(WireEvent::Baud);
    ASSERT_GE(baud, 0);
    EXPECT_EQ(ev[static_cast<std::size_t>(baud)].baud, 115200u);
    // The switch follows the FLASH echo and comes 500 ms before the re-read,
    // whose first request goes to address 1.
    const long echo = 5;  // after the purge and the four request bytes
    ASSERT_EQ(ev[echo].kind, WireEvent::Read);
    EXPECT_EQ(baud, echo + 1);
    const WireEvent& reread = ev[static_cast<std::size_t>(baud + 1)];
    EXPECT_EQ(reread.kind, WireEvent::Purge);
    EXPECT_EQ(reread.at_ms - ev[static_cast<std::size_t>(baud)].at_ms, 500);
    EXPECT_EQ(ev[static_cast<std::size_t>(baud + 2)].bytes, Bytes{0x01});
    EXPECT_EQ(link.port.PortBaudRate(), 115200u);
    EXPECT_EQ(proto.NetAddress(), 1);
}

TEST_F(ProtocolEdges, IdentityTakesAllSixteenNibbles) {
    // Every nibble non-zero and every field using its top nibble: model 0x1B,
    // release 0x12, serial 0xABCD, base 0x4321, range 0x3765.
    Reply({0x8B, 0x81, 0x82, 0x81, 0x8D, 0x8C, 0x8B, 0x8A, 0x81, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87,
           0x83});
    ASSERT_TRUE(proto.IdentifySensor());
    EXPECT_EQ(proto.Identity.Model, 0x1B);
    EXPECT_EQ(proto.Identity.Release, 0x12);
    EXPECT_EQ(proto.Identity.SerialNumber, 0xABCD);
    EXPECT_EQ(proto.Identity.BaseDistance, 0x4321);
    EXPECT_EQ(proto.Identity.MeasuringRange, 0x3765);
}

TEST_F(ProtocolEdges, CompareAllSeesADifferenceInTheLastParameter) {
    // A sensor holding exactly the working set except "Dia Correction".
    auto reply_set = [&](std::uint16_t dia) {
        for (int p = 0; p < kParameterCount; ++p) {
            const ParameterRow& row = ParameterTable[static_cast<std::size_t>(p)];
            unsigned v =
                p == kDiaCorrection ? dia : proto.ParameterValues[static_cast<std::size_t>(p)];
            // Packed rows read back through their shared register.
            if (row.packing == Packing::HighNibbleMinusOne) v = (v - 1) << 4;
            if (row.packing == Packing::LowNibbleMinusOne) v = v - 1;
            for (unsigned k = 0; k < row.bytes; ++k) {
                const unsigned b = (v >> (8 * k)) & 0xFF;
                Reply({static_cast<std::uint8_t>(0x80 | (b & 0xF)),
                       static_cast<std::uint8_t>(0x80 | (b >> 4))});
            }
        }
    };
    proto.ParameterValues[kNumberOfBorders] = 1;
    proto.ParameterValues[kBorderA] = 1;
    proto.ParameterValues[kBorderB] = 1;
    proto.ParameterValues[kDiaCorrection] = 0xFFFE;  // -2
    reply_set(0xFFFE);
    EXPECT_TRUE(proto.CompareAllParameters());
    reply_set(0xFFFF);
    EXPECT_FALSE(proto.CompareAllParameters());
    EXPECT_EQ(proto.ReadBackValues[kDiaCorrection], 0xFFFF);
}

}  // namespace
}  // namespace mk27x
