#include "serve/http_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

namespace mk27x {
namespace {

const char* const kCsp =
    "default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
    "img-src 'self' data:; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// A recording's name: its first row's UTC time (a suffix when two start in one
// second). Nothing else in the folder is listed or served.
const std::regex kRecordingName(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\dZ(-\d+)?\.csv)");

const char* StateWord(ItemState state) {
    switch (state) {
        case ItemState::Fresh:
            return "fresh";
        case ItemState::NoValue:
            return "no_value";
        case ItemState::Lost:
            return "lost";
        case ItemState::ChannelEmpty:
            return "channel_empty";
    }
    return "no_value";
}

const char* JudgementWord(Judgement judgement) {
    switch (judgement) {
        case Judgement::Ok:
            return "ok";
        case Judgement::Low:
            return "low";
        case Judgement::High:
            return "high";
        case Judgement::None:
            return "none";
    }
    return "none";
}

nlohmann::json ItemJson(const ItemSnapshot& item) {
    nlohmann::json j = {
        {"name", item.name},
        {"kind", item.kind == ItemKind::Sensor ? "sensor" : "channel"},
        {"value_mm", item.value_mm},  // NaN goes out as null
        {"unit", "mm"},
        {"state", StateWord(item.state)},
        {"judgement", JudgementWord(item.judgement)},
        {"count", item.count},
        {"age_ms", item.age_ms},
        {"limits", nullptr},
    };
    if (item.limits) j["limits"] = {{"low", item.limits->low}, {"high", item.limits->high}};
    if (item.kind == ItemKind::Sensor) {
        j["port"] = item.port;
        j["losses"] = item.losses;
        j["identity"] = nullptr;
        if (item.model != 0)
            j["identity"] = {{"model", item.model},
                             {"serial", item.serial},
                             {"base_mm", item.base_mm},
                             {"range_mm", item.range_mm}};
    } else {
        j["expression"] = item.expression;
    }
    return j;
}

std::string ReadWhole(const std::string& path, bool& ok) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    ok = static_cast<bool>(in) || in.eof();
    return out.str();
}

// "2026-12-11T10-00-00Z.csv" -> "2026-12-11T10:00:00Z".
std::string FirstRowTime(const std::string& name) {
    std::string t = name.substr(0, 20);
    t[13] = ':';
    t[16] = ':';
    return t;
}

}  // namespace

struct HttpServer::Client {
    std::deque<std::shared_ptr<const std::string>> queue;
    bool dropped = false;
};

struct HttpServer::Page {
    struct File {
        std::string body;
        const char* type;
    };
    std::map<std::string, File> files;
};

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost" || host == "::1" || host == "[::1]") return true;
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) return (ntohl(a.s_addr) >> 24) == 127;
    return false;
}

std::string CheckHttpOptions(const HttpOptions& options, std::string& warning) {
    warning.clear();
    if (options.port < 0 || options.port > 65535)
        return "no such port: " + std::to_string(options.port);
    if (options.cert_file.empty() != options.key_file.empty())
        return "--http-cert and --http-key go together";
    if (IsLoopbackHost(options.host)) return {};
    if (options.users_file.empty())
        return "refusing to serve " + options.host +
               " without --http-users: only loopback addresses are open to anyone";
    if (options.cert_file.empty()) {
        if (!options.insecure)
            return "refusing to serve " + options.host +
                   " without TLS (--http-cert and --http-key), unless --http-insecure is given";
        warning = "serving " + options.host +
                  " over plain HTTP (--http-insecure): passwords and data travel unencrypted";
    }
    return {};
}

std::string DefaultWebDir() {
    if (const char* dir = std::getenv("MK27X_WEB_DIR")) return dir;
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = 0;
        std::string dir(exe);
        dir = dir.substr(0, dir.rfind('/'));
        const std::string installed = dir + "/../share/mk27x-sp/web";
        struct stat st {};
        if (stat((installed + "/index.html").c_str(), &st) == 0) return installed;
    }
    return MK27X_BUILD_WEB_DIR;
}

std::string ItemsJson(const LineSnapshot& snapshot) {
    nlohmann::json items = nlohmann::json::array();
    for (const ItemSnapshot& item : snapshot.items) items.push_back(ItemJson(item));
    return items.dump();
}

HttpServer::HttpServer(HttpOptions options, SnapshotBoard& board, LiveFeed& feed,
                       std::function<std::string()> status)
    : options_(std::move(options)), board_(board), feed_(feed), status_(std::move(status)) {}

