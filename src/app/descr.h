// FormDescr: the borderless description window that slides out to the left of
// the main window and stays docked there.
#pragma once

#include <QWidget>

class QPlainTextEdit;
class QTimer;

namespace mk27x {

class TFormDescr : public QWidget {
    Q_OBJECT
public:
    explicit TFormDescr(QWidget* parent = nullptr);

    QPlainTextEdit* Memo1;
    // Keeps the window docked to the main window while it is out.
    QTimer* TimerPos;

    void FormCreate();
};

}  // namespace mk27x
