// Timed measuring benchmark, on the offscreen platform:
//
//   series_rss_growth_mb: the program's resident memory after a simulated
//       one-hour timed series (72000 ticks of TimerMeasureTimer, one every
//       50 ms of virtual time, against the in-process virtual sensor, the
//       chart redrawn once per simulated second) minus the resident memory
//       right after the series started. The ring is fixed; what grows is the
//       chart's series, which keeps every point of the series.
#include <unistd.h>
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "chart/chart_view.h"
#include "window_harness.h"

namespace {

using namespace mk27x;

// Resident set size in MiB, from /proc/self/statm.
double ResidentMb() {
    std::ifstream statm("/proc/self/statm");
    long pages_total = 0;
    long pages_resident = 0;
    statm >> pages_total >> pages_resident;
    return static_cast<double>(pages_resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) /
           (1024.0 * 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    sim::SensorConfig config;
    config.source.kind = sim::MeasurementSource::Kind::kSine;
    config.source.value = 6000;
    config.source.amplitude = 3000;
    config.source.period = 1200;
    config.source.noise = 20;
    WindowHarness h(config);
    TFormMain& w = *h.window;
    w.show();
    h.Connect();
    if (w.ButtonConnect->Tag != 1) {
        std::fprintf(stderr, "connecting to the virtual sensor failed\n");
        return 1;
    }

    constexpr int kTicks = 72000;  // one hour at 50 ms
    constexpr int kTicksPerSecond = 20;
    w.ButtonMeasure->click();
    // The ticks come from the loop below, on virtual time, not from the timer.
    w.TimerMeasure->stop();
    QApplication::processEvents();
    const double start = ResidentMb();
    for (int i = 0; i < kTicks; ++i) {
        w.measuring.TimerMeasureTimer();
        h.clock.Advance(std::chrono::milliseconds(50));
        if ((i + 1) % kTicksPerSecond == 0) QApplication::processEvents();
    }
    QApplication::processEvents();
    const double end = ResidentMb();
    w.ButtonMeasure->click();

    if (w.Chart->SeriesOsc.Count() != kTicks || !h.messages.shown.empty()) {
        std::fprintf(stderr, "the series did not run through: %d points\n",
                     w.Chart->SeriesOsc.Count());
        return 1;
    }
    std::printf("series_rss_growth_mb: %.1f\n", end - start);
    return 0;
}
