#include "chart/chart_view.h"

#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QSignalSpy>

namespace mk27x {
namespace {

void ProcessEvents() {
    QApplication::processEvents();
    QApplication::processEvents();
}

TEST(ChartView, LooksAsTheOscilloscope) {
    ChartView view;
    ASSERT_NE(view.Title, nullptr);
    EXPECT_EQ(view.Title->text(), "Oscilloscope");
    EXPECT_EQ(view.Title->font().family(), "Arial");
    EXPECT_EQ(view.Title->font().pixelSize(), 16);
    EXPECT_EQ(view.Title->textColor(), QColor(Qt::blue));
    EXPECT_FALSE(view.Chart1->legend->visible());
    EXPECT_EQ(view.Chart1->axisRect()->backgroundBrush().color(), QColor(Qt::white));
    ASSERT_EQ(view.Chart1->graphCount(), 1);
    QCPGraph* graph = view.Chart1->graph(0);
    EXPECT_EQ(graph->pen().color(), QColor(Qt::red));
    EXPECT_EQ(graph->lineStyle(), QCPGraph::lsLine);
    EXPECT_EQ(graph->scatterStyle().shape(), QCPScatterStyle::ssSquare);
    EXPECT_EQ(graph->scatterStyle().size(), 2);
}

TEST(ChartView, NumberFormatGroupsThousandsWithUpToFourDecimals) {
    const QLocale c = QLocale::c();
    EXPECT_EQ(FormatChartNumber(1234567.891, c), "1,234,567.891");
    EXPECT_EQ(FormatChartNumber(0, c), "0");
    EXPECT_EQ(FormatChartNumber(999, c), "999");
    EXPECT_EQ(FormatChartNumber(1000, c), "1,000");
    EXPECT_EQ(FormatChartNumber(0.5, c), "0.5");
    EXPECT_EQ(FormatChartNumber(1.23456, c), "1.2346");
    EXPECT_EQ(FormatChartNumber(99999.99999, c), "100,000");
    EXPECT_EQ(FormatChartNumber(-1234.5, c), "-1,234.5");
    EXPECT_EQ(FormatChartNumber(-0.00001, c), "0");
    EXPECT_EQ(FormatChartNumber(0.30000000000000004, c), "0.3");
    const QLocale german(QLocale::German, QLocale::Germany);
    EXPECT_EQ(FormatChartNumber(1234567.891, german), "1.234.567,891");
}

TEST(ChartView, AxisTickLabelsUseTheNumberFormatOfTheChartLocale) {
    ChartView view;
    view.resize(640, 400);
    view.Chart1->setLocale(QLocale::c());
    view.SeriesOsc.AddPoint(0, "0", Qt::red);
    view.SeriesOsc.AddPoint(2500000.5, "1", Qt::red);
    view.SeriesOsc.Flush();
    for (QCPAxis* axis : {view.Chart1->xAxis, view.Chart1->yAxis}) {
        const QVector<double> ticks = axis->tickVector();
        const QVector<QString> labels = axis->tickVectorLabels();
        ASSERT_FALSE(ticks.isEmpty());
        ASSERT_EQ(ticks.size(), labels.size());
        for (qsizetype i = 0; i < ticks.size(); ++i)
            EXPECT_EQ(labels[i], FormatChartNumber(ticks[i], QLocale::c()));
    }
    EXPECT_TRUE(view.Chart1->yAxis->tickVectorLabels().contains("2,000,000"));
}

TEST(ChartView, AppendsAtTheCountAndScalesBothAxes) {
    ChartView view;
    ChartSeries& s = view.SeriesOsc;
    const double ys[] = {1.5, -3, 5, 2};
    for (int i = 0; i < 4; ++i) s.AddPoint(ys[i], QString::number(i + 7), Qt::red);
    ASSERT_EQ(s.Count(), 4);
    const auto data = view.Chart1->graph(0)->data();
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(data->at(i)->key, i);
        EXPECT_EQ(data->at(i)->value, ys[i]);
        EXPECT_EQ(s.Label(i), QString::number(i + 7));
    }
    s.Flush();
    EXPECT_EQ(view.Chart1->xAxis->range(), QCPRange(0, 3));
    EXPECT_EQ(view.Chart1->yAxis->range(), QCPRange(-3, 5));

