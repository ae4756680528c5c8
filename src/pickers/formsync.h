// FormSynchro: the synchronization picker of the "Synchronization control
// byte" row. Created once at start and hidden between uses; the caller presets
// RadioGroup1, shows it modally and reads Accepted and the selected item.
//
// GUI thread only.
#pragma once

#include <QGroupBox>
#include <QStringList>
#include <vector>

#include "pickers/picker_dialog.h"

class QButtonGroup;
class QPushButton;
class QRadioButton;

namespace mk27x {

// A captionless group of radio buttons, one per item, stacked evenly; exactly
// one item is selected at a time.
class RadioGroup : public QGroupBox {
    Q_OBJECT
public:
    RadioGroup(const QStringList& items, QWidget* parent);

    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Item(int index) const { return items_[static_cast<std::size_t>(index)]; }
    int Count() const { return static_cast<int>(items_.size()); }

private:
    QButtonGroup* group_;
    std::vector<QRadioButton*> items_;
};

class TFormSynchro : public PickerDialog {
    Q_OBJECT
public:
    explicit TFormSynchro(QWidget* parent = nullptr);

    RadioGroup* RadioGroup1;
    QPushButton* Button1;  // OK
    QPushButton* Button2;  // Cancel
};

}  // namespace mk27x
