// FormSynchro: the synchronization picker of the "Synchronization control byte" row. A dialog
// created once at start and hidden between uses.
#pragma once

#include <QDialog>

namespace mk27x {

class TFormSynchro : public QDialog {
    Q_OBJECT
public:
    explicit TFormSynchro(QWidget* parent = nullptr);

    // Set by OK, cleared by Cancel; read by the caller after the dialog closes.
    bool Accepted = false;
};

}  // namespace mk27x
