// The main window's parameter grid: taking cell texts back into the working set,
// the digit guard, the context menu with its eight commands and the row buttons.
#include <QAction>
#include <QApplication>
#include <QMenu>
#include <stdexcept>

#include "app/application.h"
#include "app/form_main.h"
#include "app/value_list_editor.h"
#include "params/commit_rule.h"

namespace mk27x {

void TFormMain::BuildParameterMenu() {
    PopupMenuParam = new QMenu(this);
    PopupMenuParam->setObjectName("PopupMenuParam");
    PopupMenuLoad = PopupMenuParam->addAction("Load", this, [this] { PopupMenuLoadClick(); });
    PopupMenuRead = PopupMenuParam->addAction("Read", this, [this] { PopupMenuReadClick(); });
    PopupMenuCompare =
        PopupMenuParam->addAction("Compare", this, [this] { PopupMenuCompareClick(); });
    PopupMenuSep1 = PopupMenuParam->addSeparator();
    PopupMenuLoadAll =
        PopupMenuParam->addAction("Load All", this, [this] { PopupMenuLoadAllClick(); });
    PopupMenuReadAll =
        PopupMenuParam->addAction("Read All", this, [this] { PopupMenuReadAllClick(); });
    PopupMenuCompareAll =
        PopupMenuParam->addAction("Compare All", this, [this] { PopupMenuCompareAllClick(); });
    PopupMenuSep2 = PopupMenuParam->addSeparator();
    PopupMenuFLASH =
        PopupMenuParam->addAction("Write to FLASH", this, [this] { PopupMenuFLASHClick(); });
    PopupMenuDefault =
        PopupMenuParam->addAction("Default", this, [this] { PopupMenuDefaultClick(); });
    PopupMenuSep3 = PopupMenuParam->addSeparator();
    PopupMenuSaveFile =
        PopupMenuParam->addAction(QString::fromUtf8("Save parameters to file\u2026"), this,
                                  [this] { PopupMenuSaveFileClick(); });
    PopupMenuLoadFile =
        PopupMenuParam->addAction(QString::fromUtf8("Load parameters from file\u2026"), this,
                                  [this] { PopupMenuLoadFileClick(); });

    MessageBeep = [] { QApplication::beep(); };
    ValueListEditor* grid = ValueListEditorParam;
    grid->key_filter = [this](int, const QString& key, const QString& text) {
        return ValueListEditorParamKeyPress(key, text);
    };
    connect(grid, &QTableWidget::currentCellChanged, this,
            [this](int row, int column) { ValueListEditorParamSelectCell(column, row); });
    connect(grid, &ValueListEditor::Exit, this, [this] { ValueListEditorParamExit(); });
    connect(grid, &ValueListEditor::ContextPopup, this,
            [this](const QPoint& global) { ValueListEditorParamContextPopup(global); });
    connect(grid, &ValueListEditor::EditButtonClick, this,
            [this] { ValueListEditorParamEditButtonClick(); });
}

void TFormMain::SetPickerDialogs(const PickerDialogs& dialogs) {
    pickers_ = std::make_unique<PickerDialogs>(dialogs);
}

void TFormMain::CommitParameterCell() {
    const int i = CurrentParameter;
    const auto k = static_cast<std::size_t>(i);
    ParameterSet& values = session.Values();
    const std::int16_t range = session.Identity().SignedRange();
    const CommitResult r =
        CommitParameterText(i, ValueListEditorParam->CellText(i).toStdString(), values[k], range);
    switch (r.action) {
        case CommitAction::Store:
            // The cell keeps the operator's text until the grid is next filled.
            values[k] = r.value;
            break;
        case CommitAction::PutBack:
            ValueListEditorParam->SetValue(i, QString::fromStdString(r.text));
            break;
        case CommitAction::Ignore:
            break;
        case CommitAction::ConversionError:
            throw std::invalid_argument(r.text);
    }
}

bool TFormMain::CommitReported() {
    if (commit_running_) return false;
    commit_running_ = true;
    const bool committed = ReportingEscapes(session.Messages(), [this] { CommitParameterCell(); });
    commit_running_ = false;
    return committed;
}

void TFormMain::ValueListEditorParamSelectCell(int /*column*/, int row) {
    if (row < 0) return;
    // A failed conversion keeps CurrentParameter on the row being left.
    if (CommitReported()) CurrentParameter = row;
}

void TFormMain::ValueListEditorParamExit() {
    CommitReported();
}

void TFormMain::ValueListEditorParamContextPopup(const QPoint& global) {
    if (!CommitReported()) return;
    // While the sensor streams, no request may compete with the stream reader.
    const bool enabled = !session.Streaming();
    for (QAction* action :
         {PopupMenuLoad, PopupMenuRead, PopupMenuCompare, PopupMenuLoadAll, PopupMenuReadAll,
          PopupMenuCompareAll, PopupMenuFLASH, PopupMenuDefault})
        action->setEnabled(enabled);
    PopupMenuParam->popup(global);
}

bool TFormMain::ValueListEditorParamKeyPress(const QString& key, const QString& text) {
    if (!IsBoundedRow(CurrentParameter) || key.size() != 1) return false;
    const QChar c = key[0];
    const bool digit = c >= '0' && c <= '9';
    const bool minus = c == '-' && CurrentParameter == kDiaCorrection;
    if (!(digit || minus) || text.size() < 5) return false;
    if (MessageBeep) MessageBeep();
    return true;
}

void TFormMain::ValueListEditorParamEditButtonClick() {
    if (!pickers_) return;
    ReportingEscapes(session.Messages(), [this] {
        EditParameterWithPicker(
            CurrentParameter, session.Values(),
            [this](int i) { return ValueListEditorParam->CellText(i); },
            session.Identity().SignedRange(), *pickers_, this);
        FillParameterGrid();
    });
}

void TFormMain::PopupMenuLoadClick() {
    session.LoadParameter(CurrentParameter);
}

void TFormMain::PopupMenuReadClick() {
    session.ReadParameter(CurrentParameter);
}

void TFormMain::PopupMenuCompareClick() {
    session.CompareParameter(CurrentParameter);
}

void TFormMain::PopupMenuLoadAllClick() {
    session.LoadAllParameters();
}

void TFormMain::PopupMenuReadAllClick() {
    session.ReadAllParameters();
}

void TFormMain::PopupMenuCompareAllClick() {
    session.CompareAllParameters();
}

void TFormMain::PopupMenuFLASHClick() {
    session.WriteToFlash();
}

void TFormMain::PopupMenuDefaultClick() {
    session.RestoreFactorySettings();
}

}  // namespace mk27x
