// The servers the Modbus client tests read (test_modbus.py): one with a fixed
// line on a free loopback port, one whose snapshot changes all the time.
// Prints "fixed PORT churn PORT", serves until its standard input closes.
#include <atomic>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "serve/modbus_server.h"

// Items are written with their first fields only; the rest stays default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

using namespace mk27x;
using enum ItemState;
using enum Judgement;
using enum ItemKind;

int main() {
    SnapshotBoard fixed_board, churn_board;
    auto fixed = std::make_shared<LineSnapshot>();
    fixed->uptime_s = 70000;
    // name, kind, mm, state, judgement, limits, count, judged, age_ms
    fixed->items = {
        {"A", Sensor, 25.0004, Fresh, Ok, Limits{20, 30}, 5'000'000'000, {}, 12},
        {"B", Sensor, -3.25, Fresh, Low, Limits{0, 10}, 9, {}, 70000},
        {"C", Sensor, NAN, Lost, None, std::nullopt, 7, {}, 0},
        {"T", Channel, NAN, ChannelEmpty, None, Limits{0, 1}, 0, {}, 0},
        {"U", Channel, 1e7, Fresh, High, Limits{0, 100}, 3, {}, 5},
    };
    fixed_board.Publish(fixed);
    const ModbusSettings loopback{.endpoint = {"127.0.0.1", 0}};
    ModbusServer fixed_server(fixed_board, loopback), churn_server(churn_board, loopback);
    const auto a = fixed_server.Start();
    const auto b = churn_server.Start();
    if (!a || !b) return 1;
    std::printf("fixed %u churn %u\n", a.port, b.port);
    std::fflush(stdout);
    // Every value of snapshot k derives from k, so a reader sees whether one
    // response mixes two snapshots.
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (std::uint32_t k = 1; !done; ++k) {
            auto s = std::make_shared<LineSnapshot>();
            for (int i = 0; i < 4; ++i)
                s->items.push_back(
                    {.value_mm = k * 0.001 + i, .state = Fresh, .count = k, .age_ms = k});
            churn_board.Publish(s);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    for (std::string line; std::getline(std::cin, line);) {
    }
    done = true;
    churn.join();
}
