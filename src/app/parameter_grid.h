// The parameter grid and its menu: the 20 rows filled from the session's
// working set, the operator's cell texts taken back into it, the digit guard,
// the context menu with its eight sensor commands and the two parameter files,
// and the row buttons that open the pickers.
#pragma once

#include <QPoint>
#include <QString>
#include <functional>
#include <memory>

#include "pickers/pickers.h"

class QAction;
class QMenu;
class QProgressBar;

namespace mk27x {

class FileDialog;
class SensorSession;
class TFormMain;
class ValueListEditor;

// The grid's controls by their designed names; the window exposes them.
struct GridControls {
    ValueListEditor* ValueListEditorParam = nullptr;
    QProgressBar* ProgressBarParam = nullptr;

    QMenu* PopupMenuParam = nullptr;
    QAction* PopupMenuLoad = nullptr;
    QAction* PopupMenuRead = nullptr;
    QAction* PopupMenuCompare = nullptr;
    QAction* PopupMenuSep1 = nullptr;
    QAction* PopupMenuLoadAll = nullptr;
    QAction* PopupMenuReadAll = nullptr;
    QAction* PopupMenuCompareAll = nullptr;
    QAction* PopupMenuSep2 = nullptr;
    QAction* PopupMenuFLASH = nullptr;
    QAction* PopupMenuDefault = nullptr;
    QAction* PopupMenuSep3 = nullptr;
    QAction* PopupMenuSaveFile = nullptr;  // "Save parameters to file…"
    QAction* PopupMenuLoadFile = nullptr;  // "Load parameters from file…"
};

class ParameterGrid {
public:
    ParameterGrid(TFormMain& window, FileDialog& files);
    ~ParameterGrid();

    // Builds the grid's menu and wires the grid's events.
    void BuildParameterMenu();

    // Grid row last selected.
    int CurrentParameter = 0;
    // The default beep of the key guard (tests count it).
    std::function<void()> MessageBeep;
    // The dialogs of the two file items (the window's own unless replaced).
    FileDialog* parameter_file_dialog;

    // Builds the 20 grid rows on the first call, then shows ParameterValues.
    void FillParameterGrid();
    // Takes the text of CurrentParameter's value cell into the working set by
    // the row's commit rule. Throws std::invalid_argument with the conversion
    // error when a bounded row's text is no integer.
    void CommitParameterCell();
    // The dialogs the row buttons open (created after the main window).
    void SetPickerDialogs(const PickerDialogs& dialogs);

    void ValueListEditorParamSelectCell(int column, int row);
    void ValueListEditorParamExit();
    void ValueListEditorParamContextPopup(const QPoint& global);
    // True when the key is dropped.
    bool ValueListEditorParamKeyPress(const QString& key, const QString& text);
    void ValueListEditorParamEditButtonClick();
    void PopupMenuLoadClick();
    void PopupMenuReadClick();
    void PopupMenuCompareClick();
    void PopupMenuLoadAllClick();
    void PopupMenuReadAllClick();
    void PopupMenuCompareAllClick();
    void PopupMenuFLASHClick();
    void PopupMenuDefaultClick();
    void PopupMenuSaveFileClick();
    void PopupMenuLoadFileClick();

    // Shows the progress of a multi-parameter operation at once.
    void ShowProgress(int done, int total);

private:
    // CommitParameterCell through the general error report; false when it
    // failed. A commit asked for while the report of a failed one is up (its
    // box takes the keyboard focus from the grid) does nothing and fails.
    bool CommitReported();

    TFormMain& w;
    SensorSession& session;
    bool commit_running_ = false;
    std::unique_ptr<PickerDialogs> pickers_;
};

}  // namespace mk27x
