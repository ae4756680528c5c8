// The main window's middle band and the description window: the geometry
// rules, the layout through the height animation, the slide out and in driven
// tick by tick, reversal, docking while the main window resizes and moves, the
// watchdog freezing a slide, and window systems that place windows themselves.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

#include "app/descr.h"
#include "app/layout_geometry.h"
#include "app/value_list_editor.h"
#include "params/parameter_table.h"
#include "window_harness.h"

namespace mk27x {
namespace {

const BandMetrics kBand{105, 58, 217, 14};

TEST(layout_geometry, DocksLeftOfTheMainWindowLevelWithTheParameterPanel) {
    // Caption offset 23, main window at 100, 50: docked at -22, 50 + 23 + 105.
    EXPECT_EQ(DockPoint({100, 50}, 23, 105, 122), QPoint(-22, 178));
    EXPECT_EQ(DockPoint({0, 0}, 0, 105, 122), QPoint(-122, 105));
    EXPECT_EQ(PanelEdgeOf(100, 4, 0), 104);

    // Frame: the side border is half the width difference, rounded toward zero;
    // the caption offset is the rest of the height difference.
    EXPECT_EQ(FrameBorderOf({722, 762}, {714, 731}), 4);
    EXPECT_EQ(CaptionOffsetOf({722, 762}, {714, 731}), 27);
    EXPECT_EQ(FrameBorderOf({715, 731}, {714, 731}), 0);
    EXPECT_EQ(CaptionOffsetOf({714, 731}, {714, 731}), 0);
}

TEST(layout_geometry, BandFillsTheSpaceBetweenTopAndBottomPanels) {
    const BandLayout band = LayoutBand({714, 731}, kBand);
    EXPECT_EQ(band.button, QRect(0, 105, 14, 568));
    EXPECT_EQ(band.param, QRect(0, 105, 217, 568));
    EXPECT_EQ(band.osc, QRect(217, 105, 497, 568));

    // Narrowest window: the oscilloscope keeps the rest of the width.
    EXPECT_EQ(LayoutBand({647, 300}, kBand).osc, QRect(217, 105, 430, 137));
    // A client area lower than the two panels leaves an empty band, not a
    // negative one.
    const BandLayout low = LayoutBand({714, 150}, kBand);
    EXPECT_EQ(low.param.height(), 0);
    EXPECT_EQ(low.button.height(), 0);
    EXPECT_EQ(low.osc.height(), 0);
}

// The middle band of a window as it stands, checked against its client size.
void ExpectBandLaidOut(const TFormMain& w) {
    SCOPED_TRACE(::testing::Message() << "outer height " << w.frameGeometry().height());
    const int band = w.height() - 105 - 58;
    EXPECT_EQ(w.ButtonDescription->geometry(), QRect(0, 105, 14, band));
    EXPECT_EQ(w.PanelParam->geometry(), QRect(0, 105, 217, band));
    EXPECT_EQ(w.PanelOsc->geometry(), QRect(217, 105, 714 - 217, band));
    EXPECT_EQ(w.PanelTop->geometry(), QRect(0, 0, 714, 105));
    EXPECT_EQ(w.PanelBottom->geometry(), QRect(0, w.height() - 58, 714, 58));
    const QRect outer = w.frameGeometry();
    EXPECT_EQ(w.window_layout.FrameBorder, (outer.width() - w.width()) / 2);
    EXPECT_EQ(w.window_layout.CaptionOffset,
              outer.height() - w.height() - w.window_layout.FrameBorder);
}

class LayoutWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        w.show();
        w.window_layout.SetFormDescr(&descr);
    }

    // Runs TimerDesc's ticks until the slide ends; returns the left positions
    // after each tick.
    std::vector<int> FinishSlide() {
        std::vector<int> lefts;
        for (int guard = 0; w.TimerDesc->isActive() && guard < 200; ++guard) {
            w.window_layout.TimerDescTimer();
            lefts.push_back(descr.x());
        }
        return lefts;
    }

    // Declared first: it outlives the main window, as it may in the program.
    TFormDescr descr;
    WindowHarness h;
    TFormMain& w = *h.window;
};

using description_window = LayoutWindowTest;

