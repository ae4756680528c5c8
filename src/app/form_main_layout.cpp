// The main window's middle band and the description window that slides out of
// its left side.
#include <QLayout>
#include <QTimer>

#include "app/descr.h"
#include "app/form_main.h"
#include "app/layout_geometry.h"
#include "app/value_list_editor.h"

namespace mk27x {

void TFormMain::SetUpDescriptionPanel() {
    CanPlaceWindows = WindowSystemPlacesWindows();
    // The button shares its left edge with the parameter panel: it stays on top
    // of the panel and the grid starts right of it, so no name is covered.
    ButtonDescription->raise();
    if (QLayout* layout = PanelParam->layout())
        layout->setContentsMargins(kDescriptionButtonWidth, 0, 0, 0);
    connect(ButtonDescription, &QPushButton::clicked, this, [this] { ButtonDescriptionClick(); });
    connect(TimerDesc, &QTimer::timeout, this, [this] { TimerDescTimer(); });
}

void TFormMain::SetFormDescr(TFormDescr* form) {
    form_descr_ = form;
    if (!form) return;
    QPointer<TFormMain> self(this);
    form->DockPosition = [self]() -> std::optional<QPoint> {
        if (!self) return std::nullopt;
        return self->DockPosition();
    };
}

TFormDescr* TFormMain::FormDescr() const {
    return form_descr_;
}

void TFormMain::LayoutMainWindow() {
    const QSize client = size();
    PanelTop->setGeometry(0, 0, client.width(), kTopPanelHeight);
    PanelBottom->setGeometry(0, client.height() - kBottomPanelHeight, client.width(),
                             kBottomPanelHeight);
    const BandLayout band = LayoutBand(
        client, {kTopPanelHeight, kBottomPanelHeight, kParamPanelWidth, kDescriptionButtonWidth});
    ButtonDescription->setGeometry(band.button);
    PanelParam->setGeometry(band.param);
    PanelOsc->setGeometry(band.osc);
    // Too low for a grid row and the chart's axes, the band shows nothing
    // rather than a squashed strip of both.
    const bool readable = band.param.height() >= kMinReadableBand;
    PanelParam->setVisible(readable);
    PanelOsc->setVisible(readable);
    UpdateFrameMetrics();
}

void TFormMain::UpdateFrameMetrics() {
    const QSize outer = frameGeometry().size();
    FrameBorder = FrameBorderOf(outer, size());
    CaptionOffset = CaptionOffsetOf(outer, size());
}

void TFormMain::FormResize() {
    LayoutMainWindow();
    TFormDescr* descr = form_descr_;
    if (descr && ButtonDescription->Tag == 1) descr->resize(descr->width(), PanelParam->height());
}

QPoint TFormMain::DockPosition() const {
    const int descr_width =
        form_descr_ ? form_descr_->frameGeometry().width() : TFormDescr::kClientWidth;
    return DockPoint(pos(), CaptionOffset, PanelParam->y(), descr_width);
}

int TFormMain::PanelEdge() const {
    return PanelEdgeOf(x(), FrameBorder, PanelParam->x());
}

void TFormMain::ButtonDescriptionClick() {
    TFormDescr* descr = form_descr_;
    // As a normal window it can be closed by its own title bar: the next click
    // opens it again instead of closing what is already closed.
    if (!CanPlaceWindows && descr && ButtonDescription->Tag == 1 && !descr->isVisible() &&
        !TimerDesc->isActive())
        ButtonDescription->Tag = 0;
    if (ButtonDescription->Tag == 0) {
        if (descr) {
            // The frame may have changed since the last layout (a window
            // manager decorates the window after it is shown).
            UpdateFrameMetrics();
            descr->resize(descr->width(), PanelParam->height());
            if (CanPlaceWindows) descr->move(PanelEdge(), y() + CaptionOffset + PanelParam->y());
            descr->show();
            if (CanPlaceWindows) {
                // In front of the description window, which slides out from
                // behind it.
                raise();
                GiveFocusBack();
            }
        }
        ButtonDescription->setText(">>");
    } else {
        ButtonDescription->setText("<<");
        if (descr) descr->TimerPos->stop();
    }
    ButtonDescription->Tag = (ButtonDescription->Tag + 1) % 2;
    TimerDesc->start();
}

void TFormMain::TimerDescTimer() {
    TFormDescr* descr = form_descr_;
    if (!descr) {
        TimerDesc->stop();
        return;
    }
    if (!CanPlaceWindows) {
        // The window system places the window: it opens or closes at once.
        TimerDesc->stop();
        if (ButtonDescription->Tag == 0) descr->hide();
        return;
    }
    const int edge = PanelEdge();
    const QPoint at = descr->pos();
    if (ButtonDescription->Tag == 1) {
        if (at.x() + descr->frameGeometry().width() > edge) {
            descr->move(at.x() - kSlideStep, at.y());
        } else {
            descr->move(DockPosition());
            TimerDesc->stop();
            descr->TimerPos->start();
        }
    } else {
        if (at.x() < edge) {
            descr->move(at.x() + kSlideStep, at.y());
        } else {
            TimerDesc->stop();
            descr->hide();
        }
    }
    GiveFocusBack();
}

void TFormMain::GiveFocusBack() {
    if (!isActiveWindow()) activateWindow();
}

}  // namespace mk27x
