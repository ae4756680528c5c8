#include "monitor/monitor_chart.h"

#include <qcustomplot.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QScrollArea>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace mk27x {
namespace {

QIcon Swatch(const QColor& colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(colour);
    return QIcon(pixmap);
}

}  // namespace

const std::vector<std::pair<QString, QColor>>& MonitorChart::Palette() {
    static const std::vector<std::pair<QString, QColor>> palette = {
        {"Blue", QColor(31, 119, 180)},    {"Orange", QColor(255, 127, 14)},
        {"Green", QColor(44, 160, 44)},    {"Red", QColor(214, 39, 40)},
        {"Purple", QColor(148, 103, 189)}, {"Brown", QColor(140, 86, 75)},
        {"Pink", QColor(227, 119, 194)},   {"Grey", QColor(127, 127, 127)},
        {"Olive", QColor(188, 189, 34)},   {"Cyan", QColor(23, 190, 207)},
        {"Black", QColor(0, 0, 0)},
    };
    return palette;
}

MonitorChart::MonitorChart(QWidget* parent) : QWidget(parent) {
    Plot = new QCustomPlot(this);
    Plot->setObjectName("Plot");
    Plot->setMinimumSize(320, 200);
    // The points are already one or two per pixel column: drawn as they are.
    Plot->setNotAntialiasedElements(QCP::aePlottables);
    Plot->setPlottingHint(QCP::phFastPolylines, true);
    Plot->xAxis->setLabel("s");
    Plot->yAxis->setLabel("mm");

    SpinSeconds = new QSpinBox(this);
    SpinSeconds->setObjectName("SpinSeconds");
    SpinSeconds->setRange(1, 600);
    SpinSeconds->setValue(10);
    SpinSeconds->setSuffix(" s");
    auto* seconds_label = new QLabel("Last s&econds:", this);
    seconds_label->setBuddy(SpinSeconds);
    trace_.SetSpan(SpinSeconds->value());
    // Taken when the editing ends (Return, the arrows, focus out), not at each
    // key: typing "30" must not cut the history to 3 s on the way.
    SpinSeconds->setKeyboardTracking(false);
    connect(SpinSeconds, &QSpinBox::valueChanged, this, [this](int seconds) {
        trace_.SetSpan(seconds);
        dirty_ = true;
    });

    Legend = new QWidget(this);
    Legend->setObjectName("Legend");
    legend_layout_ = new QGridLayout(Legend);
    legend_layout_->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setWidget(Legend);
    scroll->setWidgetResizable(true);
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setMinimumWidth(220);

    auto* side = new QVBoxLayout;
    auto* span_row = new QHBoxLayout;
    span_row->addWidget(seconds_label);
    span_row->addWidget(SpinSeconds);
    span_row->addStretch();
    side->addLayout(span_row);
    side->addWidget(scroll, 1);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Plot, 1);
    layout->addLayout(side);
}

void MonitorChart::SetSeries(const QStringList& names,
                             const std::vector<bool>& readout_by_default) {
    for (std::size_t i = 0; i < choices_.size() && i < static_cast<std::size_t>(names_.size()); ++i)
        remembered_[names_[static_cast<int>(i)]] = choices_[i];
    names_ = names;
    choices_.clear();
    for (int i = 0; i < names.size(); ++i) {
        const auto known = remembered_.find(names[i]);
        if (known != remembered_.end()) {
            choices_.push_back(known->second);
            continue;
        }
        Choice c;
        c.colour = next_colour_++ % static_cast<int>(Palette().size());
        c.readout = static_cast<std::size_t>(i) < readout_by_default.size() &&
                    readout_by_default[static_cast<std::size_t>(i)];
        choices_.push_back(c);
    }
    Plot->clearGraphs();
    for (int i = 0; i < names.size(); ++i) {
        QCPGraph* graph = Plot->addGraph();
        graph->setName(names[i]);
        graph->setAdaptiveSampling(false);
    }
    trace_.Reset(static_cast<std::size_t>(names.size()));
    BuildLegend();
    for (int i = 0; i < names.size(); ++i) ApplyChoice(i);
    dirty_ = true;
    emit ReadoutsChanged();
}

