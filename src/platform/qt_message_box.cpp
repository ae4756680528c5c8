#include "platform/qt_message_box.h"

#include <QMessageBox>

namespace mk27x {
namespace {

constexpr unsigned kIconMask = 0xF0;
constexpr unsigned kButtonMask = 0x0F;

QMessageBox::Icon IconFor(unsigned flags) {
    switch (flags & kIconMask) {
        case MB_ICONSTOP:
            return QMessageBox::Critical;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        default:
            return QMessageBox::NoIcon;
    }
}

}  // namespace

QString MessageBoxText(const std::string& text) {
    QString shown = QString::fromStdString(text);
    shown.replace(QChar(13), QChar('\n'));
    return shown;
}

int QtMessageBox::Show(const std::string& text, const std::string& caption, unsigned flags) {
    QMessageBox box;
    box.setWindowModality(Qt::ApplicationModal);
    box.setWindowTitle(QString::fromStdString(caption));
    box.setText(MessageBoxText(text));
    box.setTextFormat(Qt::PlainText);
    box.setIcon(IconFor(flags));
    if ((flags & kButtonMask) == MB_OKCANCEL) {
        box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
        box.setDefaultButton(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Cancel);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
        box.setEscapeButton(QMessageBox::Ok);
    }
    box.exec();
    return box.clickedButton() == box.button(QMessageBox::Cancel) ? IDCANCEL : IDOK;
}

}  // namespace mk27x
