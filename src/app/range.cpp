#include "app/range.h"

namespace mk27x {

TFormRange::TFormRange(QWidget* parent) : QDialog(parent) {
    setObjectName("FormRange");
    setModal(true);
}

}  // namespace mk27x
