// The oscilloscope chart: a titled two-dimensional plot with automatic axes, one
// line series and the chart's context menu, on QCustomPlot.
//
// Threading: window thread only. Appends never draw at once: the first append
// after a redraw queues one redraw for the next turn of the event loop, and the
// appends until then join it, so a run of appends costs one rescale and one
// replot.
#pragma once

#include <QColor>
#include <QLocale>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "recording/sample_statistics.h"

class QAction;
class QCustomPlot;
class QCPGraph;
class QCPTextElement;
class QMenu;

namespace mk27x {

// A number in the format "#,##0.####": thousands grouped, at least one integer
// digit, up to four decimals without trailing zeros, separators of `locale`.
QString FormatChartNumber(double value, const QLocale& locale);

// One line series. A point's X is the number of points the series held before
// it was added; Y, label and colour are the caller's. The colour is that of the
// whole line (the program draws in one colour).
class ChartSeries {
public:
    ChartSeries(QCustomPlot* plot, QCPGraph* graph);
    ChartSeries(const ChartSeries&) = delete;
    ChartSeries& operator=(const ChartSeries&) = delete;

    // Removes all points.
    void Clear();
    void AddPoint(double y, const QString& label, const QColor& colour);
    // Appends (Y, label number) pairs in one go, e.g. a recording drained from
    // the sample ring.
    void AddPoints(std::span<const std::pair<float, std::uint16_t>> points, const QColor& colour);

    int Count() const { return count_; }
    QString Label(int index) const;
    // Count, mean and standard deviation of the points' Y values, kept as they
    // are appended; shown in the chart's corner line, a row of its own between
    // the title and the plot area.
    const RunningStatistics& Statistics() const { return stats_; }
    // The corner line as drawn at the last redraw: "n = 3   mean = 2.333 mm
    // σ = 2.160 mm" (the chart's locale), empty without points.
    QString CornerText() const;

    // Markers are drawn only while the points are far enough apart to be seen
    // as markers (at most one point per pixel column); denser, the line alone
    // gives the same picture. Off: the line alone at any density.
    void SetMarkers(bool on);
    bool MarkersDrawn() const;

    // Redraws now if a redraw is queued (the queued one then does nothing).
    void Flush();
    // Redraws done since creation: the coalescing is observable.
    int RedrawCount() const { return redraw_count_; }

private:
    // A stretch of points whose labels count up by one from first_label.
    struct LabelRun {
        int first_index;
        std::uint32_t first_label;
    };

    void AppendLabel(std::uint32_t label);
    void TrackY(double y);
    void SetColour(const QColor& colour);
    void QueueRedraw();
    void ApplyRanges();
    void ApplyMarkers();

    QCustomPlot* plot_;
    QCPGraph* graph_;
    QCPTextElement* corner_;
    RunningStatistics stats_;
    int count_ = 0;
    // Labels that are plain unsigned decimal numbers are kept as runs; any
    // other text is kept by point index.
    std::vector<LabelRun> runs_;
    std::unordered_map<int, QString> text_labels_;
    double y_min_ = 0;
    double y_max_ = 0;
    bool has_y_ = false;
    bool markers_ = true;
    bool redraw_queued_ = false;
    int redraw_count_ = 0;
};

class ChartView : public QWidget {
    Q_OBJECT
public:
    explicit ChartView(QWidget* parent = nullptr);

    QCustomPlot* Chart1;
    QCPTextElement* Title;
    ChartSeries SeriesOsc;
    // The chart's context menu: "Save data to file", a divider, "Clear", a
    // divider, "Export CSV…", "Statistics". The window connects the actions'
    // triggered signals.
    QMenu* PopupMenuSave;
    QAction* MenuSave;
    QAction* MenuClear;
    QAction* MenuExportCsv;
    QAction* MenuStatistics;

private:
    // Builds the plot with its title and the one graph (runs before SeriesOsc).
    QCustomPlot* BuildPlot();
};

}  // namespace mk27x
