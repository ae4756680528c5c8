// The monitor's live chart: one line per column of the group's rows (sensors,
// then channels) over the last N seconds, scrolling as rows come, on
// QCustomPlot; beside it the legend, where every series' visibility, colour and
// large readout are chosen, and the span N.
//
// Rows go into a TraceBuffer bounded to the span; Redraw reduces every visible
// series to the plot's pixel columns (minimum and maximum of each) and replots,
// so that a redraw costs about the same at any rate. The window calls Redraw at
// the screen's pace.
//
// Threading: window thread only.
#pragma once

#include <QColor>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <map>
#include <vector>

#include "monitor/trace_buffer.h"

class QCheckBox;
class QComboBox;
class QCustomPlot;
class QGridLayout;
class QSpinBox;

namespace mk27x {

class MonitorChart : public QWidget {
    Q_OBJECT
public:
    explicit MonitorChart(QWidget* parent = nullptr);

    // The colours a series may take, by name ("Blue", ...), in the legend's order.
    static const std::vector<std::pair<QString, QColor>>& Palette();

    // The series anew, one per column; a name seen before keeps its choices,
    // a new one takes the next colour. `readout_by_default`: a new series'
    // readout is on.
    void SetSeries(const QStringList& names, const std::vector<bool>& readout_by_default);
    const QStringList& SeriesNames() const { return names_; }
    // The rows: cleared when the series are set.
    TraceBuffer& Trace() { return trace_; }
    // A row at `t` seconds from the start of the run.
    void Append(double t, std::span<const double> values) {
        trace_.Append(t, values);
        dirty_ = true;
    }

    bool SeriesVisible(int series) const;
    QColor SeriesColour(int series) const;
    bool SeriesReadout(int series) const;
    void SetSeriesVisible(int series, bool on);
    void SetSeriesColour(int series, int palette_index);
    void SetSeriesReadout(int series, bool on);
    double SpanSeconds() const;

    // Reduces the visible series to the plot's pixel columns and replots now;
    // nothing when no row came and no choice changed since the last redraw
    // (unless `force`).
    void Redraw(bool force = false);
    int RedrawCount() const { return redraws_; }
    // Points handed to the plot at the last redraw, all series.
    int PointsDrawn() const { return points_drawn_; }

    QCustomPlot* Plot;
    QSpinBox* SpinSeconds;
    QWidget* Legend;
    // Per series, in the order of the names.
    std::vector<QCheckBox*> LegendVisible;
    std::vector<QComboBox*> LegendColour;
    std::vector<QCheckBox*> LegendReadout;

signals:
    // A series' readout was switched on or off.
    void ReadoutsChanged();

private:
    struct Choice {
        bool visible = true;
        int colour = 0;
        bool readout = false;
    };
    void BuildLegend();
    void ApplyChoice(int series);

    TraceBuffer trace_;
    QStringList names_;
    std::vector<Choice> choices_;
    std::map<QString, Choice> remembered_;
    int next_colour_ = 0;
    QGridLayout* legend_layout_;
    bool dirty_ = true;
    int redraws_ = 0;
    int points_drawn_ = 0;
    std::vector<TracePoint> scratch_;
};

}  // namespace mk27x
