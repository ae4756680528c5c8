// ModbusServer: the line's snapshot served read-only to PLCs over Modbus TCP,
// through libmodbus, on a thread of its own.
//
// Any number of clients at once (up to `max_clients`; one more is accepted
// and closed at once), any unit id. Function codes 3 and 4 read the registers
// of the map (modbus_map.h), 2 its discrete inputs; every other function, the
// writes included, is answered with exception 1 (illegal function), a read
// outside the map with exception 2 (illegal data address), a count beyond the
// protocol's with exception 3. Each request is answered from one snapshot,
// the board's latest, so no value is ever torn.
//
// A client that sends half a request and stops for `byte_timeout`, or does
// not take its responses (its socket's buffer full), is closed: the server
// never waits for one client while others wait.
//
// Threading: Start and Stop from one thread (the service's); the server's
// thread only reads the board. Stop wakes the thread (an eventfd), closes
// every connection and joins; it is idempotent and the destructor calls it.
// ClientCount, RequestCount and Port may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "serve/line_snapshot.h"

namespace mk27x {

struct ModbusEndpoint {
    std::string host = "127.0.0.1";  // numeric IPv4 or IPv6, or a name
    std::uint16_t port = 502;        // 0: a free port, chosen at Start
};

// "[HOST:]PORT", where an IPv6 HOST is in brackets ("[::1]:1502"); nullopt
// when the port is missing or not 0..65535, or the host is empty.
std::optional<ModbusEndpoint> ParseModbusEndpoint(std::string_view text);

struct ModbusSettings {
    ModbusEndpoint endpoint;
    int max_clients = 64;
    std::chrono::milliseconds byte_timeout{100};
};

struct ModbusStartOutcome {
    enum class Kind {
        Listening,
        BadHost,     // the host does not resolve; reason from getaddrinfo
        BindFailed,  // socket, bind or listen failed; error is errno
    };
    Kind kind = Kind::Listening;
    int error = 0;
    std::string reason;      // the system's text for the failure
    std::uint16_t port = 0;  // the port listening (the chosen one for port 0)

    explicit operator bool() const { return kind == Kind::Listening; }
};

class ModbusServer {
public:
    // The board outlives the server.
    ModbusServer(const SnapshotBoard& board, ModbusSettings settings);
    ~ModbusServer();
    ModbusServer(const ModbusServer&) = delete;
    ModbusServer& operator=(const ModbusServer&) = delete;

    // Binds, listens and starts the thread. Once only.
    ModbusStartOutcome Start();
    void Stop();

    int ClientCount() const { return clients_.load(); }
    // Requests answered so far (exceptions included).
    std::uint64_t RequestCount() const { return requests_.load(); }
    std::uint16_t Port() const { return port_.load(); }

private:
    void Run();

    const SnapshotBoard& board_;
    ModbusSettings settings_;
    int listen_fd_ = -1;
    int wake_fd_ = -1;
    std::thread thread_;
    std::atomic<int> clients_{0};
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<std::uint16_t> port_{0};
};

}  // namespace mk27x
