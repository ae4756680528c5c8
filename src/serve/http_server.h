// HttpServer: the line service's page and its data, read-only, over HTTP
// (cpp-httplib, TLS through OpenSSL when given a certificate).
//
//   /                 the page (index.html, app.js, style.css and the chart
//                     library, read from the web folder at the start)
//   /events           Server-Sent Events: a `batch` about ten times a second
//                     with every item's latest value and the chart's buckets
//   /api/items        the items as JSON (see ItemsJson)
//   /api/statistics   since the start and over the last minute, per item
//   /api/recordings   the recording folder's files: name, first row's time, size
//   /api/status       uptime, MQTT, Modbus, recording, event clients
//   /recordings/NAME  a recording, downloaded; only names of recordings in the
//                     folder itself (no path, no link) are served, else 404
//
// Who may see it: on a loopback address anyone; on any other address only the
// users of the users file (HTTP Basic, every request), and only over TLS unless
// `insecure`. CheckHttpOptions tells before anything is opened.
//
// Every response carries a Content-Security-Policy that allows only the
// service's own script and style, `X-Content-Type-Options: nosniff`, and no
// CORS header.
//
// Threading: Start and Stop from one thread. The server answers on its own pool
// of threads; a broadcaster thread builds each batch once (from the snapshot
// board and the live feed) and hands it to every event client's bounded queue:
// a client whose queue is full (a slow or stalled browser) is dropped, so no
// browser ever slows the run loop or the others. At most kMaxEventClients event
// clients at once; one more gets 503. Stop wakes every client and joins every
// thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "serve/http_auth.h"
#include "serve/line_snapshot.h"
#include "serve/live_feed.h"

namespace httplib {
class Server;
}

namespace mk27x {

inline constexpr int kMaxEventClients = 32;
// Batches a client may fall behind before it is dropped (3 s: less than the
// time-out of a write to it, so a stalled browser is dropped by the queue).
inline constexpr std::size_t kEventQueueBatches = 30;
inline constexpr int kEventBatchMs = 100;

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string users_file;  // required off loopback
    std::string cert_file;   // TLS when both are given
    std::string key_file;
    bool insecure = false;   // off loopback without TLS
    std::string web_dir;     // the page's files
    std::string record_dir;  // the recordings listed and served (may be empty)
};

// Empty when the options may be served; else why not (the service exits 2).
// `warning` is set when they may, but the operator must be told (plain HTTP
// off loopback).
std::string CheckHttpOptions(const HttpOptions& options, std::string& warning);

// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackHost(const std::string& host);

// The page's folder: MK27X_WEB_DIR, the installed one beside the program, or
// the build tree's.
std::string DefaultWebDir();

// The items of a snapshot as the JSON array of /api/items.
std::string ItemsJson(const LineSnapshot& snapshot);

class HttpServer {
public:
    // `status` gives the service's status object (JSON text) on any thread.
    HttpServer(HttpOptions options, SnapshotBoard& board, LiveFeed& feed,
               std::function<std::string()> status);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Reads the page and the users, binds and starts serving. Empty on success,
    // else the reason (the port in use, a file that cannot be read).
    std::string Start();
    void Stop();

    // The port bound (when 0 was asked, the one the system chose).
    int Port() const { return port_; }
    int EventClients() const { return event_clients_.load(); }
    // Event clients dropped for falling behind, since the start.
    std::uint64_t Dropped() const { return dropped_.load(); }

private:
    struct Client;
    struct Page;
    void Routes();
    void Broadcast();
    std::string BatchJson();

    HttpOptions options_;
    SnapshotBoard& board_;
    LiveFeed& feed_;
    std::function<std::string()> status_;
    std::optional<HttpUsers> users_;
    std::unique_ptr<Page> page_;
    std::unique_ptr<httplib::Server> server_;
    std::thread listener_;
    std::thread broadcaster_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Client>> clients_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> event_clients_{0};
    std::atomic<std::uint64_t> dropped_{0};
    int port_ = 0;
};

}  // namespace mk27x
