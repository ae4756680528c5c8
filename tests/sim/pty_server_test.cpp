// The virtual sensor served on a pseudo-terminal, seen from the client's end.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "pty_server.h"
#include "support/pty.h"

namespace mk27x::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace mk27x::testing;

const Bytes kDefaultIdentity{0x8B, 0x81, 0x82, 0x80, 0x82, 0x8D, 0x84, 0x80,
                             0x84, 0x86, 0x80, 0x80, 0x82, 0x83, 0x80, 0x80};
const Bytes kMeasure8192{0x80, 0x80, 0x80, 0x82};

// Reads until n reply bytes (bit 7 set) have arrived; stream bytes (bit 7
// clear) on the way are skipped.
Bytes ReadReplySkippingStream(int fd, std::size_t n) {
    Bytes reply;
    while (reply.size() < n) {
        const Bytes b = ReadExactly(fd, 1);
        if (b.empty()) break;
        if (b[0] & 0x80) reply.push_back(b[0]);
    }
    return reply;
}

class PtyTest : public ::testing::Test {
protected:
    void StartServer(PtyServerOptions options = {}) {
        server = std::make_unique<PtySensorServer>(sensor, options);
        ASSERT_TRUE(server->Start()) << server->Error();
        ASSERT_EQ(server->SlavePath().rfind("/dev/", 0), 0u) << server->SlavePath();
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
        if (server) server->Stop();
    }

    std::shared_ptr<VirtualSensor> sensor = std::make_shared<VirtualSensor>();
    std::unique_ptr<PtySensorServer> server;
    int fd = -1;
};

TEST_F(PtyTest, IdentifyAndRegisterRead) {
    StartServer();
    fd = OpenRaw(server->SlavePath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x81}));
    EXPECT_EQ(ReadExactly(fd, 16), kDefaultIdentity);
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x82, 0x88, 0x80}));
    EXPECT_EQ(ReadExactly(fd, 2), (Bytes{0x84, 0x8F}));
}

TEST_F(PtyTest, RequestAtTheWrongSpeedIsIgnored) {
    StartServer();
    fd = OpenRaw(server->SlavePath(), B9600);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x81}));
    ASSERT_TRUE(WaitFor([&] { return server->BytesReceived() >= 2; }));
    SetSpeed(fd, B115200);
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x86}));
    // Had the identify been answered, its first bytes would come here.
    EXPECT_EQ(ReadExactly(fd, 4), kMeasure8192);
}

TEST_F(PtyTest, ClientMayCloseAndReopen) {
    StartServer();
    for (int round = 0; round < 3; ++round) {
        fd = OpenRaw(server->SlavePath());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(WriteAll(fd, {0x01, 0x81}));
        EXPECT_EQ(ReadExactly(fd, 16), kDefaultIdentity) << "round " << round;
        ::close(fd);
        fd = -1;
    }
    EXPECT_TRUE(server->Running());
    EXPECT_TRUE(server->Start());  // harmless while running
    server->Stop();
    EXPECT_FALSE(server->Running());
}

// Checks that `bytes` are whole frames of `value` with tags counting up from
// `first_tag`; returns the number of frames.
std::size_t ExpectFrames(const Bytes& bytes, int first_tag, std::uint16_t value) {
    EXPECT_EQ(bytes.size() % 4, 0u);
    int tag = first_tag;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        for (int k = 0; k < 4; ++k) {
            const std::uint8_t expected =
                static_cast<std::uint8_t>(tag << 4 | ((value >> (4 * k)) & 0xF));
            if (bytes[i + k] != expected) {
                ADD_FAILURE() << "byte " << i + k << " is " << int(bytes[i + k]) << ", expected "
                              << int(expected);
                return i / 4;
            }
        }
        tag = (tag + 1) & 7;
    }
    return bytes.size() / 4;
}

TEST_F(PtyTest, StreamAtMaxRateIsWellFramedAndStops) {
    StartServer({.stream_rate = 0});
    fd = OpenRaw(server->SlavePath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x87}));
    const Bytes stream = ReadExactly(fd, 400000);
    ASSERT_EQ(stream.size(), 400000u);
    EXPECT_EQ(ExpectFrames(stream, 0, 0x2000), 100000u);

    // A request in the stream still gets its reply; after the stop no frame is made.
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x88, 0x01, 0x86}));
    EXPECT_EQ(ReadReplySkippingStream(fd, 4), kMeasure8192);
    const std::uint64_t frames = server->FramesSent();
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x86}));
    EXPECT_EQ(ReadReplySkippingStream(fd, 4), kMeasure8192);
    EXPECT_EQ(server->FramesSent(), frames);
    EXPECT_FALSE(sensor->Streaming());
}

TEST_F(PtyTest, PacedStreamIsWellFramed) {
    StartServer({.stream_rate = 5000});
    fd = OpenRaw(server->SlavePath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteAll(fd, {0x01, 0x87}));
    EXPECT_EQ(ExpectFrames(ReadExactly(fd, 400), 0, 0x2000), 100u);
}

}  // namespace
}  // namespace mk27x::sim
