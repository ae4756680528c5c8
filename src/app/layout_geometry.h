// Geometry of the main window's middle band and of the docked description
// window, as pure functions of sizes and positions (no widgets involved).
//
// Threading: pure functions; callable from any thread.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <algorithm>

namespace mk27x {

// The fixed sizes the middle band is laid out from.
struct BandMetrics {
    int top_height;     // PanelTop, aligned to the top
    int bottom_height;  // PanelBottom, aligned to the bottom
    int param_width;    // PanelParam
    int button_width;   // ButtonDescription
};

// Client rectangles of the middle band's three controls.
struct BandLayout {
    QRect button;  // ButtonDescription
    QRect param;   // PanelParam
    QRect osc;     // PanelOsc
};

// The band between the top and the bottom panel: the description button at the
// left edge, the parameter panel from the same left edge, the oscilloscope in
// the rest of the width. A client area too low for the band leaves it 0 high.
inline BandLayout LayoutBand(QSize client, const BandMetrics& m) {
    const int top = m.top_height;
    const int height = std::max(0, client.height() - m.top_height - m.bottom_height);
    BandLayout band;
    band.button = QRect(0, top, m.button_width, height);
    const int param_left = band.button.left();
    band.param = QRect(param_left, top, m.param_width, height);
    const int osc_left = param_left + m.param_width;
    band.osc = QRect(osc_left, band.param.top(), std::max(0, client.width() - osc_left),
                     band.param.height());
    return band;
}

// Width of the window's side border: half the difference of outer and client
// width, rounded toward zero.
inline int FrameBorderOf(QSize outer, QSize client) {
    return (outer.width() - client.width()) / 2;
}

// Height of the title bar and the top border.
inline int CaptionOffsetOf(QSize outer, QSize client) {
    return outer.height() - client.height() - FrameBorderOf(outer, client);
}

// Outer top-left of the description window docked to the main window's left
// side, level with the top of the parameter panel. main_pos is the main
// window's outer top-left.
inline QPoint DockPoint(QPoint main_pos, int caption_offset, int param_top, int descr_width) {
    return {main_pos.x() - descr_width, main_pos.y() + caption_offset + param_top};
}

// Screen x of the parameter panel's left side.
inline int PanelEdgeOf(int main_left, int frame_border, int param_left) {
    return main_left + frame_border + param_left;
}

}  // namespace mk27x
