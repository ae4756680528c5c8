#include "pickers/outlogic.h"

#include <QCheckBox>
#include <QPushButton>

namespace mk27x {

namespace {

QCheckBox* MakeCheckBox(QWidget* parent, const char* name, const char* caption, QRect place) {
    auto* box = new QCheckBox(caption, parent);
    box->setObjectName(name);
    box->setGeometry(place);
    return box;
}

}  // namespace

TFormOutLogic::TFormOutLogic(QWidget* parent)
    : PickerDialog("FormOutLogic", "FormOutLogic", {192, 146}, Qt::WindowCloseButtonHint, parent) {
    CheckBox1 = MakeCheckBox(this, "CheckBox1", "LowLimit Out Logic", {40, 16, 121, 17});
    CheckBox2 = MakeCheckBox(this, "CheckBox2", "UpLimit Out Logic", {40, 48, 113, 17});
    CheckBox3 = MakeCheckBox(this, "CheckBox3", "InRange Out Logic", {40, 80, 121, 17});

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(16, 112, 75, 25);
    Button2 = new QPushButton("Cancel", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(104, 112, 75, 25);

    setTabOrder(CheckBox1, CheckBox2);
    setTabOrder(CheckBox2, CheckBox3);
    setTabOrder(CheckBox3, Button1);
    setTabOrder(Button1, Button2);

    connect(Button1, &QPushButton::clicked, this, &TFormOutLogic::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFormOutLogic::Button2Click);
}

}  // namespace mk27x
