#include "pickers/pickers.h"

#include <QCheckBox>
#include <stdexcept>

#include "params/parameter_text.h"
#include "pickers/formsync.h"
#include "pickers/outlogic.h"
#include "pickers/picker_rules.h"
#include "pickers/range.h"

namespace mk27x {

namespace {

// The integer in a grid text, or the conversion error the general error report shows.
std::int32_t IntegerOf(const QString& text) {
    const std::string s = text.toStdString();
    const std::optional<std::int32_t> n = ParseInteger(s);
    if (!n) throw std::invalid_argument(InvalidIntegerMessage(s));
    return *n;
}

}  // namespace

void EditParameterWithPicker(int current, ParameterSet& values, const CellText& cell_text,
                             std::int16_t measuring_range, const PickerDialogs& dialogs,
                             QWidget* owner) {
    if (current == kRangeBegin || current == kRangeEnd)
        RunRangeEditor(dialogs.FormRange, values, cell_text(kRangeBegin), cell_text(kRangeEnd),
                       measuring_range, owner);
    if (current == kSynchronization)
        RunSynchroPicker(dialogs.FormSynchro, values[kSynchronization], owner);
    if (current == kOutLogic) RunOutLogicPicker(dialogs.FormOutLogic, values[kOutLogic], owner);
}

void RunRangeEditor(TFormRange& form, ParameterSet& values, const QString& begin_text,
                    const QString& end_text, std::int16_t measuring_range, QWidget* owner) {
    const std::int32_t begin = IntegerOf(begin_text);
    const std::int32_t end = IntegerOf(end_text);
    form.PosBgn = RangePercentFromThousandths(begin);
    form.PosEnd = RangePercentFromThousandths(end);
    form.RangeMm = measuring_range;
    form.ShowModal(owner);
    if (!form.Accepted) return;
    values[kRangeBegin] = RangeValueFromPercent(form.PosBgn);
    values[kRangeEnd] = RangeValueFromPercent(form.PosEnd);
}

void RunSynchroPicker(TFormSynchro& form, std::uint16_t& value, QWidget* owner) {
    form.RadioGroup1->SetItemIndex(SynchroItemOf(value));
    form.ShowModal(owner);
    if (form.Accepted) value = WithSynchroItem(value, form.RadioGroup1->ItemIndex());
}

void RunOutLogicPicker(TFormOutLogic& form, std::uint16_t& value, QWidget* owner) {
    const OutLogicBoxes preset = OutLogicBoxesOf(value);
    form.CheckBox1->setChecked(preset[0]);
    form.CheckBox2->setChecked(preset[1]);
    form.CheckBox3->setChecked(preset[2]);
    form.ShowModal(owner);
    if (!form.Accepted) return;
    value = WithOutLogicBoxes(value, {form.CheckBox1->isChecked(), form.CheckBox2->isChecked(),
                                      form.CheckBox3->isChecked()});
}

}  // namespace mk27x
