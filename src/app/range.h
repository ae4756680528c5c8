// FormRange: the graphical editor of the analog output range rows. A dialog created once at start
// and hidden between uses.
#pragma once

#include <QDialog>

namespace mk27x {

class TFormRange : public QDialog {
    Q_OBJECT
public:
    explicit TFormRange(QWidget* parent = nullptr);

    // Set by OK, cleared by Cancel; read by the caller after the dialog closes.
    bool Accepted = false;
};

}  // namespace mk27x
