#include "pickers/formsync.h"

#include <QButtonGroup>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace mk27x {

RadioGroup::RadioGroup(const QStringList& items, QWidget* parent)
    : QGroupBox(parent), group_(new QButtonGroup(this)) {
    group_->setExclusive(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 4, 8, 4);
    for (int i = 0; i < items.size(); ++i) {
        auto* item = new QRadioButton(items[i], this);
        group_->addButton(item, i);
        layout->addWidget(item);
        items_.push_back(item);
    }
}

int RadioGroup::ItemIndex() const {
    return group_->checkedId();
}

void RadioGroup::SetItemIndex(int index) {
    if (QAbstractButton* item = group_->button(index)) item->setChecked(true);
}

TFormSynchro::TFormSynchro(QWidget* parent)
    : PickerDialog("FormSynchro", "FormSynchro", {187, 147},
                   Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint, parent) {
    RadioGroup1 = new RadioGroup(
        {"Time Synchronization", "Trigger Synchronization", "Net  Synchronization"}, this);
    RadioGroup1->setObjectName("RadioGroup1");
    RadioGroup1->setGeometry(1, 0, 185, 105);
    RadioGroup1->SetItemIndex(0);

    Button1 = new QPushButton("OK", this);
    Button1->setObjectName("Button1");
    Button1->setGeometry(8, 112, 75, 25);
    Button2 = new QPushButton("Cancel", this);
    Button2->setObjectName("Button2");
    Button2->setGeometry(104, 112, 75, 25);

    setTabOrder(Button1, Button2);
    setTabOrder(Button2, RadioGroup1->Item(0));
    Button1->setFocus();

    connect(Button1, &QPushButton::clicked, this, &TFormSynchro::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFormSynchro::Button2Click);
}

}  // namespace mk27x
