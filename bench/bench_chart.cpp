// Chart benchmark, on the offscreen platform:
//
//   chart_replot_ratio: the chart holding 1,000,000 points; median time of one
//       append plus the redraw and paint it causes, with the series as the
//       program draws it (markers where they can be seen) divided by the same
//       with the line alone, both measured in this run (target at most 1.5).
//   drain_ms: the median time to move a wrapped recording of 10000 samples
//       from the ring into a cleared chart at stream stop, redraw and paint
//       included (target at most 50 ms).
#include <qcustomplot.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "chart/chart_view.h"
#include "recording/sample_file.h"

namespace {

using namespace mk27x;
using Clock = std::chrono::steady_clock;

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double Signal(int i) {
    // A slow wave with a little deterministic noise, as a sensor would show.
    const double noise = static_cast<double>((i * 7919) % 101) / 100.0;
    return 150.0 + 20.0 * std::sin(i / 5000.0) + noise;
}

void Fill(ChartView& view, int points) {
    for (int i = 0; i < points; ++i)
        view.SeriesOsc.AddPoint(Signal(i), QString::number(i), Qt::red);
    view.SeriesOsc.Flush();
}

// One append, the redraw it queues and the paint, in milliseconds.
double AppendAndReplot(ChartView& view) {
    const auto start = Clock::now();
    const int n = view.SeriesOsc.Count();
    view.SeriesOsc.AddPoint(Signal(n), QString::number(n), Qt::red);
    QApplication::processEvents();
    view.Chart1->repaint();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void ShowView(ChartView& view) {
    view.resize(800, 400);
    view.show();
    QApplication::processEvents();
}

}  // namespace

int main(int argc, char** argv) {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);

    const int kPoints = argc > 1 ? std::atoi(argv[1]) : 1000000;
    constexpr int kRuns = 41;
    ChartView specified;
    ChartView line;
    line.SeriesOsc.SetMarkers(false);
    for (ChartView* view : {&specified, &line}) {
        ShowView(*view);
        Fill(*view, kPoints);
        AppendAndReplot(*view);  // warm the caches
    }
    std::vector<double> with_markers, plain;
    for (int run = 0; run < kRuns; ++run) {
        with_markers.push_back(AppendAndReplot(specified));
        plain.push_back(AppendAndReplot(line));
    }
    const double specified_ms = Median(with_markers);
    const double line_ms = Median(plain);
    std::printf("chart_replot_specified_ms: %.2f\n", specified_ms);
    std::printf("chart_replot_line_ms: %.2f\n", line_ms);
    std::printf("chart_replot_ratio: %.3f\n", specified_ms / line_ms);

    ChartView chart;
    ShowView(chart);
    SampleRing ring;
    std::vector<double> drains;
    for (int run = 0; run < 15; ++run) {
        chart.SeriesOsc.Clear();
        chart.SeriesOsc.Flush();
        ring.Reset();
        for (int i = 0; i < 12000; ++i) ring.Append(static_cast<float>(Signal(i)));
        const auto start = Clock::now();
        chart.SeriesOsc.AddPoints(DrainRing(ring), Qt::red);
        QApplication::processEvents();
        chart.Chart1->repaint();
        drains.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("drain_ms: %.2f\n", Median(drains));
    return 0;
}
