// The line's page beside `mk27x serve`: the --http options, the view that
// serves the page from the service's snapshot and rows, the service's status
// as the page reads it, and `mk27x serve --hash-password`.
//
// Threading: the functions on the calling thread; HttpView's Start and Stop
// on the service's run loop thread, its feed fed by the run loop (see
// LiveFeed) and its server on threads of its own (see HttpServer).
#pragma once

#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "serve/http_server.h"
#include "serve/live_feed.h"
#include "service/line_service.h"
#include "service/service_config.h"

namespace mk27x {

// The server's options of a configuration; nothing when the page is not asked
// for (no [http] listen).
std::optional<HttpOptions> HttpOptionsFrom(const ServiceConfig& config);

// Before anything is opened: empty when the page may be served as configured,
// else why not (the users file is read here too). `warning` as CheckHttpOptions.
std::string CheckHttpConfig(const HttpOptions& options, std::string& warning);

// {"mqtt": {"state", "queued"} | null, "modbus": {"clients"} | null,
//  "recording": text | null}
std::string ServiceStatusJson(const ServiceStatus& status);

// Reads a password from `in` (a line; without echo when `in` is the terminal
// of `tty_fd`) and writes its yescrypt hash to `out`. The exit status.
int RunHashPassword(std::istream& in, int tty_fd, std::ostream& out, std::ostream& err);

// The page's feed and server. Made before the service (the feed outlives the
// group's sinks), started after it.
class HttpView {
public:
    HttpView(HttpOptions options, const ServiceConfig& config);
    ~HttpView();
    HttpView(const HttpView&) = delete;
    HttpView& operator=(const HttpView&) = delete;

    LiveFeed& Feed() { return feed_; }
    // Serves `service`'s board, rows and status; empty when it does, else why not.
    std::string Start(LineService& service);
    void Stop();
    // "http://127.0.0.1:8080/"
    std::string Url() const;

private:
    HttpOptions options_;
    LiveFeed feed_;
    std::unique_ptr<HttpServer> server_;
};

}  // namespace mk27x
