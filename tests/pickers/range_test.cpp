// The range editor shown on its own: the scale as drawn into ScaleBitmap and
// onto the window, the labels, and the markers under the simulated mouse.
#include "pickers/range.h"

#include <gtest/gtest.h>

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <functional>

namespace mk27x {
namespace {

const QRgb kBlackPixel = qRgb(0, 0, 0);
const QRgb kGreyPixel = qRgb(128, 128, 128);
const QRgb kGreenPixel = qRgb(0, 128, 0);
const QRgb kRedPixel = qRgb(255, 0, 0);
const QRgb kBluePixel = qRgb(0, 0, 255);
const QRgb kWhitePixel = qRgb(255, 255, 255);

// The editor shown (not modally) with the given positions and range.
struct ShownRange {
    ShownRange(std::int32_t begin, std::int32_t end, std::int16_t range_mm) {
        form.PosBgn = begin;
        form.PosEnd = end;
        form.RangeMm = range_mm;
        form.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
    }
    ~ShownRange() { form.close(); }

    QRgb Pixel(int x, int y) const { return form.ScaleBitmap->pixel(x, y); }
    // How many pixels of the rectangle [x0, x1] x [y0, y1] satisfy `is`.
    int Count(int x0, int x1, int y0, int y1, const std::function<bool(QRgb)>& is) const {
        int n = 0;
        for (int x = x0; x <= x1; ++x)
            for (int y = y0; y <= y1; ++y) n += is(Pixel(x, y)) ? 1 : 0;
        return n;
    }
    int CountOf(QRgb colour, int x0, int x1, int y0, int y1) const {
        return Count(x0, x1, y0, y1, [colour](QRgb p) { return p == colour; });
    }
    QStringList Labels() const {
        return {form.LabelBgn->text(), form.LabelEnd->text(), form.LabelRang->text()};
    }