HttpServer::~HttpServer() {
    Stop();
}

std::string HttpServer::Start() {
    std::string warning;
    if (std::string refused = CheckHttpOptions(options_, warning); !refused.empty()) return refused;
    if (!options_.users_file.empty()) {
        std::string error;
        users_ = HttpUsers::Load(options_.users_file, error);
        if (!users_) return error;
    }
    page_ = std::make_unique<Page>();
    const std::pair<const char*, const char*> files[] = {
        {"index.html", "text/html; charset=utf-8"},
        {"app.js", "text/javascript; charset=utf-8"},
        {"style.css", "text/css; charset=utf-8"},
        {"uPlot.iife.min.js", "text/javascript; charset=utf-8"},
        {"uPlot.min.css", "text/css; charset=utf-8"},
    };
    for (const auto& [name, type] : files) {
        bool ok = false;
        const std::string path = options_.web_dir + "/" + name;
        std::string body = ReadWhole(path, ok);
        if (!ok || body.empty()) return "cannot read " + path;
        page_->files["/" + std::string(name)] = {std::move(body), type};
    }
    page_->files["/"] = page_->files["/index.html"];

    if (!options_.cert_file.empty()) {
        auto tls = std::make_unique<httplib::SSLServer>(options_.cert_file.c_str(),
                                                        options_.key_file.c_str());
        if (!tls->is_valid())
            return "cannot use " + options_.cert_file + " and " + options_.key_file;
        server_ = std::move(tls);
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    // Every event client holds a thread while it is connected; the rest answer
    // the page and the API.
    server_->new_task_queue = [] { return new httplib::ThreadPool(kMaxEventClients + 8); };
    server_->set_write_timeout(5, 0);
    server_->set_read_timeout(10, 0);
    server_->set_keep_alive_timeout(5);
    // A bounded send buffer (the accepted sockets inherit it), so that a browser
    // that stops reading fills its queue within seconds and is dropped.
    server_->set_socket_options([](int sock) {
        const int yes = 1;
        const int send_buffer = 64 * 1024;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    });
    Routes();
    if (options_.port == 0) {
        port_ = server_->bind_to_any_port(options_.host);
        if (port_ < 0) return "cannot listen on " + options_.host + ": " + std::strerror(errno);
    } else {
        if (!server_->bind_to_port(options_.host, options_.port))
            return "cannot listen on " + options_.host + ":" + std::to_string(options_.port) +
                   ": " + std::strerror(errno);
        port_ = options_.port;
    }
    stopping_ = false;
    listener_ = std::thread([this] { server_->listen_after_bind(); });
    broadcaster_ = std::thread([this] { Broadcast(); });
    return {};
}

void HttpServer::Stop() {
    if (!server_) return;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    server_->stop();
    if (listener_.joinable()) listener_.join();
    if (broadcaster_.joinable()) broadcaster_.join();
    server_.reset();
}

void HttpServer::Routes() {
    httplib::Server& s = *server_;
    s.set_default_headers({{"Content-Security-Policy", kCsp},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"},
                           {"Cache-Control", "no-store"}});
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (!users_) return httplib::Server::HandlerResponse::Unhandled;
        if (users_->Check(req.get_header_value("Authorization")))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"MK27x line\", charset=\"UTF-8\"");
        res.set_content("Unauthorized\n", "text/plain; charset=utf-8");
        return httplib::Server::HandlerResponse::Handled;
    });
    for (const auto& [path, file] : page_->files) {
        s.Get(path, [&file = file](const httplib::Request&, httplib::Response& res) {
            res.set_content(file.body, file.type);
        });
    }
    s.Get("/api/items", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(ItemsJson(*board_.Latest()), "application/json");
    });
    s.Get("/api/statistics", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(feed_.StatisticsJson(*board_.Latest()), "application/json");
    });
    s.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
        nlohmann::json status = nlohmann::json::parse(status_ ? status_() : "{}", nullptr, false);
        if (!status.is_object()) status = nlohmann::json::object();
        status["uptime_s"] = board_.Latest()->uptime_s;
        status["event_clients"] = event_clients_.load();
        res.set_content(status.dump(), "application/json");
    });
    s.Get("/api/recordings", [this](const httplib::Request&, httplib::Response& res) {
        nlohmann::json list = nlohmann::json::array();
        if (DIR* dir =
                options_.record_dir.empty() ? nullptr : opendir(options_.record_dir.c_str())) {
            std::vector<std::pair<std::string, long long>> found;
            while (dirent* e = readdir(dir)) {
                const std::string name = e->d_name;
                struct stat st {};
                if (!std::regex_match(name, kRecordingName) ||
                    fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                    !S_ISREG(st.st_mode))
                    continue;
                found.emplace_back(name, static_cast<long long>(st.st_size));
            }
            closedir(dir);
            std::sort(found.begin(), found.end());
            for (const auto& [name, size] : found)
                list.push_back(
                    {{"name", name}, {"first_row_time", FirstRowTime(name)}, {"size", size}});
        }
        res.set_content(list.dump(), "application/json");
    });
    s.Get(R"(/recordings/([^/]+))", [this](const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.matches[1];
        int fd = -1;
        struct stat st {};
        if (!options_.record_dir.empty() && std::regex_match(name, kRecordingName)) {
            const int dir = open(options_.record_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (dir >= 0) {
                fd = openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
                close(dir);
            }
            if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
                close(fd);
                fd = -1;
            }
        }
        if (fd < 0) {
            res.status = 404;
            res.set_content("Not found\n", "text/plain; charset=utf-8");
            return;
        }
        auto file = std::shared_ptr<int>(new int(fd), [](int* f) {
            close(*f);
            delete f;
        });
        res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
        res.set_content_provider(
            static_cast<std::size_t>(st.st_size), "text/csv; charset=utf-8",
            [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                char buffer[65536];
                const ssize_t n = pread(*file, buffer, std::min(length, sizeof buffer),
                                        static_cast<off_t>(offset));
                if (n <= 0) return false;
                return sink.write(buffer, static_cast<std::size_t>(n));
            });
    });
    s.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        auto client = std::make_shared<Client>();
        {
            std::lock_guard lock(mutex_);
            if (static_cast<int>(clients_.size()) >= kMaxEventClients || stopping_) {
                res.status = 503;
                res.set_header("Retry-After", "5");
                res.set_content("Too many event clients\n", "text/plain; charset=utf-8");
                return;
            }
            clients_.push_back(client);
            event_clients_ = static_cast<int>(clients_.size());
        }
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, client](std::size_t, httplib::DataSink& sink) {
                std::shared_ptr<const std::string> batch;
                {
                    std::unique_lock lock(mutex_);
                    wake_.wait_for(lock, std::chrono::seconds(1), [&] {
                        return stopping_ || client->dropped || !client->queue.empty();
                    });
                    if (stopping_ || client->dropped) return false;
                    if (client->queue.empty()) return sink.write(": keep-alive\n\n", 14);
                    batch = std::move(client->queue.front());
                    client->queue.pop_front();
                }
                return sink.write(batch->data(), batch->size());
            },
            [this, client](bool) {
                std::lock_guard lock(mutex_);
                std::erase(clients_, client);
                event_clients_ = static_cast<int>(clients_.size());
            });
    });
}