TEST_F(description_window, BandFollowsEveryHeightOfTheAnimation) {
    ExpectBandLaidOut(w);
    EXPECT_EQ(w.frameGeometry().height(), 195);
    // The frame the window system reports is the one the layout measured.
    EXPECT_EQ(w.window_layout.FrameBorder, (w.frameGeometry().width() - 714) / 2);

    // The button is the control at the band's left edge; the band is too low
    // for the grid and the chart, which are not drawn.
    EXPECT_EQ(w.childAt(3, 110), w.ButtonDescription);
    EXPECT_TRUE(w.ButtonDescription->isVisible());
    EXPECT_FALSE(w.PanelParam->isVisible());
    EXPECT_FALSE(w.PanelOsc->isVisible());

    w.ButtonConnect->click();
    std::vector<int> heights;
    while (w.TimerMore->isActive()) {
        w.window_layout.TimerMoreTimer();
        heights.push_back(w.frameGeometry().height());
        ExpectBandLaidOut(w);
    }
    EXPECT_EQ(heights, (std::vector<int>{275, 355, 435, 515, 595, 675, 675}));
    // The grid starts right of the button.
    EXPECT_EQ(w.childAt(3, 300), w.ButtonDescription);
    EXPECT_TRUE(w.PanelParam->isVisible());
    EXPECT_TRUE(w.PanelOsc->isVisible());
    EXPECT_EQ(w.ValueListEditorParam->mapTo(&w, QPoint(0, 0)).x(), 14);

    w.ButtonConnect->click();
    heights.clear();
    while (w.TimerMore->isActive()) {
        w.window_layout.TimerMoreTimer();
        heights.push_back(w.frameGeometry().height());
        ExpectBandLaidOut(w);
    }
    EXPECT_EQ(heights, (std::vector<int>{595, 515, 435, 355, 275, 195, 195}));
}

TEST_F(description_window, SlidesOutDocksAndSlidesBackIn) {
    EXPECT_FALSE(descr.isVisible());
    EXPECT_FALSE(w.TimerDesc->isActive());
    EXPECT_EQ(w.TimerDesc->interval(), 1);
    const int edge = w.x() + w.window_layout.FrameBorder;
    ASSERT_EQ(w.window_layout.PanelEdge(), edge);

    // Out: placed over the parameter panel, as tall as it, then 10 pixels a
    // tick to the left until its right edge has passed the panel edge.
    w.ButtonDescription->click();
    EXPECT_EQ(w.ButtonDescription->text(), ">>");
    EXPECT_EQ(w.ButtonDescription->Tag, 1);
    EXPECT_TRUE(w.TimerDesc->isActive());
    EXPECT_TRUE(descr.isVisible());
    EXPECT_EQ(descr.pos(), QPoint(edge, w.y() + w.window_layout.CaptionOffset + 105));
    EXPECT_EQ(descr.height(), w.PanelParam->height());
    EXPECT_EQ(descr.width(), 122);

    std::vector<int> expected;
    for (int left = edge - 10; left + 10 + 122 > edge; left -= 10) expected.push_back(left);
    expected.push_back(w.x() - 122);  // the last tick snaps it to the dock
    EXPECT_EQ(FinishSlide(), expected);
    EXPECT_EQ(expected.size(), 14u);
    EXPECT_EQ(descr.pos(), w.window_layout.DockPosition());
    EXPECT_EQ(w.window_layout.DockPosition(),
              QPoint(w.x() - 122, w.y() + w.window_layout.CaptionOffset + 105));
    EXPECT_TRUE(descr.TimerPos->isActive());
    EXPECT_TRUE(descr.isVisible());

    // In: TimerPos stops at once, then 10 pixels a tick to the right until the
    // window has reached the panel edge, where it is hidden.
    w.ButtonDescription->click();
    EXPECT_EQ(w.ButtonDescription->text(), "<<");
    EXPECT_EQ(w.ButtonDescription->Tag, 0);
    EXPECT_FALSE(descr.TimerPos->isActive());
    const std::vector<int> lefts = FinishSlide();
    ASSERT_GE(lefts.size(), 2u);
    for (std::size_t i = 0; i + 1 < lefts.size(); ++i)
        EXPECT_EQ(lefts[i], w.x() - 122 + 10 * static_cast<int>(i + 1));
    EXPECT_GE(lefts.back(), edge);
    EXPECT_FALSE(descr.isVisible());
    EXPECT_FALSE(w.TimerDesc->isActive());
    EXPECT_FALSE(descr.TimerPos->isActive());
}

