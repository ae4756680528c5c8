// A real Mosquitto broker for the publishing tests and benchmarks, started on
// 127.0.0.1 at a free port with a configuration written here (persistence
// off), a subscriber on it through libmosquitto, and a gate: a TCP relay in
// front of the broker that the test opens and closes, so that it decides when
// a publisher can reach the broker again.
//
// Threading: each object belongs to the test's thread; the subscriber collects
// on libmosquitto's thread under its lock, the gate relays on its own thread.
#pragma once

#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/test_server.h"

namespace mk27x::testing {

inline constexpr const char* kMosquittoPath = "/usr/sbin/mosquitto";

inline bool MosquittoInstalled() {
    return ::access(kMosquittoPath, X_OK) == 0;
}

class MosquittoBroker {
public:
    // `extra`: more configuration lines for the listener (TLS, passwords).
    MosquittoBroker(std::string dir, std::string extra = "")
        : dir_(std::move(dir)), extra_(std::move(extra)), port_(FreeLoopbackPort()) {}
    ~MosquittoBroker() { Stop(); }
    MosquittoBroker(const MosquittoBroker&) = delete;
    MosquittoBroker& operator=(const MosquittoBroker&) = delete;

    int Port() const { return port_; }

    // Starts (again, at the same port) and waits until it listens.
    bool Start() {
        const std::string conf = dir_ + "/mosquitto-" + std::to_string(port_) + ".conf";
        // Run as root, the broker would turn into the user "mosquitto", who
        // may not read the test's files.
        const passwd* user = ::getpwuid(::getuid());
        std::ofstream(conf) << "user " << (user ? user->pw_name : "mosquitto") << "\n"
                            << "listener " << port_ << " 127.0.0.1\n"
                            << "persistence false\n"
                            << "max_queued_messages 0\n"
                            << "log_dest none\n"
                            << (extra_.find("allow_anonymous") == std::string::npos
                                    ? "allow_anonymous true\n"
                                    : "")
                            << extra_;
        pid_ = Spawn({kMosquittoPath, "-c", conf});
        return WaitListening(pid_, port_, std::chrono::seconds(10));
    }

    // Ends the broker (SIGTERM, as a service stop) and reaps it.
    void Stop() { EndProcess(pid_, SIGTERM); }

private:
    std::string dir_;
    std::string extra_;
    int port_;
    pid_t pid_ = -1;
};

struct ReceivedMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
    std::chrono::steady_clock::time_point at;
    std::int64_t wall_ns = 0;
};

// Subscribes to `filter` at QoS 1 and keeps every message.
class Subscriber {
public:
    explicit Subscriber(int port, std::string filter, std::string cafile = "")
        : port_(port), filter_(std::move(filter)), cafile_(std::move(cafile)) {
        mosquitto_lib_init();
    }
    ~Subscriber() { Disconnect(); }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Connects and waits for the SUBACK; false when that did not come.
    bool Connect() {
        Disconnect();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_connect_callback_set(client_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0)
                mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->filter_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard lock(s->mutex_);
            s->subscribed_ = true;
            s->changed_.notify_all();
        });
        mosquitto_message_callback_set(
            client_, [](mosquitto*, void* self, const mosquitto_message* m) {
                auto* s = static_cast<Subscriber*>(self);
                ReceivedMessage r{m->topic,
                                  std::string(static_cast<const char*>(m->payload),
                                              static_cast<std::size_t>(m->payloadlen)),
                                  m->retain, std::chrono::steady_clock::now(),
                                  std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count()};
                std::lock_guard lock(s->mutex_);
                s->messages_.push_back(std::move(r));
                s->changed_.notify_all();
            });
        if (!cafile_.empty())
            mosquitto_tls_set(client_, cafile_.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (mosquitto_connect(client_, "127.0.0.1", port_, 30) != MOSQ_ERR_SUCCESS) return false;
        mosquitto_loop_start(client_);
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [this] { return subscribed_; });
    }

    void Disconnect() {
        if (!client_) return;
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
        client_ = nullptr;
        subscribed_ = false;
    }

    std::vector<ReceivedMessage> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    // Messages on `topic`, in arrival order.
    std::vector<ReceivedMessage> On(const std::string& topic) const {
        std::vector<ReceivedMessage> out;
        for (ReceivedMessage& m : Messages())
            if (m.topic == topic) out.push_back(std::move(m));
        return out;
    }
    // Waits (20 s at most: a safety net) until `pred(messages)` holds.
    template <typename Pred>
    bool WaitFor(Pred pred) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return pred(messages_); });
    }

