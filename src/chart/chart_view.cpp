#include "chart/chart_view.h"

#include <qcustomplot.h>

#include <QAction>
#include <QMenu>
#include <QMetaObject>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

namespace mk27x {
namespace {

// Tick labels of both axes in the chart's number format.
class NumberFormatTicker final : public QCPAxisTicker {
protected:
    QString getTickLabel(double tick, const QLocale& locale, QChar, int) override {
        return FormatChartNumber(tick, locale);
    }
};

// The label's number when it is the plain decimal text of one (no sign, no
// leading zeros, within 32 bits).
std::optional<std::uint32_t> DecimalLabel(const QString& label) {
    const qsizetype n = label.size();
    if (n == 0 || n > 10 || (n > 1 && label[0] == u'0')) return std::nullopt;
    std::uint64_t value = 0;
    for (QChar c : label) {
        if (c < u'0' || c > u'9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c.unicode() - u'0');
    }
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

// A range of the data's extent; an extent of one value keeps the current width
// around it.
QCPRange ExtentRange(double low, double high, const QCPRange& current) {
    if (low < high) return QCPRange(low, high);
    const double half = current.size() > 0 ? current.size() / 2 : 0.5;
    return QCPRange(low - half, low + half);
}

}  // namespace

QString FormatChartNumber(double value, const QLocale& locale) {
    if (!std::isfinite(value)) return QString::number(value);
    QString digits = QString::number(std::fabs(value), 'f', 4);
    while (digits.endsWith(u'0')) digits.chop(1);
    if (digits.endsWith(u'.')) digits.chop(1);

    const qsizetype point = digits.indexOf(u'.');
    const QString whole = point < 0 ? digits : digits.left(point);
    QString text;
    for (qsizetype i = 0; i < whole.size(); ++i) {
        if (i > 0 && (whole.size() - i) % 3 == 0) text += locale.groupSeparator();
        text += whole[i];
    }
    if (point >= 0) text += locale.decimalPoint() + digits.mid(point + 1);
    const bool zero = digits == u"0";
    return value < 0 && !zero ? locale.negativeSign() + text : text;
}

ChartSeries::ChartSeries(QCustomPlot* plot, QCPGraph* graph)
    : plot_(plot), graph_(graph), corner_(new QCPTextElement(plot)) {
    // A row of its own under the title, right-aligned above the plot area: the
    // curve never runs through it.
    corner_->setTextFlags(Qt::AlignRight | Qt::AlignVCenter);
    corner_->setMargins(QMargins(4, 0, 8, 0));
    corner_->setTextColor(Qt::darkGray);
    corner_->setText(QString());
    QCPLayoutGrid* layout = plot->plotLayout();
    layout->insertRow(1);
    layout->addElement(1, 0, corner_);
}

QString ChartSeries::CornerText() const {
    return corner_->text();
}

void ChartSeries::Clear() {
    graph_->data()->clear();
    stats_.Clear();
    count_ = 0;
    runs_.clear();
    text_labels_.clear();
    has_y_ = false;
    QueueRedraw();
}

void ChartSeries::AddPoint(double y, const QString& label, const QColor& colour) {
    graph_->addData(static_cast<double>(count_), y);
    if (const auto number = DecimalLabel(label)) {
        AppendLabel(*number);
    } else {
        text_labels_.emplace(count_, label);
        AppendLabel(0);
    }
    TrackY(y);
    stats_.Add(y);
    SetColour(colour);
    QueueRedraw();
}

void ChartSeries::AddPoints(std::span<const std::pair<float, std::uint16_t>> points,
                            const QColor& colour) {
    if (points.empty()) return;
    QVector<QCPGraphData> data;
    data.reserve(static_cast<qsizetype>(points.size()));
    for (const auto& [y, label] : points) {
        data.append(QCPGraphData(static_cast<double>(count_), y));
        AppendLabel(label);
        TrackY(y);
        stats_.Add(y);
    }
    graph_->data()->add(data, true);
    SetColour(colour);
    QueueRedraw();
}

QString ChartSeries::Label(int index) const {
    if (index < 0 || index >= count_) return {};
    if (const auto it = text_labels_.find(index); it != text_labels_.end()) return it->second;
    const auto run = std::upper_bound(runs_.begin(), runs_.end(), index,
                                      [](int i, const LabelRun& r) { return i < r.first_index; });
    const LabelRun& r = *std::prev(run);
    return QString::number(static_cast<std::uint64_t>(r.first_label) +
                           static_cast<std::uint64_t>(index - r.first_index));
}

void ChartSeries::AppendLabel(std::uint32_t label) {
    const bool continues =
        !runs_.empty() && static_cast<std::uint64_t>(runs_.back().first_label) +
                                  static_cast<std::uint64_t>(count_ - runs_.back().first_index) ==
                              label;
    if (!continues) runs_.push_back({count_, label});
    ++count_;
}

void ChartSeries::TrackY(double y) {
    if (std::isnan(y)) return;
    if (!has_y_) {
        y_min_ = y_max_ = y;
        has_y_ = true;
        return;
    }
    y_min_ = std::min(y_min_, y);
    y_max_ = std::max(y_max_, y);
}

void ChartSeries::SetColour(const QColor& colour) {
    QPen pen = graph_->pen();
    if (pen.color() == colour) return;
    pen.setColor(colour);
    graph_->setPen(pen);
}

void ChartSeries::SetMarkers(bool on) {
    markers_ = on;
    QueueRedraw();
}

bool ChartSeries::MarkersDrawn() const {
    return graph_->scatterStyle().shape() != QCPScatterStyle::ssNone;
}

void ChartSeries::QueueRedraw() {
    if (redraw_queued_) return;
    redraw_queued_ = true;
    QMetaObject::invokeMethod(
        plot_, [this] { Flush(); }, Qt::QueuedConnection);
}

void ChartSeries::Flush() {
    if (!redraw_queued_) return;
    redraw_queued_ = false;
    ApplyRanges();
    ApplyMarkers();
    const QLocale locale = plot_->locale();
    corner_->setText(stats_.Count() == 0
                         ? QString()
                         : QString("n = %1   mean = %2 mm   \u03C3 = %3 mm")
                               .arg(locale.toString(static_cast<qulonglong>(stats_.Count())),
                                    locale.toString(stats_.Mean(), 'f', 3),
                                    locale.toString(stats_.StdDev(), 'f', 3)));
    plot_->replot(QCustomPlot::rpRefreshHint);
    ++redraw_count_;
}

// Both axes follow the data; the extents are kept while appending, so this
// does not walk the points.
void ChartSeries::ApplyRanges() {
    if (count_ == 0) return;
    plot_->xAxis->setRange(ExtentRange(0, static_cast<double>(count_ - 1), plot_->xAxis->range()));
    if (has_y_) plot_->yAxis->setRange(ExtentRange(y_min_, y_max_, plot_->yAxis->range()));
}

void ChartSeries::ApplyMarkers() {
    const int width = std::max(1, plot_->axisRect()->width());
    const bool visible = markers_ && count_ <= width;
    if (visible == MarkersDrawn()) return;
    graph_->setScatterStyle(visible ? QCPScatterStyle(QCPScatterStyle::ssSquare, 2)
                                    : QCPScatterStyle(QCPScatterStyle::ssNone));
}

QCustomPlot* ChartView::BuildPlot() {
    auto* plot = new QCustomPlot(this);
    plot->setLocale(QLocale::system());
    plot->setBackground(Qt::white);
    plot->axisRect()->setBackground(Qt::white);
    plot->legend->setVisible(false);

    plot->plotLayout()->insertRow(0);
    auto* title = new QCPTextElement(plot, "Oscilloscope");
    QFont font("Arial");
    font.setPixelSize(16);
    title->setFont(font);
    title->setTextColor(Qt::blue);
    plot->plotLayout()->addElement(0, 0, title);

    for (QCPAxis* axis : {plot->xAxis, plot->yAxis})
        axis->setTicker(QSharedPointer<QCPAxisTicker>(new NumberFormatTicker));

    QCPGraph* graph = plot->addGraph();
    graph->setName("SeriesOsc");
    graph->setPen(QPen(Qt::red));
    graph->setLineStyle(QCPGraph::lsLine);
    graph->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssSquare, 2));
    graph->setAdaptiveSampling(true);
    return plot;
}

ChartView::ChartView(QWidget* parent)
    : QWidget(parent),
      Chart1(BuildPlot()),
      Title(qobject_cast<QCPTextElement*>(Chart1->plotLayout()->element(0, 0))),
      SeriesOsc(Chart1, Chart1->graph(0)),
      PopupMenuSave(new QMenu(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(Chart1);

    PopupMenuSave->setObjectName("PopupMenuSave");
    MenuSave = PopupMenuSave->addAction("Save data to file");
    PopupMenuSave->addSeparator();
    MenuClear = PopupMenuSave->addAction("Clear");
    PopupMenuSave->addSeparator();
    MenuExportCsv = PopupMenuSave->addAction(QString::fromUtf8("Export CSV\u2026"));
    MenuStatistics = PopupMenuSave->addAction("Statistics");
    Chart1->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Chart1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenuSave->popup(Chart1->mapToGlobal(pos)); });
}

}  // namespace mk27x
