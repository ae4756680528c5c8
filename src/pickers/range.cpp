#include "pickers/range.h"

#include <QFont>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>

#include "pickers/picker_rules.h"

namespace mk27x {

namespace {

const QColor kBlack(0, 0, 0);
const QColor kWhite(255, 255, 255);
const QColor kGrey(128, 128, 128);
const QColor kGreen(0, 128, 0);
const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);

QFont LabelFont(bool bold) {
    QFont font = PickerDialog::DesignFont();
    font.setPixelSize(16);
    font.setBold(bold);
    return font;
}

QLabel* MakeLabel(QWidget* panel, const char* name, const char* text, int x, bool bold,
                  const QColor* colour) {
    auto* label = new QLabel(text, panel);
    label->setObjectName(name);
    label->setFont(LabelFont(bold));
    if (colour) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, *colour);
        label->setPalette(palette);
    }
    label->move(x, 5);
    label->adjustSize();
    return label;
}

QPushButton* MakeButton(QWidget* panel, const char* name, const char* text, int x) {
    auto* button = new QPushButton(text, panel);
    button->setObjectName(name);
    button->setGeometry(x, 32, 75, 25);
    return button;
}

}  // namespace

TFormRange::TFormRange(QWidget* parent)
    : PickerDialog("FormRange", "Analog output range settings.", {kClientWidth, kClientHeight},
                   Qt::WindowCloseButtonHint, parent) {
    PanelRange = new QFrame(this);
    PanelRange->setObjectName("PanelRange");
    PanelRange->setGeometry(0, kClientHeight - kPanelHeight, kClientWidth, kPanelHeight);
    PanelRange->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    PanelRange->setLineWidth(1);
    PanelRange->setAutoFillBackground(true);

    Label9 =
        MakeLabel(PanelRange, "Label9", "Measuring range for analog output:", 5, false, nullptr);
    LabelBgn = MakeLabel(PanelRange, "LabelBgn", "none mm", 267, true, &kRed);
    LabelRang = MakeLabel(PanelRange, "LabelRang", "none mm", 427, true, &kGreen);
    LabelEnd = MakeLabel(PanelRange, "LabelEnd", "none mm", 571, true, &kBlue);

    Button1 = MakeButton(PanelRange, "Button1", "OK", 512);
    Button2 = MakeButton(PanelRange, "Button2", "Cancel", 600);
    setTabOrder(Button1, Button2);

    connect(Button1, &QPushButton::clicked, this, &TFormRange::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFormRange::Button2Click);

    // A release over the panel or its labels ends a drag too; a press there is
    // no press on the scale.
    for (QWidget* w : {static_cast<QWidget*>(PanelRange), static_cast<QWidget*>(Label9),
                       static_cast<QWidget*>(LabelBgn), static_cast<QWidget*>(LabelRang),
                       static_cast<QWidget*>(LabelEnd)})
        w->installEventFilter(this);

    // Moves are followed whether or not a button is held, as the drag state says.
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    FormCreate();
}

TFormRange::~TFormRange() = default;

int TFormRange::ScaleHeight() const {
    return kClientHeight - kPanelHeight;
}

void TFormRange::FormCreate() {
    PosBgn = 0;
    PosEnd = 100;
    DragState = kDragNone;
    Accepted = false;
    RangeMm = 0;
}

void TFormRange::FormShow() {
    ScaleBitmap =
        std::make_unique<QImage>(width(), height() - PanelRange->height(), QImage::Format_RGB32);
    ScaleBitmap->fill(kBlack);
    DrawScale();
}

void TFormRange::FormPaint() {
    if (!ScaleBitmap) return;
    QPainter window(this);
    window.drawImage(0, 0, *ScaleBitmap);
}

void TFormRange::FormClose() {
    ScaleBitmap.reset();
}

