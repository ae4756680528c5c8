#include "app/window_layout.h"

#include <QLayout>
#include <QScreen>
#include <QTimer>
#include <algorithm>

#include "app/descr.h"
#include "app/form_main.h"
#include "app/layout_geometry.h"
#include "app/value_list_editor.h"

namespace mk27x {

WindowLayout::WindowLayout(TFormMain& window) : w(window), session(window.session) {}

void WindowLayout::SetUpDescriptionPanel() {
    QObject::connect(w.TimerMore, &QTimer::timeout, &w, [this] { TimerMoreTimer(); });
    CanPlaceWindows = WindowSystemPlacesWindows();
    // The button shares its left edge with the parameter panel: it stays on top
    // of the panel and the grid starts right of it, so no name is covered.
    w.ButtonDescription->raise();
    if (QLayout* layout = w.PanelParam->layout())
        layout->setContentsMargins(kDescriptionButtonWidth, 0, 0, 0);
    QObject::connect(w.ButtonDescription, &QPushButton::clicked, &w,
                     [this] { ButtonDescriptionClick(); });
    QObject::connect(w.TimerDesc, &QTimer::timeout, &w, [this] { TimerDescTimer(); });
}

// --- the bands and the height ----------------------------------------------------

void WindowLayout::LayoutMainWindow() {
    const QSize client = w.size();
    w.PanelTop->setGeometry(0, 0, client.width(), kTopPanelHeight);
    w.PanelBottom->setGeometry(0, client.height() - kBottomPanelHeight, client.width(),
                               kBottomPanelHeight);
    const BandLayout band = LayoutBand(
        client, {kTopPanelHeight, kBottomPanelHeight, kParamPanelWidth, kDescriptionButtonWidth});
    w.ButtonDescription->setGeometry(band.button);
    w.PanelParam->setGeometry(band.param);
    w.PanelOsc->setGeometry(band.osc);
    // Too low for a grid row and the chart's axes, the band shows nothing
    // rather than a squashed strip of both.
    const bool readable = band.param.height() >= kMinReadableBand;
    w.PanelParam->setVisible(readable);
    w.PanelOsc->setVisible(readable);
    UpdateFrameMetrics();
}

void WindowLayout::UpdateFrameMetrics() {
    const QSize outer = w.frameGeometry().size();
    FrameBorder = FrameBorderOf(outer, w.size());
    CaptionOffset = CaptionOffsetOf(outer, w.size());
}

void WindowLayout::FormResize() {
    LayoutMainWindow();
    TFormDescr* descr = form_descr_;
    if (descr && w.ButtonDescription->Tag == 1)
        descr->resize(descr->width(), w.PanelParam->height());
}

void WindowLayout::TimerMoreTimer() {
    if (GrowNext) {
        if (OuterHeight() < kTargetHeight) {
            SetWindowHeight(OuterHeight() + kHeightStep);
            return;
        }
        GrowNext = false;
        SetTimerMore(false);
    } else {
        if (OuterHeight() > kMinHeight) {
            SetWindowHeight(OuterHeight() - kHeightStep);
            return;
        }
        GrowNext = true;
        SetTimerMore(false);
    }
}

void WindowLayout::SetTimerMore(bool running) {
    if (running)
        w.TimerMore->start();
    else
        w.TimerMore->stop();
    session.SetDisplayBusy(running);
}

int WindowLayout::OuterHeight() const {
    return outer_height_;
}

int WindowLayout::FrameHeight() const {
    return w.frameGeometry().height() - w.geometry().height();
}

void WindowLayout::SetWindowHeight(int outer_height) {
    outer_height_ = outer_height;
    frame_height_ = FrameHeight();
    w.setFixedSize(kClientWidth, std::max(0, outer_height - frame_height_));
    LayoutMainWindow();
    const QScreen* screen = w.screen();
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    const QRect outer = w.frameGeometry();
    const int overshoot = outer.top() + outer_height - 1 - available.bottom();
    if (overshoot > 0) w.move(w.x(), std::max(available.top(), outer.top() - overshoot));
}

void WindowLayout::FollowFrame() {
    // A window manager frames the window some time after it is shown: the
    // outer height is applied again once the frame is known or has changed.
    if (w.isVisible() && FrameHeight() != frame_height_) SetWindowHeight(outer_height_);
}

// --- the description window --------------------------------------------------------

void WindowLayout::SetFormDescr(TFormDescr* form) {
    form_descr_ = form;
    if (!form) return;
    QPointer<TFormMain> self(&w);
    form->DockPosition = [self]() -> std::optional<QPoint> {
        if (!self) return std::nullopt;
        return self->window_layout.DockPosition();
    };
}

TFormDescr* WindowLayout::FormDescr() const {
    return form_descr_;
}

QPoint WindowLayout::DockPosition() const {
    const int descr_width =
        form_descr_ ? form_descr_->frameGeometry().width() : TFormDescr::kClientWidth;
    return DockPoint(w.pos(), CaptionOffset, w.PanelParam->y(), descr_width);
}

int WindowLayout::PanelEdge() const {
    return PanelEdgeOf(w.x(), FrameBorder, w.PanelParam->x());
}

void WindowLayout::ButtonDescriptionClick() {
    TFormDescr* descr = form_descr_;
    // As a normal window it can be closed by its own title bar: the next click
    // opens it again instead of closing what is already closed.
    if (!CanPlaceWindows && descr && w.ButtonDescription->Tag == 1 && !descr->isVisible() &&
        !w.TimerDesc->isActive())
        w.ButtonDescription->Tag = 0;
    if (w.ButtonDescription->Tag == 0) {
        if (descr) {
            // The frame may have changed since the last layout (a window
            // manager decorates the window after it is shown).
            UpdateFrameMetrics();
            descr->resize(descr->width(), w.PanelParam->height());
            if (CanPlaceWindows)
                descr->move(PanelEdge(), w.y() + CaptionOffset + w.PanelParam->y());
            descr->show();
            if (CanPlaceWindows) {
                // In front of the description window, which slides out from
                // behind it.
                w.raise();
                GiveFocusBack();
            }
        }
        w.ButtonDescription->setText(">>");
    } else {
        w.ButtonDescription->setText("<<");
        if (descr) descr->TimerPos->stop();
    }
    w.ButtonDescription->Tag = (w.ButtonDescription->Tag + 1) % 2;
    w.TimerDesc->start();
}

void WindowLayout::TimerDescTimer() {
    TFormDescr* descr = form_descr_;
    if (!descr) {
        w.TimerDesc->stop();
        return;
    }
    if (!CanPlaceWindows) {
        // The window system places the window: it opens or closes at once.
        w.TimerDesc->stop();
        if (w.ButtonDescription->Tag == 0) descr->hide();
        return;
    }
    const int edge = PanelEdge();
    const QPoint at = descr->pos();
    if (w.ButtonDescription->Tag == 1) {
        if (at.x() + descr->frameGeometry().width() > edge) {
            descr->move(at.x() - kSlideStep, at.y());
        } else {
            descr->move(DockPosition());
            w.TimerDesc->stop();
            descr->TimerPos->start();
        }
    } else {
        if (at.x() < edge) {
            descr->move(at.x() + kSlideStep, at.y());
        } else {
            w.TimerDesc->stop();
            descr->hide();
        }
    }
    GiveFocusBack();
}

void WindowLayout::GiveFocusBack() {
    if (!w.isActiveWindow()) w.activateWindow();
}

}  // namespace mk27x