    TFormRange form;
};

TEST(pickers_range_window, LayoutAndStateAtCreation) {
    TFormRange form;
    EXPECT_EQ(form.windowTitle(), "Analog output range settings.");
    EXPECT_EQ(form.size(), QSize(689, 171));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());  // not sizable
    EXPECT_EQ(form.PanelRange->geometry(), QRect(0, 104, 689, 67));
    EXPECT_EQ(form.Label9->text(), "Measuring range for analog output:");
    EXPECT_EQ(form.Label9->pos(), QPoint(5, 5));
    EXPECT_EQ(form.LabelBgn->pos(), QPoint(267, 5));
    EXPECT_EQ(form.LabelRang->pos(), QPoint(427, 5));
    EXPECT_EQ(form.LabelEnd->pos(), QPoint(571, 5));
    for (QLabel* label : {form.LabelBgn, form.LabelRang, form.LabelEnd}) {
        EXPECT_EQ(label->text(), "none mm");
        EXPECT_TRUE(label->font().bold());
        EXPECT_EQ(label->font().pixelSize(), 16);
    }
    EXPECT_FALSE(form.Label9->font().bold());
    EXPECT_EQ(form.LabelBgn->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    EXPECT_EQ(form.LabelRang->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    EXPECT_EQ(form.LabelEnd->palette().color(QPalette::WindowText), QColor(0, 0, 255));
    EXPECT_EQ(form.Button1->text(), "OK");
    EXPECT_EQ(form.Button1->geometry(), QRect(512, 32, 75, 25));
    EXPECT_EQ(form.Button2->text(), "Cancel");
    EXPECT_EQ(form.Button2->geometry(), QRect(600, 32, 75, 25));
    EXPECT_EQ(form.PosBgn, 0);
    EXPECT_EQ(form.PosEnd, 100);
    EXPECT_EQ(form.PosMax, 100);
    EXPECT_EQ(form.DragState, TFormRange::kDragNone);
    EXPECT_FALSE(form.Accepted);
    EXPECT_EQ(form.RangeMm, 0);
    EXPECT_EQ(form.ScaleBitmap, nullptr);
}

TEST(pickers_range_window, BitmapExistsOnlyWhileShown) {
    TFormRange form;
    form.show();
    ASSERT_NE(form.ScaleBitmap, nullptr);
    EXPECT_EQ(form.ScaleBitmap->size(), QSize(689, 104));
    form.close();
    EXPECT_EQ(form.ScaleBitmap, nullptr);
    form.show();
    EXPECT_NE(form.ScaleBitmap, nullptr);
    form.Button2->click();
    EXPECT_EQ(form.ScaleBitmap, nullptr);
    EXPECT_FALSE(form.isVisible());
}

TEST(pickers_range_drawing, GridTicksBaselineAndTickLabels) {
    ShownRange r(37, 80, 50);
    const int ticks[] = {10, 76, 143, 210, 277, 344, 410, 477, 544, 611, 678};
    for (int x : ticks) {
        if (x == 544) continue;  // under the end marker
        // Dotted: grey dots with black between them, in the tick's column only.
        EXPECT_GT(r.CountOf(kGreyPixel, x, x, 0, 20), 4) << x;
        EXPECT_GT(r.CountOf(kBlackPixel, x, x, 0, 20), 4) << x;
        if (x < 257 || x > 544) {
            EXPECT_EQ(r.CountOf(kGreyPixel, x + 1, x + 1, 0, 83), 0) << x;
            EXPECT_EQ(r.CountOf(kGreyPixel, x - 1, x - 1, 0, 83), 0) << x;
        }
    }
    // Nothing but black between the ticks outside the range.
    EXPECT_EQ(r.CountOf(kBlackPixel, 20, 70, 0, 83), 51 * 84);
    EXPECT_EQ(r.CountOf(kBlackPixel, 620, 670, 0, 83), 51 * 84);
    // The dotted baseline from 10 to 678.
    EXPECT_GT(r.CountOf(kGreyPixel, 20, 70, 84, 84), 10);
    EXPECT_EQ(r.CountOf(kGreyPixel, 0, 8, 84, 84), 0);
    EXPECT_EQ(r.CountOf(kGreyPixel, 680, 687, 84, 84), 0);
    // White tick labels under the baseline, around each tick.
    EXPECT_GT(r.CountOf(kWhitePixel, 0, 20, 86, 102), 0);     // "0"
    EXPECT_GT(r.CountOf(kWhitePixel, 330, 356, 86, 102), 0);  // "50"
    EXPECT_GT(r.CountOf(kWhitePixel, 660, 688, 86, 102), 0);  // "100"
    EXPECT_EQ(r.CountOf(kWhitePixel, 25, 60, 86, 102), 0);    // between "0" and "10"
    EXPECT_EQ(r.CountOf(kWhitePixel, 0, 688, 0, 85), 0);
}

TEST(pickers_range_drawing, MarkersThreePixelsWideAndHatchBetweenThem) {
    ShownRange r(37, 80, 50);
    for (int x : {256, 257, 258}) EXPECT_EQ(r.CountOf(kRedPixel, x, x, 0, 84), 85) << x;
    for (int x : {543, 544, 545}) EXPECT_EQ(r.CountOf(kBluePixel, x, x, 0, 84), 85) << x;
    EXPECT_EQ(r.CountOf(kRedPixel, 0, 255, 0, 103) + r.CountOf(kRedPixel, 259, 688, 0, 103), 0);
    EXPECT_EQ(r.CountOf(kBluePixel, 0, 542, 0, 103) + r.CountOf(kBluePixel, 546, 688, 0, 103), 0);
    EXPECT_EQ(r.CountOf(kRedPixel, 256, 258, 85, 103), 0);  // not below the baseline
    // Inside the range: green cross-hatch with black between its lines.
    const int green = r.CountOf(kGreenPixel, 300, 400, 10, 70);
    const int black = r.CountOf(kBlackPixel, 300, 400, 10, 70);
    EXPECT_GT(green, 101 * 61 / 8);
    EXPECT_GT(black, 101 * 61 / 3);
    // Diagonal, both ways: a green pixel has green diagonal neighbours.
    int diagonal = 0;
    for (int x = 300; x < 400; ++x)
        for (int y = 10; y < 70; ++y)
            if (r.Pixel(x, y) == kGreenPixel && r.Pixel(x + 1, y + 1) == kGreenPixel) ++diagonal;
    EXPECT_GT(diagonal, green / 4);
    // No hatch outside the range.
    EXPECT_EQ(r.CountOf(kGreenPixel, 0, 254, 0, 103), 0);
    EXPECT_EQ(r.CountOf(kGreenPixel, 547, 688, 0, 103), 0);
    EXPECT_EQ(r.CountOf(kGreenPixel, 300, 400, 86, 103), 0);
}

TEST(pickers_range_drawing, EndMarkerCoversTheBeginMarkerWhereTheyMeet) {
    ShownRange r(50, 50, 50);
    for (int x : {343, 344, 345}) EXPECT_EQ(r.CountOf(kBluePixel, x, x, 0, 84), 85) << x;
    EXPECT_EQ(r.CountOf(kRedPixel, 0, 688, 0, 103), 0);
}

TEST(pickers_range_drawing, WindowShowsTheBitmapAndLabelsTheLengths) {
    ShownRange r(37, 80, 50);
    EXPECT_EQ(r.Labels(), (QStringList{"19 mm", "40 mm", "22 mm"}));
    const QImage window = r.form.grab().toImage();
    for (QPoint at : {QPoint(257, 40), QPoint(544, 40), QPoint(40, 40), QPoint(350, 30),
                      QPoint(10, 3), QPoint(344, 92)})
        EXPECT_EQ(window.pixel(at), r.Pixel(at.x(), at.y())) << at.x() << "," << at.y();
}

TEST(pickers_range_drawing, TextOutsideTheScaleIsDrawnWhereTheFormulaPutsIt) {
    ShownRange r(-1, 101, 10);
    // x(-1) = 4 and x(101) = 684.
    EXPECT_EQ(r.CountOf(kRedPixel, 4, 4, 0, 84), 85);
    EXPECT_EQ(r.CountOf(kBluePixel, 684, 684, 0, 84), 85);
    EXPECT_EQ(r.Labels(), (QStringList{"0 mm", "10 mm", "10 mm"}));  // -0.1, 10.1, 10.2
}

TEST(pickers_range_drawing, NoSensorIdentifiedShowsZeroEverywhere) {
    ShownRange r(37, 80, 0);
    EXPECT_EQ(r.Labels(), (QStringList{"0 mm", "0 mm", "0 mm"}));
}

TEST(pickers_range_mouse, ClicksSetTheMarkerOfTheirButtonClampedToTheScale) {
    ShownRange r(37, 80, 50);
    auto click = [&](Qt::MouseButton button, int x) {
        QTest::mouseClick(&r.form, button, {}, QPoint(x, 50));
    };
    click(Qt::LeftButton, 10);
    EXPECT_EQ(r.form.PosBgn, 0);
    EXPECT_EQ(r.form.PosEnd, 80);
    click(Qt::LeftButton, 3);
    EXPECT_EQ(r.form.PosBgn, 0);
    click(Qt::LeftButton, 344);
    EXPECT_EQ(r.form.PosBgn, 50);
    EXPECT_EQ(r.CountOf(kRedPixel, 343, 345, 0, 84), 3 * 85);  // redrawn at once
    EXPECT_EQ(r.Labels(), (QStringList{"25 mm", "40 mm", "15 mm"}));
    click(Qt::RightButton, 678);
    EXPECT_EQ(r.form.PosEnd, 100);
    EXPECT_EQ(r.form.PosBgn, 50);
    click(Qt::RightButton, 688);
    EXPECT_EQ(r.form.PosEnd, 100);
    click(Qt::RightButton, 344);
    EXPECT_EQ(r.form.PosEnd, 50);
    // Outside the window: the pointer's coordinate still clamps.
    r.form.FormMouseDown(Qt::LeftButton, -40, 50);
    r.form.FormMouseUp();
    EXPECT_EQ(r.form.PosBgn, 0);
    r.form.FormMouseDown(Qt::RightButton, 900, 50);
    r.form.FormMouseUp();
    EXPECT_EQ(r.form.PosEnd, 100);
    // The middle button moves neither marker.
    click(Qt::MiddleButton, 200);
    EXPECT_EQ(r.form.PosBgn, 0);
    EXPECT_EQ(r.form.PosEnd, 100);
    EXPECT_EQ(r.form.DragState, TFormRange::kDragNone);
    // A press on the panel is no press on the scale.
    QTest::mouseClick(r.form.PanelRange, Qt::LeftButton, {}, QPoint(300, 10));
    QTest::mouseClick(r.form.Label9, Qt::RightButton, {}, QPoint(3, 3));
    EXPECT_EQ(r.form.PosBgn, 0);
    EXPECT_EQ(r.form.PosEnd, 100);
}

TEST(pickers_range_mouse, DragFollowsThePointerFreezesOverThePanelAndEndsOnRelease) {
    ShownRange r(37, 80, 50);
    QTest::mousePress(&r.form, Qt::LeftButton, {}, QPoint(100, 50));
    EXPECT_EQ(r.form.DragState, TFormRange::kDragBegin);
    EXPECT_EQ(r.form.PosBgn, 13);  // 90 * 100 / 668
    QTest::mouseMove(&r.form, QPoint(200, 50));
    EXPECT_EQ(r.form.PosBgn, 28);
    QTest::mouseMove(&r.form, QPoint(400, 120));  // over the panel: frozen
    EXPECT_EQ(r.form.PosBgn, 28);
    QTest::mouseMove(&r.form, QPoint(500, 103));  // back above it: resumes
    EXPECT_EQ(r.form.PosBgn, 73);
    QTest::mouseMove(&r.form, QPoint(-30, 40));  // left of the scale
    EXPECT_EQ(r.form.PosBgn, 0);
    EXPECT_EQ(r.form.PosEnd, 80);
    QTest::mouseRelease(&r.form, Qt::LeftButton, {}, QPoint(300, 130));  // over the panel
    EXPECT_EQ(r.form.DragState, TFormRange::kDragNone);
    QTest::mouseMove(&r.form, QPoint(344, 50));
    EXPECT_EQ(r.form.PosBgn, 0);

    QTest::mousePress(&r.form, Qt::RightButton, {}, QPoint(400, 50));
    EXPECT_EQ(r.form.DragState, TFormRange::kDragEnd);
    QTest::mouseMove(&r.form, QPoint(9000, 20));
    EXPECT_EQ(r.form.PosEnd, 100);
    QTest::mouseMove(&r.form, QPoint(344, 20));
    EXPECT_EQ(r.form.PosEnd, 50);
    EXPECT_EQ(r.form.PosBgn, 0);
    QTest::mouseRelease(&r.form, Qt::RightButton, {}, QPoint(344, 20));
    EXPECT_EQ(r.form.DragState, TFormRange::kDragNone);
}

TEST(pickers_range_mouse, ReleaseOnAnyLabelOrThePanelEndsTheDrag) {
    ShownRange r(37, 80, 50);
    for (QWidget* w :
         {static_cast<QWidget*>(r.form.PanelRange), static_cast<QWidget*>(r.form.Label9),
          static_cast<QWidget*>(r.form.LabelBgn), static_cast<QWidget*>(r.form.LabelRang),
          static_cast<QWidget*>(r.form.LabelEnd)}) {
        r.form.FormMouseDown(Qt::LeftButton, 200, 50);
        ASSERT_EQ(r.form.DragState, TFormRange::kDragBegin);
        QMouseEvent release(QEvent::MouseButtonRelease, QPointF(2, 2),
                            w->mapToGlobal(QPointF(2, 2)), Qt::LeftButton, Qt::NoButton,
                            Qt::NoModifier);
        QApplication::sendEvent(w, &release);
        EXPECT_EQ(r.form.DragState, TFormRange::kDragNone) << w->objectName().toStdString();
    }
}

TEST(pickers_range_mouse, MiddleButtonEndsADrag) {
    ShownRange r(37, 80, 50);
    r.form.FormMouseDown(Qt::LeftButton, 200, 50);
    r.form.FormMouseDown(Qt::MiddleButton, 300, 50);
    r.form.FormMouseMove(500, 50);
    EXPECT_EQ(r.form.PosBgn, 28);
    EXPECT_EQ(r.form.DragState, TFormRange::kDragNone);
}

TEST(pickers_range_mouse, BeginRightOfEndDrawsBetweenThemWithANegativeDifference) {
    ShownRange r(37, 80, 50);
    QTest::mouseClick(&r.form, Qt::LeftButton, {}, QPoint(545, 50));
    QTest::mouseClick(&r.form, Qt::RightButton, {}, QPoint(257, 50));
    EXPECT_EQ(r.form.PosBgn, 80);
    EXPECT_EQ(r.form.PosEnd, 36);
    EXPECT_EQ(r.Labels(), (QStringList{"40 mm", "18 mm", "-22 mm"}));
    EXPECT_EQ(r.CountOf(kRedPixel, 543, 545, 0, 84), 3 * 85);
    EXPECT_EQ(r.CountOf(kBluePixel, 249, 251, 0, 84), 3 * 85);  // x(36) = 250
    EXPECT_GT(r.CountOf(kGreenPixel, 300, 400, 10, 70), 101 * 61 / 8);
    EXPECT_EQ(r.CountOf(kGreenPixel, 560, 688, 0, 103), 0);
}

}  // namespace
}  // namespace mk27x
