// FormOutLogic: the output-logic picker of the "OutLogic" row, one check box
// per output-logic bit. Created once at start and hidden between uses; the
// caller presets the boxes, shows it modally and reads Accepted and the boxes.
//
// GUI thread only.
#pragma once

#include "pickers/picker_dialog.h"

class QCheckBox;
class QPushButton;

namespace mk27x {

class TFormOutLogic : public PickerDialog {
    Q_OBJECT
public:
    explicit TFormOutLogic(QWidget* parent = nullptr);

    QCheckBox* CheckBox1;  // bit 0
    QCheckBox* CheckBox2;  // bit 1
    QCheckBox* CheckBox3;  // bit 2
    QPushButton* Button1;  // OK
    QPushButton* Button2;  // Cancel
};

}  // namespace mk27x
