// Drives a modal dialog from inside its modal loop: once the dialog is shown,
// `drive` runs (it presses the dialog's buttons). A dialog the drive leaves
// open is hidden, so that a test never hangs; a dialog that never opens is
// never driven.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <functional>
#include <utility>

namespace mk27x {

class DialogDriver {
public:
    DialogDriver(QDialog& dialog, std::function<void()> drive)
        : dialog_(dialog), drive_(std::move(drive)) {
        timer_.setInterval(2);
        QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
        timer_.start();
    }

    bool opened = false;     // the dialog was shown
    bool modal = false;      // it was the application's modal window then
    bool left_open = false;  // the drive did not close it

private:
    void Tick() {
        if (!dialog_.isVisible()) return;
        timer_.stop();
        opened = true;
        modal = QApplication::activeModalWidget() == &dialog_;
        drive_();
        if (dialog_.isVisible()) {
            left_open = true;
            dialog_.hide();
        }
    }

    QDialog& dialog_;
    std::function<void()> drive_;
    QTimer timer_;
};

}  // namespace mk27x
