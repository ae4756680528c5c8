// The program's message boxes and its general error report.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <stdexcept>

#include "platform/qt_message_box.h"
#include "support/recording_message_box.h"
#include "ui/application.h"

namespace mk27x {
namespace {

struct SeenBox {
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// Shows one box and, once it is up, notes what it shows and presses `press`.
int ShowAndPress(const std::string& text, const std::string& caption, unsigned flags,
                 QMessageBox::StandardButton press, SeenBox& seen) {
    QTimer poll;
    poll.setInterval(10);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) return;
        poll.stop();
        seen = {box->windowTitle(), box->text(), box->icon(), box->standardButtons()};
        box->button(press)->click();
    });
    poll.start();
    QtMessageBox messages;
    return messages.Show(text, caption, flags);
}

TEST(app_message_box, ShowsCaptionTextIconAndButtonsAndReturnsThePressedOne) {
    SeenBox seen;
    EXPECT_EQ(ShowAndPress("Порт COM2 отсутсвует.\rИли занят другим приложением.", "Zozuvi-dada",
                           MB_OK | MB_ICONSTOP, QMessageBox::Ok, seen),
              IDOK);
    EXPECT_EQ(seen.title, "Zozuvi-dada");
    EXPECT_EQ(seen.text, "Порт COM2 отсутсвует.\nИли занят другим приложением.");
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok);

    EXPECT_EQ(ShowAndPress("Write parameters to FLASH?", "MK271-SP.",
                           MB_OKCANCEL | MB_ICONEXCLAMATION, QMessageBox::Cancel, seen),
              IDCANCEL);
    EXPECT_EQ(seen.icon, QMessageBox::Warning);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
}

TEST(app_error_report, EscapedExceptionIsShownAndTheProgramGoesOn) {
    RecordingMessageBox messages;
    EXPECT_FALSE(ReportingEscapes(
        messages, [] { throw std::invalid_argument("'12a' is not a valid integer value"); }));
    EXPECT_EQ(messages.shown,
              (std::vector<RecordingMessageBox::Shown>{
                  {"'12a' is not a valid integer value", "MK27x-SP", MB_OK | MB_ICONSTOP}}));
    bool ran = false;
    EXPECT_TRUE(ReportingEscapes(messages, [&] { ran = true; }));
    EXPECT_TRUE(ran);
    EXPECT_EQ(messages.shown.size(), 1u);
}

}  // namespace
}  // namespace mk27x
