// The line's page server on loopback with a fixed snapshot and a feed of rows:
// who may read it, what every response carries, recordings served only from
// their folder, and the event clients' bound and the dropping of a stalled one.
#include "serve/http_server.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

namespace mk27x {
namespace {

namespace fs = std::filesystem;

struct Folder : testing::TempDir {
    Folder() : TempDir("mk27x-http"), path(Dir().string()) {}
    const std::string path;
};

std::shared_ptr<const LineSnapshot> Snapshot(std::size_t channels = 1) {
    auto s = std::make_shared<LineSnapshot>();
    ItemSnapshot a;
    a.name = "A";
    a.value_mm = 25.5;
    a.state = ItemState::Fresh;
    a.model = 27;
    a.serial = 1234;
    s->items.push_back(a);
    for (std::size_t i = 0; i < channels; ++i) {
        ItemSnapshot c;
        c.name = i == 0 ? "<b>x</b>" : "c" + std::to_string(i);
        c.kind = ItemKind::Channel;
        c.state = ItemState::ChannelEmpty;
        c.expression = "A / (A - A)";
        s->items.push_back(c);
    }
    return s;
}

class HttpServerTest : public ::testing::Test {
protected:
    void Serve(HttpOptions options = {}) {
        options.port = 0;
        options.web_dir = DefaultWebDir();
        options.record_dir = records.path;
        server = std::make_unique<HttpServer>(options, board, feed, [] { return "{}"; });
        ASSERT_EQ(server->Start(), "");
    }
    httplib::Client Client() const {
        httplib::Client c("127.0.0.1", server->Port());
        c.set_read_timeout(5, 0);
        return c;
    }

    Folder records;
    SnapshotBoard board;
    LiveFeed feed;
    std::unique_ptr<HttpServer> server;
};

TEST_F(HttpServerTest, ItemsAreJsonWithNullForEmptyAndEveryResponseIsGuarded) {
    board.Publish(Snapshot());
    Serve();
    auto c = Client();
    for (const char* path : {"/", "/app.js", "/api/items", "/nothing"}) {
        auto r = c.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->get_header_value("X-Content-Type-Options"), "nosniff") << path;
        EXPECT_NE(r->get_header_value("Content-Security-Policy").find("script-src 'self'"),
                  std::string::npos);
        EXPECT_FALSE(r->has_header("Access-Control-Allow-Origin")) << path;
    }
    auto items = nlohmann::json::parse(c.Get("/api/items")->body);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["kind"], "sensor");
    EXPECT_EQ(items[0]["value_mm"], 25.5);
    EXPECT_EQ(items[0]["identity"]["serial"], 1234);
    EXPECT_EQ(items[1]["name"], "<b>x</b>");
    EXPECT_TRUE(items[1]["value_mm"].is_null());
    EXPECT_EQ(items[1]["state"], "channel_empty");
}

TEST_F(HttpServerTest, OffLoopbackNeedsUsersAndTlsOrSaysItIsInsecure) {
    std::string warning;
    HttpOptions o;
    o.host = "0.0.0.0";
    EXPECT_NE(CheckHttpOptions(o, warning).find("--http-users"), std::string::npos);
    o.users_file = "users";
    EXPECT_NE(CheckHttpOptions(o, warning).find("TLS"), std::string::npos);
    o.insecure = true;
    EXPECT_EQ(CheckHttpOptions(o, warning), "");
    EXPECT_NE(warning.find("plain HTTP"), std::string::npos);
    o.host = "127.0.0.2";
    o.users_file.clear();
    EXPECT_EQ(CheckHttpOptions(o, warning), "");
    EXPECT_TRUE(IsLoopbackHost("::1"));
    EXPECT_FALSE(IsLoopbackHost("128.0.0.1"));
}