TEST_F(description_window, ClickMidSlideReversesIt) {
    w.ButtonDescription->click();
    for (int i = 0; i < 5; ++i) w.window_layout.TimerDescTimer();
    const int edge = w.window_layout.PanelEdge();
    ASSERT_EQ(descr.x(), edge - 50);

    // Sliding out, a click turns it back from where it stands.
    w.ButtonDescription->click();
    EXPECT_EQ(w.ButtonDescription->Tag, 0);
    EXPECT_EQ(w.ButtonDescription->text(), "<<");
    EXPECT_EQ(descr.x(), edge - 50);
    w.window_layout.TimerDescTimer();
    w.window_layout.TimerDescTimer();
    EXPECT_EQ(descr.x(), edge - 30);
    EXPECT_TRUE(descr.isVisible());

    // Sliding in, a click puts it back at the panel edge and slides it out
    // from there, to the dock.
    w.ButtonDescription->click();
    EXPECT_EQ(w.ButtonDescription->Tag, 1);
    EXPECT_EQ(descr.x(), edge);
    w.window_layout.TimerDescTimer();
    EXPECT_EQ(descr.x(), edge - 10);
    FinishSlide();
    EXPECT_EQ(descr.pos(), w.window_layout.DockPosition());
    EXPECT_TRUE(descr.TimerPos->isActive());
}

TEST_F(description_window, DockedWindowFollowsTheMainWindowsHeightAndPosition) {
    w.ButtonDescription->click();
    FinishSlide();
    ASSERT_TRUE(descr.TimerPos->isActive());

    // Growing and shrinking: the docked window keeps the panel's height.
    h.Connect();
    ASSERT_EQ(w.frameGeometry().height(), 675);
    EXPECT_EQ(descr.height(), w.PanelParam->height());
    w.ButtonConnect->click();
    while (w.TimerMore->isActive()) {
        w.window_layout.TimerMoreTimer();
        EXPECT_EQ(descr.height(), w.PanelParam->height());
    }
    EXPECT_EQ(w.frameGeometry().height(), 195);

    // Moving: the next TimerPos tick brings it along.
    descr.TimerPosTimer();
    const QPoint before = descr.pos();
    const QPoint main_before = w.pos();
    w.move(w.pos() + QPoint(40, 25));
    ASSERT_EQ(w.pos(), main_before + QPoint(40, 25));
    EXPECT_EQ(descr.pos(), before);
    descr.TimerPosTimer();
    EXPECT_EQ(descr.pos(), before + QPoint(40, 25));
    EXPECT_EQ(descr.pos(), QPoint(w.x() - 122, w.y() + w.window_layout.CaptionOffset + 105));

    // Hidden or sliding in, a resize leaves its height alone.
    w.ButtonDescription->click();
    const int height = descr.height();
    h.Connect();
    EXPECT_EQ(descr.height(), height);
}

TEST_F(description_window, WatchdogFreezesASlideWhereItStands) {
    h.Connect();
    w.ButtonDescription->click();
    for (int i = 0; i < 3; ++i) w.window_layout.TimerDescTimer();
    const QPoint frozen = descr.pos();

    sim::Faults faults;
    faults.silent_after_requests = 0;
    h.sensor->SetFaults(faults);
    EXPECT_FALSE(w.session.MeasureOnce());
    w.link.TimerAnswerTimer();
    ASSERT_EQ(h.messages.shown.size(), 1u);
    EXPECT_FALSE(w.TimerDesc->isActive());
    EXPECT_FALSE(descr.TimerPos->isActive());
    EXPECT_EQ(descr.pos(), frozen);
    EXPECT_TRUE(descr.isVisible());

    // The button still works: the window slides in from where it froze.
    w.ButtonDescription->click();
    EXPECT_EQ(descr.pos(), frozen);
    FinishSlide();
    EXPECT_FALSE(descr.isVisible());
}

