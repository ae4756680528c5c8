// The window's layout and its side panel: the top, middle and bottom bands at
// their designed pixel sizes, the outer height and its animation (TimerMore)
// between the short idle window and the tall connected one, the window
// manager's frame (FrameBorder, CaptionOffset), and the description window
// that slides out of the left side and stays docked there (TimerDesc).
#pragma once

#include <QPoint>
#include <QPointer>

class QFrame;
class QTimer;

namespace mk27x {

class SensorSession;
class TFormDescr;
class TFormMain;
class TagButton;

// The layout's controls by their designed names; the window exposes them.
struct LayoutControls {
    QFrame* PanelTop = nullptr;
    TagButton* ButtonDescription = nullptr;
    QFrame* PanelParam = nullptr;
    QFrame* PanelOsc = nullptr;
    QFrame* PanelBottom = nullptr;
    QTimer* TimerMore = nullptr;  // 100 ms, height animation
    QTimer* TimerDesc = nullptr;  // 1 ms, slide of the description window
};

class WindowLayout {
public:
    static constexpr int kClientWidth = 714;
    // Heights are outer heights, the window's frame included.
    static constexpr int kMinWidth = 647;
    static constexpr int kMinHeight = 195;
    // The height animation grows in steps until it has reached this height.
    static constexpr int kTargetHeight = 600;
    static constexpr int kHeightStep = 80;
    static constexpr int kTopPanelHeight = 105;
    static constexpr int kBottomPanelHeight = 58;
    static constexpr int kParamPanelWidth = 217;
    static constexpr int kDescriptionButtonWidth = 14;
    // The lowest middle band that shows the parameter panel and the chart.
    static constexpr int kMinReadableBand = 60;
    // Pixels the description window moves per TimerDesc tick.
    static constexpr int kSlideStep = 10;

    explicit WindowLayout(TFormMain& window);

    // Wires TimerMore, the description button and TimerDesc; raises the button
    // above the parameter panel and indents the grid by its width.
    void SetUpDescriptionPanel();

    // Direction of the next height animation: true = grow.
    bool GrowNext = true;
    // Side border and title bar height of the window's frame, from the window
    // system's frame geometry; recomputed by every layout run.
    int FrameBorder = 0;
    int CaptionOffset = 0;
    // False where the window system does not place top-level windows for the
    // program (Wayland): the description window then opens beside the main
    // window as a normal window, without slide and docking.
    bool CanPlaceWindows = true;

    // --- the bands and the height ---
    // Places the middle band between the top and bottom panels.
    void LayoutMainWindow();
    // Layout, then the docked description window as tall as the parameter panel.
    void FormResize();
    void TimerMoreTimer();
    // TimerMore on or off; the session learns of it.
    void SetTimerMore(bool running);
    // The window's height with its frame.
    int OuterHeight() const;
    // Sets the outer height; a window that would then reach past the bottom of
    // the screen's available area moves up just enough to stay whole.
    void SetWindowHeight(int outer_height);
    // Applies the outer height again when the frame has changed since.
    void FollowFrame();

    // --- the description window ---
    // The description window this window slides out and docks (not owned).
    void SetFormDescr(TFormDescr* form);
    TFormDescr* FormDescr() const;
    void ButtonDescriptionClick();
    // One step of the description window's slide.
    void TimerDescTimer();
    // Outer top-left of the docked description window.
    QPoint DockPosition() const;
    // Screen x of the parameter panel's left side.
    int PanelEdge() const;

private:
    // FrameBorder and CaptionOffset from the current frame geometry.
    void UpdateFrameMetrics();
    // Outer minus client height, as the window system reports it now.
    int FrameHeight() const;
    // Activates the window unless it is active already.
    void GiveFocusBack();

    TFormMain& w;
    SensorSession& session;
    QPointer<TFormDescr> form_descr_;
    // The outer height last set.
    int outer_height_ = kMinHeight;
    // The frame height the client height was last computed with.
    int frame_height_ = 0;
};

}  // namespace mk27x
