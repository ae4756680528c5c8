// Monitor window benchmark, on the offscreen platform:
//
//   monitor_redraw_ms: the monitor window's chart with 6 series (four sensors
//       and two channels) over the last 10 s at the line rate of 921600 baud
//       (about 20900 rows a second, 1.26 million points in all); the median
//       time of one redraw as the window's timer makes it at the screen's pace:
//       the rows of one frame (16 ms) appended, every series reduced to the
//       pixel columns, the plot replotted and painted (target at most 16).
//   monitor_redraw_p95_ms: the 95th percentile of the same.
//   monitor_decimate_ms: the reduction of the six series alone, median.
#include <qcustomplot.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "monitor/monitor_chart.h"
#include "monitor/monitor_window.h"
#include "support/recording_file_dialog.h"
#include "support/recording_message_box.h"
#include "transport/port_backends.h"

namespace {

using namespace mk27x;
using Steady = std::chrono::steady_clock;

constexpr double kLineRate = 921600 / 44.0;  // frames a second: 4 bytes of 11 bits
constexpr int kSeries = 6;

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

double Ms(Steady::time_point since) {
    return std::chrono::duration<double, std::milli>(Steady::now() - since).count();
}

// Four sensors (waves with a little deterministic noise) and two channels of them.
void Row(long i, double* values) {
    const double t = static_cast<double>(i) / kLineRate;
    for (int s = 0; s < 4; ++s)
        values[s] = 25.0 + (2.0 + s) * std::sin(t * (1.0 + 0.3 * s)) +
                    static_cast<double>((i * 7919 + s * 13) % 101) / 500.0;
    values[4] = 120 - values[0] - values[1];
    values[5] = std::max({values[0], values[1], values[2], values[3]}) -
                std::min({values[0], values[1], values[2], values[3]});
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    RecordingMessageBox messages;
    RecordingFileDialog files;
    MonitorWindow window(messages, files, SystemClock::Instance(), RealPortBackends(), nullptr);
    window.resize(1280, 800);
    window.show();
    QApplication::processEvents();
    MonitorChart& chart = *window.Chart();
    chart.SetSeries({"A", "B", "C", "D", "thickness", "runout"},
                    {false, false, false, false, true, true});
    chart.SpinSeconds->setValue(10);

    long row = 0;
    double values[kSeries];
    const long filled = static_cast<long>(10 * kLineRate);
    for (; row < filled; ++row) {
        Row(row, values);
        chart.Append(static_cast<double>(row) / kLineRate, values);
    }
    const long per_frame = static_cast<long>(kLineRate * 0.016);
    std::vector<double> redraws, decimations;
    std::vector<TracePoint> points;
    const int pixels = chart.Plot->axisRect()->width();
    for (int frame = 0; frame < 181; ++frame) {
        const auto start = Steady::now();
        for (long end = row + per_frame; row < end; ++row) {
            Row(row, values);
            chart.Append(static_cast<double>(row) / kLineRate, values);
        }
        chart.Redraw();
        chart.Plot->repaint();
        if (frame > 0) redraws.push_back(Ms(start));  // the first warms the caches

        const auto decimate = Steady::now();
        const double t1 = chart.Trace().Newest();
        for (std::size_t s = 0; s < kSeries; ++s)
            chart.Trace().Decimate(s, t1 - 10, t1, pixels, points);
        decimations.push_back(Ms(decimate));
    }
    std::fprintf(stderr, "%zu rows held, %d pixel columns, %d points drawn\n", chart.Trace().Size(),
                 pixels, chart.PointsDrawn());
    std::printf("monitor_redraw_ms: %.2f\n", Percentile(redraws, 0.5));
    std::printf("monitor_redraw_p95_ms: %.2f\n", Percentile(redraws, 0.95));
    std::printf("monitor_decimate_ms: %.2f\n", Percentile(decimations, 0.5));
    return 0;
}
