// Sensor search over a pseudo-terminal against one virtual sensor:
//   search_quick_s  address 1 at the five rates (the sensor at the last rate)
//   search_full_s   addresses 1..127 at the five rates, the sensor at the last
//                   address and rate tried
// with each figure's ratio to its bound (quick 0.5 s, full 30 s).
#include <chrono>
#include <cstdio>
#include <memory>

#include "pty_server.h"
#include "session/sensor_search.h"
#include "virtual_sensor.h"

namespace {

double TimeSearch(const mk27x::SearchPlan& plan, std::size_t& found) {
    mk27x::SensorSearch search(mk27x::SystemClock::Instance(), mk27x::RealSearchOpener());
    const auto start = std::chrono::steady_clock::now();
    found = search.Run(plan).found.size();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    using namespace mk27x;
    sim::SensorConfig config;
    config.baud = kSearchRates.back();
    auto sensor = std::make_shared<sim::VirtualSensor>(config);
    sim::PtySensorServer server(sensor);
    if (!server.Start()) {
        std::fprintf(stderr, "cannot start the virtual sensor: %s\n", server.Error().c_str());
        return 1;
    }
    std::size_t found = 0;
    const double quick = TimeSearch(QuickSearchPlan({server.SlavePath()}), found);
    std::printf("search_quick_s: %.3f\n", quick);
    std::printf("search_quick_ratio_to_bound: %.3f\n", quick / 0.5);
    if (found != 1) std::fprintf(stderr, "quick search found %zu sensors\n", found);

    server.Stop();
    config.address = kLastAddress;
    sim::PtySensorServer last(std::make_shared<sim::VirtualSensor>(config));
    if (!last.Start()) return 1;
    const double full = TimeSearch(FullSearchPlan({last.SlavePath()}), found);
    std::printf("search_full_s: %.3f\n", full);
    std::printf("search_full_ratio_to_bound: %.3f\n", full / 30.0);
    if (found != 1) std::fprintf(stderr, "full search found %zu sensors\n", found);
    return found == 1 ? 0 : 1;
}