TEST_F(description_window, RealTimersSlideItOutAndGiveTheFocusBack) {
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
    w.ButtonDescription->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return descr.TimerPos->isActive(); }, 10000));
    EXPECT_FALSE(w.TimerDesc->isActive());
    QTest::qWait(20);
    EXPECT_EQ(descr.pos(), w.window_layout.DockPosition());
    EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &w; }, 5000));

    // Docked, it follows a moved main window by itself.
    w.move(w.pos() + QPoint(-15, 30));
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return descr.pos() == w.window_layout.DockPosition(); }, 5000));

    w.ButtonDescription->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !descr.isVisible(); }, 10000));
    EXPECT_FALSE(w.TimerDesc->isActive());
    EXPECT_EQ(QApplication::activeWindow(), &w);
}

TEST_F(description_window, WithoutWindowPlacementItOpensAsAPlainWindow) {
    w.window_layout.CanPlaceWindows = false;
    const QPoint untouched = descr.pos();
    w.ButtonDescription->click();
    EXPECT_TRUE(descr.isVisible());
    EXPECT_EQ(descr.pos(), untouched);
    EXPECT_EQ(w.ButtonDescription->text(), ">>");
    w.window_layout.TimerDescTimer();
    EXPECT_FALSE(w.TimerDesc->isActive());
    EXPECT_FALSE(descr.TimerPos->isActive());
    EXPECT_EQ(descr.pos(), untouched);
    EXPECT_EQ(descr.height(), w.PanelParam->height());

    w.ButtonDescription->click();
    EXPECT_EQ(w.ButtonDescription->text(), "<<");
    w.window_layout.TimerDescTimer();
    EXPECT_FALSE(descr.isVisible());
    EXPECT_FALSE(w.TimerDesc->isActive());

    // Closed by its own title bar, the next click opens it again.
    w.ButtonDescription->click();
    w.window_layout.TimerDescTimer();
    descr.close();
    w.ButtonDescription->click();
    EXPECT_TRUE(descr.isVisible());
    EXPECT_EQ(w.ButtonDescription->Tag, 1);
    EXPECT_EQ(w.ButtonDescription->text(), ">>");
}

TEST(description_window_alone, BorderlessMemoDescribingEveryParameter) {
    TFormDescr descr;
    EXPECT_TRUE(descr.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(descr.size(), QSize(122, 348));
    EXPECT_FALSE(descr.TimerPos->isActive());
    EXPECT_EQ(descr.TimerPos->interval(), 1);
    // Left open, it does not keep the program running.
    EXPECT_FALSE(descr.testAttribute(Qt::WA_QuitOnClose));
    descr.show();
    EXPECT_EQ(descr.frameGeometry().size(), QSize(122, 348));
    EXPECT_EQ(descr.Memo1->geometry(), descr.rect());
    EXPECT_TRUE(descr.Memo1->isReadOnly());

    // Every row is described, in grid order, with its range or values.
    const QString text = descr.Memo1->toPlainText();
    EXPECT_FALSE(text.contains("Memo1"));
    qsizetype at = 0;
    for (const ParameterRow& row : ParameterTable) {
        const QString name = QString::fromUtf8(row.name.data(), qsizetype(row.name.size()));
        const qsizetype found = text.indexOf("\n" + name + "\n", at);
        ASSERT_GE(found, at) << name.toStdString();
        const qsizetype next = text.indexOf("\n\n", found + 1);
        const QString entry = text.mid(found, next < 0 ? -1 : next - found);
        EXPECT_TRUE(entry.contains("Range:") || entry.contains("Values:")) << name.toStdString();
        at = found + 1;
    }
    EXPECT_TRUE(text.contains("Range: -32768 to 32767."));
    EXPECT_TRUE(text.contains("Values: 9600, 115200, 230400, 460800, 921600."));

    // Without a main window to dock to, TimerPos leaves it where it is.
    const QPoint at_start = descr.pos();
    descr.TimerPosTimer();
    EXPECT_EQ(descr.pos(), at_start);
}

TEST(description_window_alone, OutlivedMainWindowIsNotFollowed) {
    TFormDescr descr;
    {
        WindowHarness h;
        h.window->window_layout.SetFormDescr(&descr);
        ASSERT_TRUE(descr.DockPosition().has_value());
    }
    EXPECT_FALSE(descr.DockPosition().has_value());
    descr.TimerPosTimer();  // must not touch the destroyed window
}

}  // namespace
}  // namespace mk27x
