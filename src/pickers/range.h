// FormRange: the graphical editor of the analog output range (parameters 6
// and 7). A scale from 0 to 100 percent is drawn into ScaleBitmap; the left
// mouse button places the begin marker, the right button the end marker, and
// three labels under the scale give the lengths in millimetres at both markers
// and between them. Created once at start and hidden between uses; the caller
// presets PosBgn, PosEnd and RangeMm, shows it modally and reads Accepted and
// the positions.
//
// The window is painted only by copying ScaleBitmap, which exists while the
// dialog is shown. GUI thread only.
#pragma once

#include <QImage>
#include <cstdint>
#include <memory>

#include "pickers/picker_dialog.h"

class QFrame;
class QLabel;
class QPushButton;

namespace mk27x {

class TFormRange : public PickerDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 689;
    static constexpr int kClientHeight = 171;
    static constexpr int kPanelHeight = 67;

    // Which marker follows the pointer.
    enum Drag : std::uint8_t { kDragBegin = 0, kDragEnd = 1, kDragNone = 2 };

    explicit TFormRange(QWidget* parent = nullptr);
    ~TFormRange() override;

    QFrame* PanelRange;
    QLabel* Label9;
    QLabel* LabelBgn;
    QLabel* LabelRang;
    QLabel* LabelEnd;
    QPushButton* Button1;  // OK
    QPushButton* Button2;  // Cancel

    // Positions in whole percent of the measuring range; PosMax is the scale
    // maximum. Nothing keeps PosBgn at or below PosEnd.
    std::int32_t PosBgn = 0;
    std::int32_t PosEnd = 100;
    const std::int32_t PosMax = 100;
    std::uint8_t DragState = kDragNone;
    // The measuring range in millimetres the labels are computed from.
    std::int16_t RangeMm = 0;

    // The drawn scale while the dialog is shown, null otherwise.
    std::unique_ptr<QImage> ScaleBitmap;

    void FormCreate();
    void FormShow();
    void FormPaint();
    void FormClose();
    void FormMouseDown(Qt::MouseButton button, int x, int y);
    void FormMouseMove(int x, int y);
    void FormMouseUp();
    // Redraws the scale and both markers into ScaleBitmap, copies it onto the
    // window and rewrites the three labels.
    void DrawScale();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    int ScaleHeight() const;
    void SetLengthLabel(QLabel* label, std::int32_t percent);
};

}  // namespace mk27x
