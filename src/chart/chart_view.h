// The oscilloscope chart: a titled two-dimensional plot with automatic axes and
// one line series, on QCustomPlot.
#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <vector>

class QCustomPlot;
class QCPGraph;

namespace mk27x {

// One line series. A point's X is the number of points the series held before
// it was added; Y, label and colour are the caller's.
class ChartSeries {
public:
    ChartSeries(QCustomPlot* plot, QCPGraph* graph);

    // Removes all points.
    void Clear();
    void AddPoint(double y, const QString& label, const QColor& colour);
    int Count() const { return static_cast<int>(labels_.size()); }
    QString Label(int index) const { return labels_[static_cast<std::size_t>(index)]; }

private:
    // Rescales both axes and redraws once the current event has been handled, so
    // that a run of appends draws once.
    void Redraw();

    QCustomPlot* plot_;
    QCPGraph* graph_;
    std::vector<QString> labels_;
};

class ChartView : public QWidget {
    Q_OBJECT
public:
    explicit ChartView(QWidget* parent = nullptr);

    QCustomPlot* Chart1;
    ChartSeries SeriesOsc;

private:
    // Builds the plot with its title and the one graph (runs before SeriesOsc).
    static QCustomPlot* BuildPlot(QWidget* parent);
};

}  // namespace mk27x