TEST_F(HttpServerTest, UsersFileGatesEveryRequest) {
    const std::string users = records.Write("users", "ann:" + HashPassword("s3cret") + "\n");
    HttpOptions o;
    o.users_file = users;
    Serve(o);
    auto c = Client();
    for (const char* path : {"/", "/api/items", "/events", "/recordings/x.csv"}) {
        auto r = c.Get(path);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 401) << path;
        EXPECT_EQ(r->body.find("name"), std::string::npos);
    }
    c.set_basic_auth("ann", "wrong");
    EXPECT_EQ(c.Get("/api/items")->status, 401);
    c.set_basic_auth("bob", "s3cret");
    EXPECT_EQ(c.Get("/api/items")->status, 401);
    c.set_basic_auth("ann", "s3cret");
    EXPECT_EQ(c.Get("/api/items")->status, 200);
}

TEST_F(HttpServerTest, RecordingsAreServedFromTheirFolderOnly) {
    Folder outside;
    const std::string secret = outside.Write("secret.csv", "not yours");
    records.Write("2026-12-11T10-00-00Z.csv", "index,time\r\n0,x\r\n");
    fs::create_symlink(secret, records.path + "/2026-12-11T11-00-00Z.csv");
    records.Write("notes.txt", "x");
    Serve();
    auto c = Client();
    auto list = nlohmann::json::parse(c.Get("/api/recordings")->body);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["first_row_time"], "2026-12-11T10:00:00Z");
    EXPECT_EQ(list[0]["size"], 17);
    EXPECT_EQ(c.Get("/recordings/2026-12-11T10-00-00Z.csv")->body, "index,time\r\n0,x\r\n");
    const std::string up = "/recordings/..%2F" + fs::path(outside.path).filename().string();
    for (const std::string& path : std::vector<std::string>{
             "/recordings/2026-12-11T11-00-00Z.csv", up + "%2Fsecret.csv",
             "/recordings/../secret.csv", "/recordings/notes.txt", "/recordings/%2Fetc%2Fpasswd"}) {
        auto r = c.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 404) << path;
        EXPECT_EQ(r->body.find("not yours"), std::string::npos);
    }
}

// Reads one event client's stream on a thread of its own; counts its batches.
struct EventReader {
    explicit EventReader(int port) {
        thread = std::thread([this, port] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(30, 0);
            auto r = c.Get("/events", [this](const char* data, std::size_t n) {
                batches += static_cast<int>(std::count(data, data + n, '\n') > 0);
                return !stop;
            });
            status = r ? r->status : -1;
        });
    }
    ~EventReader() {
        stop = true;
        thread.join();
    }
    std::atomic<int> batches{0};
    std::atomic<int> status{0};
    std::atomic<bool> stop{false};
    std::thread thread;
};

TEST_F(HttpServerTest, TheThirtyThirdEventClientIsRefusedAndAStalledOneIsDropped) {
    board.Publish(Snapshot(40));
    Serve();
    std::vector<std::unique_ptr<EventReader>> readers;
    for (int i = 0; i < kMaxEventClients - 1; ++i)
        readers.push_back(std::make_unique<EventReader>(server->Port()));
    // One that connects and never reads: a small receive window fills at once.
    const int stalled = socket(AF_INET, SOCK_STREAM, 0);
    const int small = 2048;
    setsockopt(stalled, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(server->Port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(stalled, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string get = "GET /events HTTP/1.1\r\nHost: x\r\n\r\n";
    ASSERT_EQ(write(stalled, get.data(), get.size()), static_cast<ssize_t>(get.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (server->EventClients() < kMaxEventClients && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(server->EventClients(), kMaxEventClients);
    EXPECT_EQ(Client().Get("/events")->status, 503);

    // Rows enough to make big batches, until the stalled client is dropped.
    std::vector<double> values(41, 25.0);
    std::vector<std::string> columns(41, "c");
    feed.Begin(columns);
    std::uint64_t index = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (server->Dropped() == 0 && std::chrono::steady_clock::now() < until) {
        std::vector<GroupRow> rows;
        for (int i = 0; i < 20; ++i) {
            values[0] = static_cast<double>(index % 97);
            rows.push_back({index++, SampleTime::Now(), values});
        }
        feed.Add(rows);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(server->Dropped(), 1u);
    const int before = readers[0]->batches;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_GT(readers[0]->batches, before) << "the others go on";
    close(stalled);
    server->Stop();
}

}  // namespace
}  // namespace mk27x