void TFormRange::DrawScale() {
    if (ScaleBitmap) {
        const int w = ScaleBitmap->width();
        const int h = ScaleBitmap->height();
        const ScaleGeometry scale{w, PosMax};
        const int u = scale.Span();
        const int base = h - 20;
        QPainter canvas(ScaleBitmap.get());
        canvas.setBackgroundMode(Qt::TransparentMode);
        QFont face = DesignFont();
        face.setStyleStrategy(QFont::NoAntialias);
        canvas.setFont(face);

        // The scale area, black; the last column and row stay as they were.
        canvas.fillRect(0, 0, w - 1, h - 1, kBlack);

        // Dotted grey grid with the tick labels in white under it.
        QPen pen(kGrey, 1, Qt::DotLine);
        canvas.setPen(pen);
        const QFontMetrics metrics(canvas.font());
        for (int k = 0; k <= 10; ++k) {
            const std::int32_t t = PosMax * k / 10;
            const int x = scale.X(t);
            canvas.setPen(pen);
            canvas.drawLine(x, 0, x, base);
            const QString text = QString::number(t);
            const int tw = metrics.horizontalAdvance(text);
            canvas.setPen(kWhite);
            canvas.drawText(u * k / 10 + 10 - tw / 2 - 3, h - 17 + metrics.ascent(), text);
        }
        canvas.setPen(pen);
        canvas.drawLine(10, base, w - 11, base);

        // The range between the markers, green cross-hatch over the black.
        const int xb = scale.X(PosBgn);
        const int xe = scale.X(PosEnd);
        pen.setColor(kGreen);
        canvas.setPen(pen);
        canvas.setBrush(QBrush(kGreen, Qt::DiagCrossPattern));
        canvas.drawRect(QRect(QPoint(xb, 0), QPoint(xe, base)).normalized());

        // The markers, 3 pixels wide: begin red, then end blue over it.
        canvas.setBrush(Qt::NoBrush);
        QPen marker(kRed, 3, Qt::SolidLine, Qt::FlatCap);
        canvas.setPen(marker);
        canvas.drawLine(QPointF(xb + 0.5, 0), QPointF(xb + 0.5, base + 1));
        marker.setColor(kBlue);
        canvas.setPen(marker);
        canvas.drawLine(QPointF(xe + 0.5, 0), QPointF(xe + 0.5, base + 1));
        canvas.end();

        repaint(0, 0, w, h);
    }

    SetLengthLabel(LabelBgn, PosBgn);
    SetLengthLabel(LabelEnd, PosEnd);
    SetLengthLabel(LabelRang, PosEnd - PosBgn);
}

void TFormRange::SetLengthLabel(QLabel* label, std::int32_t percent) {
    label->setText(QString("%1 mm").arg(RangeLengthMm(percent, RangeMm)));
    label->adjustSize();
    label->repaint();
}

void TFormRange::FormMouseDown(Qt::MouseButton button, int x, int /*y*/) {
    const ScaleGeometry scale{width(), PosMax};
    switch (button) {
        case Qt::LeftButton:
            DragState = kDragBegin;
            PosBgn = scale.Position(x);
            DrawScale();
            break;
        case Qt::RightButton:
            DragState = kDragEnd;
            PosEnd = scale.Position(x);
            DrawScale();
            break;
        case Qt::MiddleButton:
            DragState = kDragNone;
            break;
        default:
            break;
    }
}

void TFormRange::FormMouseMove(int x, int y) {
    if (y >= PanelRange->y()) return;
    const ScaleGeometry scale{width(), PosMax};
    if (DragState == kDragBegin) {
        PosBgn = scale.Position(x);
        DrawScale();
    } else if (DragState == kDragEnd) {
        PosEnd = scale.Position(x);
        DrawScale();
    }
}

void TFormRange::FormMouseUp() {
    DragState = kDragNone;
}

void TFormRange::showEvent(QShowEvent* event) {
    PickerDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TFormRange::hideEvent(QHideEvent* event) {
    PickerDialog::hideEvent(event);
    if (!event->spontaneous()) FormClose();
}

void TFormRange::paintEvent(QPaintEvent*) {
    FormPaint();
}

void TFormRange::mousePressEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    FormMouseDown(event->button(), at.x(), at.y());
}

void TFormRange::mouseMoveEvent(QMouseEvent* event) {
    const QPoint at = event->position().toPoint();
    FormMouseMove(at.x(), at.y());
}

void TFormRange::mouseReleaseEvent(QMouseEvent*) {
    FormMouseUp();
}

bool TFormRange::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::MouseButtonRelease:
            FormMouseUp();
            return true;
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonDblClick:
            return true;
        default:
            return PickerDialog::eventFilter(watched, event);
    }
}

}  // namespace mk27x
