#include "app/outlogic.h"

namespace mk27x {

TFormOutLogic::TFormOutLogic(QWidget* parent) : QDialog(parent) {
    setObjectName("FormOutLogic");
    setModal(true);
}

}  // namespace mk27x
