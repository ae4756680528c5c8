// What the three picker dialogs share: a fixed-size dialog without default or
// cancel button (Enter and Escape mean nothing to the dialog as a whole; Enter
// or Space presses the button that has the focus), shown modally centred over
// the window that opens it, and the OK/Cancel outcome the caller reads.
//
// GUI thread only.
#pragma once

#include <QDialog>
#include <QFont>

class QKeyEvent;

namespace mk27x {

class PickerDialog : public QDialog {
    Q_OBJECT
public:
    // A window of the given client size with a single, non-sizable border and
    // the given title-bar buttons.
    PickerDialog(const char* name, const QString& caption, QSize client, Qt::WindowFlags buttons,
                 QWidget* parent);

    // Shows the dialog modally, centred over `owner` (when given) and kept
    // above it; returns once the dialog has closed.
    void ShowModal(QWidget* owner);

    // The face the dialogs were designed with, "MS Sans Serif" at 8 points.
    static QFont DesignFont();

    // Set by OK, cleared by Cancel, untouched otherwise (closing from the title
    // bar included); read by the caller after the dialog closes.
    bool Accepted = false;

    // The OK (Button1) and Cancel (Button2) handlers of each picker.
    void Button1Click();
    void Button2Click();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace mk27x
