#include "app/formsync.h"

namespace mk27x {

TFormSynchro::TFormSynchro(QWidget* parent) : QDialog(parent) {
    setObjectName("FormSynchro");
    setModal(true);
}

}  // namespace mk27x