    // Clear during a timed series: X restarts at 0, the label continues the
    // caller's count; a new series restarts the labels as well.
    s.Clear();
    EXPECT_EQ(s.Count(), 0);
    EXPECT_EQ(data->size(), 0);
    s.AddPoint(4, "11", Qt::red);
    EXPECT_EQ(data->at(0)->key, 0);
    EXPECT_EQ(s.Label(0), "11");
    s.Clear();
    s.AddPoint(4, "0", Qt::red);
    s.AddPoint(6, "1", Qt::red);
    EXPECT_EQ(s.Label(0), "0");
    EXPECT_EQ(s.Label(1), "1");
    s.Flush();
    EXPECT_EQ(view.Chart1->yAxis->range(), QCPRange(4, 6));
}

TEST(ChartView, LabelsSurviveRunsBreaksAndText) {
    ChartView view;
    ChartSeries& s = view.SeriesOsc;
    const std::vector<std::pair<float, std::uint16_t>> drained = {
        {1.f, 9998}, {2.f, 9999}, {3.f, 0}, {4.f, 1}};
    s.AddPoints(drained, Qt::red);
    s.AddPoint(5, "abc", Qt::red);
    s.AddPoint(6, "007", Qt::red);
    s.AddPoint(7, "4294967296", Qt::red);
    s.AddPoint(8, "4294967295", Qt::red);
    s.AddPoint(9, "2", Qt::red);
    s.AddPoint(10, "", Qt::red);
    const QStringList want = {"9998", "9999",       "0",          "1", "abc",
                              "007",  "4294967296", "4294967295", "2", ""};
    ASSERT_EQ(s.Count(), want.size());
    for (int i = 0; i < s.Count(); ++i) EXPECT_EQ(s.Label(i), want[i]) << i;
    const auto data = view.Chart1->graph(0)->data();
    for (int i = 0; i < s.Count(); ++i) {
        EXPECT_EQ(data->at(i)->key, i);
        EXPECT_EQ(data->at(i)->value, i + 1);
    }
    EXPECT_EQ(s.Label(-1), "");
    EXPECT_EQ(s.Label(s.Count()), "");
}

TEST(ChartView, AppendsInOneTurnRedrawOnce) {
    ChartView view;
    ChartSeries& s = view.SeriesOsc;
    QSignalSpy replots(view.Chart1, &QCustomPlot::afterReplot);
    ProcessEvents();
    const int before = s.RedrawCount();
    replots.clear();

    for (int i = 0; i < 1000; ++i) s.AddPoint(i % 17, QString::number(i), Qt::red);
    s.Clear();
    s.AddPoints(std::vector<std::pair<float, std::uint16_t>>(500, {1.f, 0}), Qt::red);
    EXPECT_EQ(s.RedrawCount(), before);
    EXPECT_EQ(replots.count(), 0);
    ProcessEvents();
    EXPECT_EQ(s.RedrawCount(), before + 1);
    EXPECT_EQ(replots.count(), 1);
    ProcessEvents();
    EXPECT_EQ(s.RedrawCount(), before + 1);

    // A flush takes the queued redraw; the queued call then does nothing.
    s.AddPoint(1, "0", Qt::red);
    s.Flush();
    ProcessEvents();
    EXPECT_EQ(s.RedrawCount(), before + 2);
    EXPECT_EQ(replots.count(), 2);
}

TEST(ChartView, MarkersOnlyWhilePointsAreApart) {
    ChartView view;
    view.resize(800, 400);
    view.show();
    ChartSeries& s = view.SeriesOsc;
    for (int i = 0; i < 100; ++i) s.AddPoint(i, QString::number(i), Qt::red);
    s.Flush();
    EXPECT_TRUE(s.MarkersDrawn());

    std::vector<std::pair<float, std::uint16_t>> many(5000, {2.f, 0});
    s.AddPoints(many, Qt::red);
    s.Flush();
    EXPECT_FALSE(s.MarkersDrawn());

    s.Clear();
    s.AddPoint(1, "0", Qt::red);
    s.Flush();
    EXPECT_TRUE(s.MarkersDrawn());
    s.SetMarkers(false);
    s.Flush();
    EXPECT_FALSE(s.MarkersDrawn());
}

TEST(ChartView, CornerLineShowsCountMeanAndSigmaWithTheChart) {
    ChartView view;
    view.resize(640, 400);
    view.Chart1->setLocale(QLocale::c());
    ChartSeries& s = view.SeriesOsc;
    s.Flush();
    EXPECT_EQ(s.CornerText(), "");
    s.AddPoint(1.0, "0", Qt::red);
    s.AddPoint(2.0, "1", Qt::red);
    // Updated with the chart's redraw, not before.
    EXPECT_EQ(s.CornerText(), "");
    const std::pair<float, std::uint16_t> more[] = {{3.0f, 2}, {4.0f, 3}};
    s.AddPoints(more, Qt::red);
    s.Flush();
    EXPECT_EQ(s.CornerText(), QString::fromUtf8("n = 4   mean = 2.500 mm   \u03C3 = 1.291 mm"));
    EXPECT_EQ(s.Statistics().Count(), 4u);
    s.Clear();
    s.Flush();
    EXPECT_EQ(s.CornerText(), "");
    s.AddPoint(-7.25, "0", Qt::red);
    s.Flush();
    EXPECT_EQ(s.CornerText(), QString::fromUtf8("n = 1   mean = -7.250 mm   \u03C3 = 0.000 mm"));
}

TEST(ChartView, CornerLineHasItsOwnRowOutsideThePlotArea) {
    ChartView view;
    view.resize(480, 200);
    for (int i = 0; i < 50; ++i) view.SeriesOsc.AddPoint(i % 7, QString::number(i), Qt::red);
    view.SeriesOsc.Flush();
    view.Chart1->replot();
    const QString text = view.SeriesOsc.CornerText();
    ASSERT_FALSE(text.isEmpty());
    QCPTextElement* line = nullptr;
    for (QCPLayoutElement* e : view.Chart1->plotLayout()->elements(false))
        if (auto* t = qobject_cast<QCPTextElement*>(e); t && t->text() == text) line = t;
    ASSERT_NE(line, nullptr);
    const QRect axes = view.Chart1->axisRect()->outerRect();
    EXPECT_FALSE(line->outerRect().intersects(axes));
    EXPECT_LE(line->outerRect().bottom(), axes.top());
    EXPECT_GT(line->outerRect().height(), 0);
    EXPECT_GE(line->outerRect().top(), view.Title->outerRect().bottom());
}

TEST(ChartView, ContextMenuSavesAndClears) {
    ChartView view;
    ASSERT_NE(view.PopupMenuSave, nullptr);
    const QList<QAction*> items = view.PopupMenuSave->actions();
    ASSERT_EQ(items.size(), 6);
    EXPECT_EQ(items[0], view.MenuSave);
    EXPECT_EQ(items[0]->text(), "Save data to file");
    EXPECT_TRUE(items[1]->isSeparator());
    EXPECT_EQ(items[2], view.MenuClear);
    EXPECT_EQ(items[2]->text(), "Clear");
    // The recording's items after a divider below them.
    EXPECT_TRUE(items[3]->isSeparator());
    EXPECT_EQ(items[4], view.MenuExportCsv);
    EXPECT_EQ(items[4]->text(), QString::fromUtf8("Export CSV\u2026"));
    EXPECT_EQ(items[5], view.MenuStatistics);
    EXPECT_EQ(items[5]->text(), "Statistics");

    view.resize(640, 400);
    view.show();
    EXPECT_EQ(view.Chart1->contextMenuPolicy(), Qt::CustomContextMenu);
    emit view.Chart1->customContextMenuRequested(QPoint(10, 10));
    EXPECT_TRUE(view.PopupMenuSave->isVisible());
    view.PopupMenuSave->hide();
}

}  // namespace
}  // namespace mk27x