void MonitorChart::BuildLegend() {
    for (QWidget* w : Legend->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) delete w;
    LegendVisible.clear();
    LegendColour.clear();
    LegendReadout.clear();
    QWidget* previous = SpinSeconds;
    for (int i = 0; i < names_.size(); ++i) {
        auto* visible = new QCheckBox(names_[i], Legend);
        visible->setObjectName("LegendVisible_" + names_[i]);
        visible->setToolTip("Show " + names_[i] + " in the chart");
        auto* colour = new QComboBox(Legend);
        colour->setObjectName("LegendColour_" + names_[i]);
        colour->setAccessibleName(names_[i] + " colour");
        for (const auto& [name, value] : Palette()) colour->addItem(Swatch(value), name);
        auto* readout = new QCheckBox("Readout", Legend);
        readout->setObjectName("LegendReadout_" + names_[i]);
        readout->setAccessibleName(names_[i] + " readout");
        legend_layout_->addWidget(visible, i, 0);
        legend_layout_->addWidget(colour, i, 1);
        legend_layout_->addWidget(readout, i, 2);
        LegendVisible.push_back(visible);
        LegendColour.push_back(colour);
        LegendReadout.push_back(readout);
        QWidget::setTabOrder(previous, visible);
        QWidget::setTabOrder(visible, colour);
        QWidget::setTabOrder(colour, readout);
        previous = readout;
        connect(visible, &QCheckBox::toggled, this,
                [this, i](bool on) { SetSeriesVisible(i, on); });
        connect(colour, &QComboBox::currentIndexChanged, this, [this, i](int index) {
            if (index >= 0) SetSeriesColour(i, index);
        });
        connect(readout, &QCheckBox::toggled, this,
                [this, i](bool on) { SetSeriesReadout(i, on); });
    }
    legend_layout_->setRowStretch(static_cast<int>(names_.size()), 1);
}

void MonitorChart::ApplyChoice(int series) {
    const Choice& c = choices_[static_cast<std::size_t>(series)];
    const auto i = static_cast<std::size_t>(series);
    const QSignalBlocker b1(LegendVisible[i]), b2(LegendColour[i]), b3(LegendReadout[i]);
    LegendVisible[i]->setChecked(c.visible);
    LegendColour[i]->setCurrentIndex(c.colour);
    LegendReadout[i]->setChecked(c.readout);
    QCPGraph* graph = Plot->graph(series);
    graph->setPen(QPen(Palette()[static_cast<std::size_t>(c.colour)].second, 1));
    graph->setVisible(c.visible);
    dirty_ = true;
}

bool MonitorChart::SeriesVisible(int series) const {
    return choices_.at(static_cast<std::size_t>(series)).visible;
}

QColor MonitorChart::SeriesColour(int series) const {
    return Palette()[static_cast<std::size_t>(choices_.at(static_cast<std::size_t>(series)).colour)]
        .second;
}

bool MonitorChart::SeriesReadout(int series) const {
    return choices_.at(static_cast<std::size_t>(series)).readout;
}

void MonitorChart::SetSeriesVisible(int series, bool on) {
    choices_.at(static_cast<std::size_t>(series)).visible = on;
    ApplyChoice(series);
}

void MonitorChart::SetSeriesColour(int series, int palette_index) {
    if (palette_index < 0 || palette_index >= static_cast<int>(Palette().size())) return;
    choices_.at(static_cast<std::size_t>(series)).colour = palette_index;
    ApplyChoice(series);
}

void MonitorChart::SetSeriesReadout(int series, bool on) {
    choices_.at(static_cast<std::size_t>(series)).readout = on;
    ApplyChoice(series);
    emit ReadoutsChanged();
}

double MonitorChart::SpanSeconds() const {
    return SpinSeconds->value();
}

void MonitorChart::Redraw(bool force) {
    if (!dirty_ && !force) return;
    dirty_ = false;
    const double span = trace_.Span();
    // The first span fills from the left; then the newest row stays at the right.
    const double t1 = std::max(trace_.Empty() ? 0.0 : trace_.Newest(), span);
    const double t0 = t1 - span;
    const int pixels = std::max(1, Plot->axisRect()->width());
    double low = 0, high = 0;
    bool any = false;
    points_drawn_ = 0;
    for (int i = 0; i < names_.size(); ++i) {
        QCPGraph* graph = Plot->graph(i);
        if (!choices_[static_cast<std::size_t>(i)].visible) {
            graph->data()->clear();
            continue;
        }
        trace_.Decimate(static_cast<std::size_t>(i), t0, t1, pixels, scratch_);
        QVector<QCPGraphData> data(static_cast<qsizetype>(scratch_.size()));
        for (std::size_t k = 0; k < scratch_.size(); ++k) {
            const TracePoint& p = scratch_[k];
            data[static_cast<qsizetype>(k)] = QCPGraphData(p.t, p.value);
            if (std::isnan(p.value)) continue;
            if (!any) {
                low = high = p.value;
                any = true;
            }
            low = std::min(low, p.value);
            high = std::max(high, p.value);
        }
        points_drawn_ += static_cast<int>(data.size());
        graph->data()->set(data, true);
    }
    Plot->xAxis->setRange(t0, t1);
    if (any) {
        const double pad = high > low ? (high - low) * 0.05 : 0.5;
        Plot->yAxis->setRange(low - pad, high + pad);
    }
    Plot->replot(QCustomPlot::rpQueuedRefresh);
    ++redraws_;
}

}  // namespace mk27x
