// FormDescr: the borderless description window that slides out to the left of
// the main window and stays docked there. Its memo describes the rows of the
// parameter grid.
//
// Threading: window thread only.
#pragma once

#include <QPoint>
#include <QString>
#include <QWidget>
#include <functional>
#include <optional>

class QPlainTextEdit;
class QTimer;

namespace mk27x {

// False under window systems that do not let a program place its top-level
// windows (Wayland); the description window is then a normal window that the
// window system puts where it likes.
bool WindowSystemPlacesWindows();

// The help text of the memo: every parameter row with what it does, its unit
// and its range.
QString ParameterDescriptions();

class TFormDescr : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 122;
    static constexpr int kClientHeight = 348;

    explicit TFormDescr(QWidget* parent = nullptr);

    QPlainTextEdit* Memo1;
    // 1 ms: keeps the window docked to the main window while it is out.
    QTimer* TimerPos;
    // Where the window docks now; set by the main window it belongs to. No
    // value once that window is gone.
    std::function<std::optional<QPoint>()> DockPosition;

    void FormCreate();
    // One docking step: moves the window to DockPosition.
    void TimerPosTimer();
};

}  // namespace mk27x
