#include "serve/modbus_server.h"

#include <fcntl.h>
#include <modbus/modbus.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <vector>

#include "serve/modbus_map.h"

namespace mk27x {
namespace {

constexpr int kListenBacklog = 16;

bool ParsePort(std::string_view text, std::uint16_t& port) {
    unsigned value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || value > 65535)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

// The latest snapshot's map, encoded again only when the board has a new one.
class MapCache {
public:
    explicit MapCache(const SnapshotBoard& board) : board_(board) {}

    modbus_mapping_t* Current() {
        std::shared_ptr<const LineSnapshot> latest = board_.Latest();
        if (latest != snapshot_) {
            map_ = EncodeModbusMap(*latest);
            snapshot_ = std::move(latest);
            mapping_ = {};
            mapping_.nb_input_bits = static_cast<int>(map_.inputs.size());
            mapping_.tab_input_bits = map_.inputs.data();
            mapping_.nb_registers = static_cast<int>(map_.registers.size());
            mapping_.tab_registers = map_.registers.data();
            mapping_.nb_input_registers = mapping_.nb_registers;
            mapping_.tab_input_registers = map_.registers.data();
        }
        return &mapping_;
    }

private:
    const SnapshotBoard& board_;
    std::shared_ptr<const LineSnapshot> snapshot_;  // held, so its address is not reused
    ModbusMap map_;
    modbus_mapping_t mapping_{};
};

// One request of `length` bytes answered; false when the client must go.
bool Answer(modbus_t* ctx, const std::uint8_t* query, int length, MapCache& maps) {
    const int function = query[modbus_get_header_length(ctx)];
    if (function == 2 || function == 3 || function == 4)
        return modbus_reply(ctx, query, length, maps.Current()) >= 0;
    return modbus_reply_exception(ctx, query, MODBUS_EXCEPTION_ILLEGAL_FUNCTION) >= 0;
}

}  // namespace

std::optional<ModbusEndpoint> ParseModbusEndpoint(std::string_view text) {
    ModbusEndpoint endpoint;
    std::string_view port = text;
    if (!text.empty() && text.front() == '[') {
        const auto close = text.find("]:");
        if (close == std::string_view::npos || close == 1) return std::nullopt;
        endpoint.host = std::string(text.substr(1, close - 1));
        port = text.substr(close + 2);
    } else if (const auto colon = text.find(':'); colon != std::string_view::npos) {
        if (colon == 0 || text.find(':', colon + 1) != std::string_view::npos) return std::nullopt;
        endpoint.host = std::string(text.substr(0, colon));
        port = text.substr(colon + 1);
    }
    if (!ParsePort(port, endpoint.port)) return std::nullopt;
    return endpoint;
}

ModbusServer::ModbusServer(const SnapshotBoard& board, ModbusSettings settings)
    : board_(board), settings_(std::move(settings)) {}

ModbusServer::~ModbusServer() {
    Stop();
}

ModbusStartOutcome ModbusServer::Start() {
    ModbusStartOutcome outcome;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(settings_.endpoint.port);
    if (const int rc = ::getaddrinfo(settings_.endpoint.host.c_str(), port.c_str(), &hints, &found);
        rc != 0) {
        outcome.kind = ModbusStartOutcome::Kind::BadHost;
        outcome.error = rc;
        outcome.reason = ::gai_strerror(rc);
        return outcome;
    }
    outcome.kind = ModbusStartOutcome::Kind::BindFailed;
    for (addrinfo* a = found; a != nullptr && listen_fd_ < 0; a = a->ai_next) {
        const int fd =
            ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        const int on = 1;
        if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            ::bind(fd, a->ai_addr, a->ai_addrlen) == 0 && ::listen(fd, kListenBacklog) == 0) {
            listen_fd_ = fd;
            break;
        }
        outcome.error = errno;
        if (fd >= 0) ::close(fd);
    }
    ::freeaddrinfo(found);
    if (listen_fd_ < 0) {
        outcome.reason = std::strerror(outcome.error);
        return outcome;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        outcome.error = errno;
        outcome.reason = std::strerror(outcome.error);
        ::close(listen_fd_);
        listen_fd_ = -1;
        return outcome;
    }
    thread_ = std::thread([this] { Run(); });
    outcome.kind = ModbusStartOutcome::Kind::Listening;
    outcome.error = 0;
    outcome.port = port_;
    return outcome;
}

void ModbusServer::Stop() {
    if (thread_.joinable()) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
        thread_.join();
    }
    for (int* fd : {&listen_fd_, &wake_fd_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void ModbusServer::Run() {
    // One context for every client: libmodbus only frames requests and
    // replies on whichever socket it is given.
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> ctx(modbus_new_tcp(nullptr, 0), modbus_free);
    if (!ctx) return;
    const auto timeout_us = static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(settings_.byte_timeout).count());
    modbus_set_byte_timeout(ctx.get(), timeout_us / 1000000, timeout_us % 1000000);
    modbus_set_indication_timeout(ctx.get(), timeout_us / 1000000, timeout_us % 1000000);
    MapCache maps(board_);
    std::vector<int> clients;
    std::vector<pollfd> fds;
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        fds.assign({{wake_fd_, POLLIN, 0}, {listen_fd_, POLLIN, 0}});
        for (const int fd : clients) fds.push_back({fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents != 0) break;
        std::vector<int> kept;
        for (std::size_t i = 2; i < fds.size(); ++i) {
            const int fd = fds[i].fd;
            bool keep = true;
            if (fds[i].revents != 0) {
                modbus_set_socket(ctx.get(), fd);
                const int length = modbus_receive(ctx.get(), query);
                keep = length == 0 || (length > 0 && Answer(ctx.get(), query, length, maps));
                if (length > 0 && keep) ++requests_;
            }
            if (keep)
                kept.push_back(fd);
            else
                ::close(fd);
        }
        clients.swap(kept);
        if (fds[1].revents & POLLIN) {
            const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0 && static_cast<int>(clients.size()) >= settings_.max_clients) {
                ::close(fd);
            } else if (fd >= 0) {
                const int on = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                clients.push_back(fd);
            }
        }
        clients_ = static_cast<int>(clients.size());
    }
    for (const int fd : clients) ::close(fd);
    clients_ = 0;
}

}  // namespace mk27x
