// The server's failure paths with libmodbus's own client on loopback; the map's
// values through clients of other makers are in test_modbus.py.
#include "serve/modbus_server.h"

#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <sys/socket.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <thread>

#include "support/eventually.h"

namespace mk27x {
namespace {

using Client = std::unique_ptr<modbus_t, void (*)(modbus_t*)>;

Client Connect(std::uint16_t port) {
    Client c(modbus_new_tcp("127.0.0.1", port), [](modbus_t* m) {
        modbus_close(m);
        modbus_free(m);
    });
    modbus_set_response_timeout(c.get(), 5, 0);
    EXPECT_EQ(modbus_connect(c.get()), 0);
    return c;
}

bool ReadsVersion(const Client& client) {
    std::uint16_t r[1] = {};
    return modbus_read_registers(client.get(), 0, 1, r) == 1 && r[0] == 1;
}

using testing::Eventually;

TEST(ModbusServerTest, EndpointTakesPortHostAndBracketedIpv6) {
    EXPECT_EQ(ParseModbusEndpoint("1502")->host, "127.0.0.1");
    EXPECT_EQ(ParseModbusEndpoint("1502")->port, 1502);
    EXPECT_EQ(ParseModbusEndpoint("0.0.0.0:502")->host, "0.0.0.0");
    EXPECT_EQ(ParseModbusEndpoint("[::1]:65535")->host, "::1");
    EXPECT_EQ(ParseModbusEndpoint("[::1]:65535")->port, 65535);
    for (const char* bad : {"", "65536", "-1", "x", ":502", "host:", "::1:502", "[]:502", "[::1]"})
        EXPECT_FALSE(ParseModbusEndpoint(bad)) << bad;
}

TEST(ModbusServerTest, PortInUseIsAnOutcomeWithTheSystemsReason) {
    SnapshotBoard board;
    ModbusServer first(board, {.endpoint = {"127.0.0.1", 0}});
    const ModbusStartOutcome up = first.Start();
    ASSERT_TRUE(up) << up.reason;
    ModbusServer second(board, {.endpoint = {"127.0.0.1", up.port}});
    const ModbusStartOutcome refused = second.Start();
    EXPECT_EQ(refused.kind, ModbusStartOutcome::Kind::BindFailed);
    EXPECT_EQ(refused.error, EADDRINUSE);
    EXPECT_EQ(refused.reason, "Address already in use");
}

TEST(ModbusServerTest, ClientsBeyondTheCapAreClosedAndSlotsComeBack) {
    SnapshotBoard board;
    ModbusServer server(board, {.endpoint = {"127.0.0.1", 0}, .max_clients = 2});
    ASSERT_TRUE(server.Start());
    Client a = Connect(server.Port()), b = Connect(server.Port());
    EXPECT_TRUE(ReadsVersion(a) && ReadsVersion(b));
    EXPECT_TRUE(Eventually([&] { return server.ClientCount() == 2; }));
    EXPECT_FALSE(ReadsVersion(Connect(server.Port())));  // the kernel accepts, the server closes
    a.reset();
    EXPECT_TRUE(Eventually([&] { return server.ClientCount() == 1; }));
    EXPECT_TRUE(ReadsVersion(Connect(server.Port())));
    EXPECT_TRUE(ReadsVersion(b));
}

TEST(ModbusServerTest, HalfARequestDoesNotHoldUpOthersAndStopClosesAll) {
    SnapshotBoard board;
    ModbusServer server(board, {.endpoint = {"127.0.0.1", 0}});
    ASSERT_TRUE(server.Start());
    Client slow = Connect(server.Port());
    const std::uint8_t half[] = {0x00, 0x01, 0x00};  // three bytes of a header
    ASSERT_EQ(::send(modbus_get_socket(slow.get()), half, sizeof half, 0), 3);
    Client other = Connect(server.Port());
    for (int i = 0; i < 20; ++i) EXPECT_TRUE(ReadsVersion(other));
    EXPECT_TRUE(Eventually([&] { return server.ClientCount() == 1; }));  // the slow one went
    server.Stop();
    EXPECT_EQ(server.ClientCount(), 0);
    EXPECT_FALSE(ReadsVersion(other));
}

}  // namespace
}  // namespace mk27x
