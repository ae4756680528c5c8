#include "chart/chart_view.h"

#include <qcustomplot.h>
#include <QVBoxLayout>

namespace mk27x {

ChartSeries::ChartSeries(QCustomPlot* plot, QCPGraph* graph) : plot_(plot), graph_(graph) {}

void ChartSeries::Clear() {
    graph_->data()->clear();
    labels_.clear();
    Redraw();
}

void ChartSeries::AddPoint(double y, const QString& label, const QColor& colour) {
    graph_->addData(static_cast<double>(labels_.size()), y);
    labels_.push_back(label);
    QPen pen = graph_->pen();
    if (pen.color() != colour) {
        pen.setColor(colour);
        graph_->setPen(pen);
    }
    Redraw();
}

void ChartSeries::Redraw() {
    plot_->rescaleAxes();
    plot_->replot(QCustomPlot::rpQueuedReplot);
}

QCustomPlot* ChartView::BuildPlot(QWidget* parent) {
    auto* plot = new QCustomPlot(parent);
    plot->setBackground(Qt::white);
    plot->legend->setVisible(false);

    plot->plotLayout()->insertRow(0);
    auto* title = new QCPTextElement(plot, "Oscilloscope");
    QFont font("Arial");
    font.setPixelSize(16);
    title->setFont(font);
    title->setTextColor(Qt::blue);
    plot->plotLayout()->addElement(0, 0, title);

    for (QCPAxis* axis : {plot->xAxis, plot->yAxis}) {
        axis->setNumberFormat("g");
        axis->setNumberPrecision(8);
    }

    QCPGraph* graph = plot->addGraph();
    graph->setName("SeriesOsc");
    graph->setPen(QPen(Qt::red));
    graph->setLineStyle(QCPGraph::lsLine);
    graph->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssSquare, 2));
    return plot;
}

ChartView::ChartView(QWidget* parent)
    : QWidget(parent), Chart1(BuildPlot(this)), SeriesOsc(Chart1, Chart1->graph(0)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Chart1);
}

}  // namespace mk27x
