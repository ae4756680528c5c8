// The servers the Modbus client tests read (test_modbus.py): one with a fixed
// line on a free loopback port, one whose snapshot changes all the time.
// Prints "fixed PORT churn PORT", serves until its standard input closes.
#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "serve/modbus_server.h"

using namespace mk27x;

namespace {

ItemSnapshot Item(const char* name, ItemKind kind, double mm, ItemState state,
                  std::optional<Limits> limits, std::uint64_t count, std::uint32_t age_ms) {
    ItemSnapshot item;
    item.name = name;
    item.kind = kind;
    item.value_mm = mm;
    item.state = state;
    item.limits = limits;
    item.judgement = Judge(mm, limits);
    item.count = count;
    item.age_ms = age_ms;
    return item;
}

// Every value of snapshot k derives from k, so a reader sees whether one
// response mixes two snapshots.
std::shared_ptr<const LineSnapshot> Churned(std::uint32_t k) {
    auto s = std::make_shared<LineSnapshot>();
    s->sequence = k;
    s->uptime_s = k;
    for (int i = 0; i < 4; ++i)
        s->items.push_back(
            Item("s", ItemKind::Sensor, k * 0.001 + i, ItemState::Fresh, std::nullopt, k, k));
    return s;
}

}  // namespace

int main() {
    SnapshotBoard fixed_board, churn_board;
    auto fixed = std::make_shared<LineSnapshot>();
    fixed->uptime_s = 70000;
    fixed->items = {
        Item("A", ItemKind::Sensor, 25.0004, ItemState::Fresh, Limits{20, 30}, 5'000'000'000, 12),
        Item("B", ItemKind::Sensor, -3.25, ItemState::Fresh, Limits{0, 10}, 9, 70000),
        Item("C", ItemKind::Sensor, NAN, ItemState::Lost, std::nullopt, 7, 0),
        Item("T", ItemKind::Channel, NAN, ItemState::ChannelEmpty, Limits{0, 1}, 0, 0),
        Item("U", ItemKind::Channel, 1e7, ItemState::Fresh, Limits{0, 100}, 3, 5),
    };
    fixed_board.Publish(fixed);
    churn_board.Publish(Churned(0));
    const ModbusSettings loopback{.endpoint = {"127.0.0.1", 0}};
    ModbusServer fixed_server(fixed_board, loopback), churn_server(churn_board, loopback);
    const auto a = fixed_server.Start();
    const auto b = churn_server.Start();
    if (!a || !b) {
        std::fprintf(stderr, "%s%s\n", a.reason.c_str(), b.reason.c_str());
        return 1;
    }
    std::printf("fixed %u churn %u\n", a.port, b.port);
    std::fflush(stdout);
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (std::uint32_t k = 1; !done; ++k) {
            churn_board.Publish(Churned(k));
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    done = true;
    churn.join();
    return 0;
}