std::string HttpServer::BatchJson() {
    const auto snapshot = board_.Latest();
    LiveBuckets buckets = feed_.Take();
    nlohmann::json items = nlohmann::json::array();
    for (const ItemSnapshot& item : snapshot->items) items.push_back(ItemJson(item));
    nlohmann::json chart = {{"t_ms", buckets.t_ms}, {"min", buckets.min}, {"max", buckets.max}};
    nlohmann::json batch = {{"time_ms", buckets.newest_row_ms},
                            {"uptime_s", snapshot->uptime_s},
                            {"items", std::move(items)},
                            {"chart", std::move(chart)}};
    return "event: batch\ndata: " + batch.dump() + "\n\n";
}

void HttpServer::Broadcast() {
    auto next = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        next += std::chrono::milliseconds(kEventBatchMs);
        wake_.wait_until(lock, next, [this] { return stopping_.load(); });
        if (stopping_) break;
        const bool anyone = !clients_.empty();
        lock.unlock();
        // The feed's buckets are taken even without a client, so a browser that
        // comes later does not get a burst of the past.
        auto batch = std::make_shared<const std::string>(BatchJson());
        lock.lock();
        if (!anyone) continue;
        for (const auto& client : clients_) {
            if (client->dropped) continue;
            if (client->queue.size() >= kEventQueueBatches) {
                client->dropped = true;
                client->queue.clear();
                ++dropped_;
                continue;
            }
            client->queue.push_back(batch);
        }
        wake_.notify_all();
    }
}

}  // namespace mk27x