private:
    int port_;
    std::string filter_;
    std::string cafile_;
    mosquitto* client_ = nullptr;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool subscribed_ = false;
    std::vector<ReceivedMessage> messages_;
};

// Waits until the last message on `topic` reads `payload`: after a publisher's
// "offline", everything it published before has arrived.
inline bool WaitForLast(const Subscriber& s, const std::string& topic, const std::string& payload) {
    return s.WaitFor([&](const std::vector<ReceivedMessage>& messages) {
        for (auto m = messages.rbegin(); m != messages.rend(); ++m)
            if (m->topic == topic) return m->payload == payload;
        return false;
    });
}

// A TCP relay from a port of its own to the broker's, opened and closed by the
// test. Closed, nothing listens at its port (a connect is refused) and the
// connections it relayed are cut.
class TcpGate {
public:
    explicit TcpGate(int target) : target_(target), port_(FreeLoopbackPort()) {
        thread_ = std::thread([this] { Run(); });
    }
    ~TcpGate() {
        stop_ = true;
        thread_.join();
        Cut();
        if (listener_ >= 0) ::close(listener_);
    }
    TcpGate(const TcpGate&) = delete;
    TcpGate& operator=(const TcpGate&) = delete;

    int Port() const { return port_; }
    void Open() { Command(true); }
    void Close() { Command(false); }
    // From now on what the clients send is read and thrown away: their
    // messages are in flight and never arrive.
    void Swallow() { swallow_ = true; }

private:
    void Command(bool open) {
        std::unique_lock lock(mutex_);
        want_open_ = open;
        ++asked_;
        done_.wait(lock, [this] { return answered_ == asked_; });
    }

    void Cut() {
        for (auto& [a, b] : pairs_) {
            ::close(a);
            ::close(b);
        }
        pairs_.clear();
    }

    void Run() {
        while (!stop_) {
            {
                std::lock_guard lock(mutex_);
                if (answered_ != asked_) {
                    if (want_open_ && listener_ < 0) {
                        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
                        const int one = 1;
                        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
                        sockaddr_in a{};
                        a.sin_family = AF_INET;
                        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                        a.sin_port = htons(static_cast<std::uint16_t>(port_));
                        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
                        ::listen(listener_, 16);
                    } else if (!want_open_) {
                        if (listener_ >= 0) ::close(listener_);
                        listener_ = -1;
                        Cut();
                    }
                    swallow_ = false;
                    answered_ = asked_;
                    done_.notify_all();
                }
            }
            std::vector<pollfd> fds;
            if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
            for (auto& [a, b] : pairs_) {
                fds.push_back({a, POLLIN, 0});
                fds.push_back({b, POLLIN, 0});
            }
            ::poll(fds.data(), fds.size(), 5);
            std::size_t k = 0;
            if (listener_ >= 0 && (fds[k++].revents & POLLIN)) {
                const int client = ::accept(listener_, nullptr, nullptr);
                const int server = ::socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in a{};
                a.sin_family = AF_INET;
                a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                a.sin_port = htons(static_cast<std::uint16_t>(target_));
                if (::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
                    pairs_.emplace_back(client, server);
                } else {
                    ::close(client);
                    ::close(server);
                }
                continue;  // the pairs changed: poll again
            }
            for (std::size_t p = 0; p < pairs_.size(); ++p) {
                const auto [a, b] = pairs_[p];
                const bool broken =
                    !Relay(fds[k], a, b, swallow_) | !Relay(fds[k + 1], b, a, false);
                k += 2;
                if (broken) {
                    ::close(a);
                    ::close(b);
                    pairs_.erase(pairs_.begin() + static_cast<long>(p));
                    break;
                }
            }
        }
    }

    static bool Relay(const pollfd& from, int in, int out, bool swallow) {
        if (!(from.revents & (POLLIN | POLLHUP | POLLERR))) return true;
        char buffer[16384];
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n <= 0) return false;
        if (swallow) return true;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w =
                ::send(out, buffer + done, static_cast<std::size_t>(n - done), MSG_NOSIGNAL);
            if (w <= 0) return false;
            done += w;
        }
        return true;
    }

    int target_;
    int port_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> swallow_{false};
    std::mutex mutex_;
    std::condition_variable done_;
    bool want_open_ = false;
    unsigned asked_ = 0, answered_ = 0;
    int listener_ = -1;
    std::vector<std::pair<int, int>> pairs_;
};

}  // namespace mk27x::testing
