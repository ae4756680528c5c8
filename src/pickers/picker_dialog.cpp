#include "pickers/picker_dialog.h"

#include <QKeyEvent>
#include <QWindow>

namespace mk27x {

QFont PickerDialog::DesignFont() {
    // Where the classic face is missing, faces of similar width stand in.
    QFont::insertSubstitutions("MS Sans Serif", {"Microsoft Sans Serif", "Liberation Sans", "Arial",
                                                 "DejaVu Sans Condensed"});
    QFont font("MS Sans Serif");
    font.setPointSize(8);
    return font;
}

PickerDialog::PickerDialog(const char* name, const QString& caption, QSize client,
                           Qt::WindowFlags buttons, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | buttons) {
    setObjectName(name);
    setFont(DesignFont());
    setWindowTitle(caption);
    setFixedSize(client);
    setSizeGripEnabled(false);
}

void PickerDialog::ShowModal(QWidget* owner) {
    if (owner) {
        QWidget* over = owner->window();
        QRect frame = frameGeometry();
        frame.moveCenter(over->frameGeometry().center());
        move(frame.topLeft());
        winId();
        if (QWindow* above = over->windowHandle()) windowHandle()->setTransientParent(above);
    }
    exec();
    if (windowHandle()) windowHandle()->setTransientParent(nullptr);
}

void PickerDialog::Button1Click() {
    Accepted = true;
    close();
}

void PickerDialog::Button2Click() {
    Accepted = false;
    close();
}

void PickerDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Enter:
        case Qt::Key_Return:
            event->ignore();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

}  // namespace mk27x
