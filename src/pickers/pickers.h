// The row buttons of the parameter grid: the picker each of the four ellipsis
// rows opens, how it is preset from the working parameter set (or, for the
// range rows, from the grid's texts) and how an accepted result is written
// back. Nothing here talks to the sensor.
//
// The window that owns the grid calls EditParameterWithPicker from its
// row-button handler and refills the grid afterwards:
//
//     void ParameterGrid::ValueListEditorParamEditButtonClick() {
//         EditParameterWithPicker(CurrentParameter, *ParameterValues,
//                                 [this](int i) { return ValueListEditorParam->Value(i); },
//                                 Identity.MeasuringRange, dialogs, this);
//         FillParameterGrid();  // skipped when the range texts are no integers (it threw)
//     }
//
// GUI thread only.
#pragma once

#include <QString>
#include <cstdint>
#include <functional>

#include "params/parameter_table.h"

class QWidget;

namespace mk27x {

class TFormOutLogic;
class TFormRange;
class TFormSynchro;

// The three picker dialogs, created once at start.
struct PickerDialogs {
    TFormSynchro& FormSynchro;
    TFormOutLogic& FormOutLogic;
    TFormRange& FormRange;
};

// The value-column text of the grid row of parameter `index` (0 to 19).
using CellText = std::function<QString(int index)>;

// The row button of parameter `current` (CurrentParameter) was pressed: 6 or 7
// runs RunRangeEditor, 1 RunSynchroPicker, 18 RunOutLogicPicker; any other
// index opens nothing. Each dialog opens modally, centred over `owner`.
// Throws std::invalid_argument, before any dialog opens and with nothing
// changed, when a range row's text is not an integer; the caller then does not
// refill the grid. After a normal return the caller refills the grid, accepted
// or not.
void EditParameterWithPicker(int current, ParameterSet& values, const CellText& cell_text,
                             std::int16_t measuring_range, const PickerDialogs& dialogs,
                             QWidget* owner);

// The range editor for parameters 6 and 7 together: presets the markers from
// the texts of their grid rows (thousandths of the measuring range) and the
// labels' range from `measuring_range`, shows the editor and on OK stores both
// positions as fractions of 16384. Throws std::invalid_argument with the
// message "'<text>' is not a valid integer value" when either text is not an
// integer (the begin text is read first); the editor does not open then.
void RunRangeEditor(TFormRange& form, ParameterSet& values, const QString& begin_text,
                    const QString& end_text, std::int16_t measuring_range, QWidget* owner);

// The synchronization picker for parameter 1: presets the item from the stored
// value, shows the picker and on OK writes the item's bits; every other bit of
// the value is kept.
void RunSynchroPicker(TFormSynchro& form, std::uint16_t& value, QWidget* owner);

// The output-logic picker for parameter 18: presets the three boxes from bits
// 0 to 2, shows the picker and on OK writes the boxes back into those bits;
// every other bit is kept.
void RunOutLogicPicker(TFormOutLogic& form, std::uint16_t& value, QWidget* owner);

}  // namespace mk27x
