#include "app/parameter_grid.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QProgressBar>
#include <stdexcept>

#include "app/form_main.h"
#include "app/value_list_editor.h"
#include "params/commit_rule.h"
#include "params/parameter_text.h"
#include "platform/file_dialog.h"
#include "ui/application.h"

namespace mk27x {
namespace {

QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

FileDialogOptions ParameterFileOptions(const char* title) {
    FileDialogOptions options;
    options.filter = "Parameter files (*.json)|*.json|All files|*.*";
    options.default_extension = "json";
    options.title = title;
    return options;
}

}  // namespace

ParameterGrid::ParameterGrid(TFormMain& window, FileDialog& files)
    : parameter_file_dialog(&files), w(window), session(window.session) {}

ParameterGrid::~ParameterGrid() = default;

void ParameterGrid::BuildParameterMenu() {
    QMenu*& menu = w.PopupMenuParam;
    menu = new QMenu(&w);
    menu->setObjectName("PopupMenuParam");
    w.PopupMenuLoad = menu->addAction("Load", &w, [this] { PopupMenuLoadClick(); });
    w.PopupMenuRead = menu->addAction("Read", &w, [this] { PopupMenuReadClick(); });
    w.PopupMenuCompare = menu->addAction("Compare", &w, [this] { PopupMenuCompareClick(); });
    w.PopupMenuSep1 = menu->addSeparator();
    w.PopupMenuLoadAll = menu->addAction("Load All", &w, [this] { PopupMenuLoadAllClick(); });
    w.PopupMenuReadAll = menu->addAction("Read All", &w, [this] { PopupMenuReadAllClick(); });
    w.PopupMenuCompareAll =
        menu->addAction("Compare All", &w, [this] { PopupMenuCompareAllClick(); });
    w.PopupMenuSep2 = menu->addSeparator();
    w.PopupMenuFLASH = menu->addAction("Write to FLASH", &w, [this] { PopupMenuFLASHClick(); });
    w.PopupMenuDefault = menu->addAction("Default", &w, [this] { PopupMenuDefaultClick(); });
    w.PopupMenuSep3 = menu->addSeparator();
    w.PopupMenuSaveFile = menu->addAction(QString::fromUtf8("Save parameters to file\u2026"), &w,
                                          [this] { PopupMenuSaveFileClick(); });
    w.PopupMenuLoadFile = menu->addAction(QString::fromUtf8("Load parameters from file\u2026"), &w,
                                          [this] { PopupMenuLoadFileClick(); });

    MessageBeep = [] { QApplication::beep(); };
    ValueListEditor* grid = w.ValueListEditorParam;
    grid->key_filter = [this](int, const QString& key, const QString& text) {
        return ValueListEditorParamKeyPress(key, text);
    };
    QObject::connect(grid, &QTableWidget::currentCellChanged, &w,
                     [this](int row, int column) { ValueListEditorParamSelectCell(column, row); });
    QObject::connect(grid, &ValueListEditor::Exit, &w, [this] { ValueListEditorParamExit(); });
    QObject::connect(grid, &ValueListEditor::ContextPopup, &w,
                     [this](const QPoint& global) { ValueListEditorParamContextPopup(global); });
    QObject::connect(grid, &ValueListEditor::EditButtonClick, &w,
                     [this] { ValueListEditorParamEditButtonClick(); });
}

void ParameterGrid::SetPickerDialogs(const PickerDialogs& dialogs) {
    pickers_ = std::make_unique<PickerDialogs>(dialogs);
}

// Repainted at once: the reads that move the bar block the event loop.
void ParameterGrid::ShowProgress(int done, int total) {
    w.ProgressBarParam->setMaximum(total);
    w.ProgressBarParam->setValue(done);
    w.ProgressBarParam->repaint();
}

void ParameterGrid::FillParameterGrid() {
    ValueListEditor* grid = w.ValueListEditorParam;
    if (grid->rowCount() != kParameterCount) {
        for (int i = 0; i < kParameterCount; ++i) {
            const ParameterRow& row = ParameterTable[i];
            const int r = grid->InsertRow(
                QString::fromUtf8(row.name.data(), static_cast<qsizetype>(row.name.size())), {});
            ItemProp props;
            props.edit_style = row.edit_style;
            props.max_length = row.max_length;
            for (const std::string& item : PickListItems(i)) props.pick_list << Text(item);
            props.read_only = row.read_only;
            grid->SetItemProps(r, std::move(props));
        }
    }
    const auto texts = ParameterTexts(session.Values(), session.Identity().SignedRange());
    for (int i = 0; i < kParameterCount; ++i)
        grid->SetValue(i, Text(texts[static_cast<std::size_t>(i)]));
}

void ParameterGrid::CommitParameterCell() {
    const int i = CurrentParameter;
    const auto k = static_cast<std::size_t>(i);
    ParameterSet& values = session.Values();
    const std::int16_t range = session.Identity().SignedRange();
    const CommitResult r =
        CommitParameterText(i, w.ValueListEditorParam->CellText(i).toStdString(), values[k], range);
    switch (r.action) {
        case CommitAction::Store:
            // The cell keeps the operator's text until the grid is next filled.
            values[k] = r.value;
            break;
        case CommitAction::PutBack:
            w.ValueListEditorParam->SetValue(i, QString::fromStdString(r.text));
            break;
        case CommitAction::Ignore:
            break;
        case CommitAction::ConversionError:
            throw std::invalid_argument(r.text);
    }
}

bool ParameterGrid::CommitReported() {
    if (commit_running_) return false;
    commit_running_ = true;
    const bool committed = ReportingEscapes(w.messages, [this] { CommitParameterCell(); });
    commit_running_ = false;
    return committed;
}

void ParameterGrid::ValueListEditorParamSelectCell(int /*column*/, int row) {
    if (row < 0) return;
    // A failed conversion keeps CurrentParameter on the row being left.
    if (CommitReported()) CurrentParameter = row;
}

void ParameterGrid::ValueListEditorParamExit() {
    CommitReported();
}

void ParameterGrid::ValueListEditorParamContextPopup(const QPoint& global) {
    if (!CommitReported()) return;
    // While the sensor streams, no request may compete with the stream reader.
    const bool enabled = !session.Streaming();
    for (QAction* action :
         {w.PopupMenuLoad, w.PopupMenuRead, w.PopupMenuCompare, w.PopupMenuLoadAll,
          w.PopupMenuReadAll, w.PopupMenuCompareAll, w.PopupMenuFLASH, w.PopupMenuDefault})
        action->setEnabled(enabled);
    w.PopupMenuParam->popup(global);
}

bool ParameterGrid::ValueListEditorParamKeyPress(const QString& key, const QString& text) {
    if (!IsBoundedRow(CurrentParameter) || key.size() != 1) return false;
    const QChar c = key[0];
    const bool digit = c >= '0' && c <= '9';
    const bool minus = c == '-' && CurrentParameter == kDiaCorrection;
    if (!(digit || minus) || text.size() < 5) return false;
    if (MessageBeep) MessageBeep();
    return true;
}

void ParameterGrid::ValueListEditorParamEditButtonClick() {
    if (!pickers_) return;
    ReportingEscapes(w.messages, [this] {
        EditParameterWithPicker(
            CurrentParameter, session.Values(),
            [this](int i) { return w.ValueListEditorParam->CellText(i); },
            session.Identity().SignedRange(), *pickers_, &w);
        FillParameterGrid();
    });
}

void ParameterGrid::PopupMenuLoadClick() {
    session.LoadParameter(CurrentParameter);
}

void ParameterGrid::PopupMenuReadClick() {
    session.ReadParameter(CurrentParameter);
}

void ParameterGrid::PopupMenuCompareClick() {
    const auto differences = session.CompareParameter(CurrentParameter);
    if (!differences.empty()) w.Show(CompareMessage(differences.front()));
}

void ParameterGrid::PopupMenuLoadAllClick() {
    session.LoadAllParameters();
}

void ParameterGrid::PopupMenuReadAllClick() {
    session.ReadAllParameters();
}

void ParameterGrid::PopupMenuCompareAllClick() {
    if (!session.CompareAllParameters().empty())
        w.Show(CompareAllMessage(session.Values(), session.ReadBack()));
}

void ParameterGrid::PopupMenuFLASHClick() {
    if (w.Show(FlashQuestion()) != IDOK) return;
    w.Show(FlashOutcomeMessage(session.WriteToFlash()));
}

void ParameterGrid::PopupMenuDefaultClick() {
    if (w.Show(RestoreQuestion()) != IDOK) return;
    if (const auto message = RestoreOutcomeMessage(session.RestoreFactorySettings()))
        w.Show(*message);
}

void ParameterGrid::PopupMenuSaveFileClick() {
    if (!parameter_file_dialog) return;
    FileDialogOptions options = ParameterFileOptions("Save parameters to file");
    options.confirm_overwrite = true;
    const auto path = parameter_file_dialog->Save(options);
    if (!path) return;
    const SensorSession::FileOutcome saved = session.SaveParameterFile(*path);
    if (!saved.ok()) w.Show(ParameterFileWriteMessage(*path, saved.reason));
}

void ParameterGrid::PopupMenuLoadFileClick() {
    if (!parameter_file_dialog) return;
    const auto path =
        parameter_file_dialog->Open(ParameterFileOptions("Load parameters from file"));
    // The grid follows through the session's parameters_replaced event.
    if (!path) return;
    const SensorSession::FileOutcome loaded =
        session.LoadParameterFile(*path, [this](int file_model, int sensor_model) {
            return w.Show(OtherModelMessage(file_model, sensor_model)) == IDOK;
        });
    if (loaded.result == SensorSession::FileOutcome::Result::Failed)
        w.Show(ParameterFileReadMessage(*path, loaded.reason));
}

}  // namespace mk27x
