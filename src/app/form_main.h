// FormMain: the program's main window. Its handlers call the sensor session and
// turn the session's events into control changes; the workflows themselves live
// in the session.
//
// Threading: everything here runs on the window thread, except the session's
// distance event for stream frames, which only hands the newest readout over to
// it.
#pragma once

#include <QPoint>
#include <QPointer>
#include <QPushButton>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <initializer_list>

#include "pickers/pickers.h"
#include "platform/file_dialog.h"
#include "session/sensor_search.h"
#include "session/session.h"

class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QMenu;
class QProgressBar;
class QTimer;

namespace mk27x {

class ChartView;
class SearchDialog;
class TFormDescr;
class ValueListEditor;

// A button that keeps a two-state value beside its caption.
class TagButton : public QPushButton {
    Q_OBJECT
public:
    using QPushButton::QPushButton;
    int Tag = 0;
};

class TFormMain : public QWidget {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 714;
    // Heights are outer heights, the window's frame included.
    static constexpr int kMinWidth = 647;
    static constexpr int kMinHeight = 195;
    // The height animation grows in steps until it has reached this height.
    static constexpr int kTargetHeight = 600;
    static constexpr int kHeightStep = 80;
    static constexpr int kTopPanelHeight = 105;
    static constexpr int kBottomPanelHeight = 58;
    static constexpr int kParamPanelWidth = 217;

    TFormMain(MessageBox& messages, FileDialog& files, Clock& clock, PortBackends backends,
              QWidget* parent = nullptr);
    ~TFormMain() override;

    // --- the sensor ---------------------------------------------------------
    SensorSession session;

    // --- controls ---------------------------------------------------------
    QFrame* PanelTop;
    QLabel* Label1;
    QComboBox* ComboBoxCOM;
    QLabel* Label5;
    QComboBox* ComboBoxWorkBaund;
    QLabel* Label4;
    QComboBox* ComboBoxWorkCodeDev;
    TagButton* ButtonConnect;
    TagButton* ButtonMeasure;
    TagButton* ButtonStream;
    QPushButton* Button1;  // "Teach"
    QPushButton* Button2;  // "Measure Dev", never visible
    QPushButton* Button3;  // "Load Clbr File"
    QLabel* LabelRast;

    TagButton* ButtonDescription;
    QFrame* PanelParam;
    ValueListEditor* ValueListEditorParam;
    QProgressBar* ProgressBarParam;
    QFrame* PanelOsc;
    ChartView* Chart;

    QFrame* PanelBottom;
    QLabel* LabelModelTitle;
    QLabel* LabelModel;
    QLabel* LabelSerNumTitle;
    QLabel* LabelSerNum;
    QLabel* LabelReleaseTitle;
    QLabel* LabelRelease;
    QLabel* LabelBaseTitle;
    QLabel* LabelBase;
    QLabel* LabelRangeTitle;
    QLabel* LabelRange;

    QTimer* TimerAnswer;   // 1000 ms, lost-answer watchdog
    QTimer* TimerMeasure;  // 50 ms, timed measuring
    QTimer* TimerMore;     // 100 ms, height animation
    QTimer* TimerDesc;     // 1 ms, slide of the description window

    // Direction of the next height animation: true = grow.
    bool GrowNext = true;
    // Grid row last selected.
    int CurrentParameter = 0;

    // --- handlers ---------------------------------------------------------
    void FormCreate();
    void FormShow();
    void FormClose();
    void ButtonConnectClick();
    void ComboBoxCOMChange();
    void ComboBoxWorkBaundChange();
    void ComboBoxWorkCodeDevChange();
    void TimerAnswerTimer();
    void TimerMoreTimer();

    // Builds the 20 grid rows on the first call, then shows ParameterValues.
    void FillParameterGrid();
    // Places the middle band between the top and bottom panels.
    void LayoutMainWindow();
    // Adds a device path to the port list (once) and chooses it.
    void AddAndSelectPort(const QString& device);
    // The window's height with its frame.
    int OuterHeight() const;

    // --- parameter grid ---------------------------------------------------
    QMenu* PopupMenuParam;
    QAction* PopupMenuLoad;
    QAction* PopupMenuRead;
    QAction* PopupMenuCompare;
    QAction* PopupMenuSep1;
    QAction* PopupMenuLoadAll;
    QAction* PopupMenuReadAll;
    QAction* PopupMenuCompareAll;
    QAction* PopupMenuSep2;
    QAction* PopupMenuFLASH;
    QAction* PopupMenuDefault;
    // The default beep of the key guard (tests count it).
    std::function<void()> MessageBeep;

    // Takes the text of CurrentParameter's value cell into the working set by
    // the row's commit rule. Throws std::invalid_argument with the conversion
    // error when a bounded row's text is no integer.
    void CommitParameterCell();
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
    // The dialogs the row buttons open (created after the main window).
    void SetPickerDialogs(const PickerDialogs& dialogs);

    // --- search and parameter files ---
    // The last item of ComboBoxCOM: opens the search instead of naming a port.
    static constexpr const char* kSearchItem = "Search\u2026";
    QAction* PopupMenuSep3;
    QAction* PopupMenuSaveFile;  // "Save parameters to file…"
    QAction* PopupMenuLoadFile;  // "Load parameters from file…"
    // Where the search opens its ports.
    SearchOpener search_opener = RealSearchOpener();
    // The dialogs of the two file items (the window's own unless replaced).
    FileDialog* parameter_file_dialog;
    // Made at the first search and kept.
    SearchDialog* search_dialog = nullptr;
    // The port item shown before "Search…" was chosen.
    int last_port_item = -1;
    // Called first by ComboBoxCOMChange: true when "Search…" was chosen; the
    // port shown before is put back and the search opens.
    bool ComboBoxCOMSearchChosen();
    void OpenSearchDialog();
    // Sets the three combo boxes to a sensor found; their handlers run.
    void UseFoundSensor(const FoundSensor& sensor);
    // Where a new port goes in ComboBoxCOM's list: before "Search…".
    int PortInsertPosition() const;
    void PopupMenuSaveFileClick();
    void PopupMenuLoadFileClick();

    // --- recording ---
    // The chart menu's "Export CSV…" (the ring's samples with their times) and
    // "Statistics" (a message with the figures of the ring's samples). Both go
    // through the file-dialog and message-box layers; a failed export shows the
    // sample file's message.
    void MenuExportCsvClick();
    void MenuStatisticsClick();
    // The dialog of "Export CSV…" (by default the window's own).
    void SetRecordingFileDialog(FileDialog& dialog) { recording_dialog_ = &dialog; }
    FileDialogOptions ExportCsvDialogOptions() const;

    // --- layout and description panel ---
    static constexpr int kDescriptionButtonWidth = 14;
    // The lowest middle band that shows the parameter panel and the chart.
    static constexpr int kMinReadableBand = 60;
    // Pixels the description window moves per TimerDesc tick.
    static constexpr int kSlideStep = 10;

    // Side border and title bar height of the window's frame, from the window
    // system's frame geometry; recomputed by every layout run.
    int FrameBorder = 0;
    int CaptionOffset = 0;
    // False where the window system does not place top-level windows for the
    // program (Wayland): the description window then opens beside the main
    // window as a normal window, without slide and docking.
    bool CanPlaceWindows = true;

    // The description window this window slides out and docks (not owned).
    void SetFormDescr(TFormDescr* form);
    TFormDescr* FormDescr() const;

    // Layout, then the docked description window as tall as the parameter panel.
    void FormResize();
    void ButtonDescriptionClick();
    // One step of the description window's slide.
    void TimerDescTimer();
    // Outer top-left of the docked description window.
    QPoint DockPosition() const;
    // Screen x of the parameter panel's left side.
    int PanelEdge() const;

    // --- measuring ---
    // Points added to the chart in the current timed series; the label of the
    // next point.
    std::uint32_t MeasurePointCount = 0;
    // The series runs with the sensor's alternative measurement command.
    bool MeasureDevMode() const { return session.MeasureDevMode(); }

    void ButtonMeasureClick();  // "Measure" / "Stop"
    void Button2Click();        // "Measure Dev" / "Stop"
    void TimerMeasureTimer();   // one measurement of a timed series
    void ButtonStreamClick();   // "Stream start" / "Stream stop"
    void SaveClick();           // chart menu: "Save data to file"
    void ClearClick();          // chart menu: "Clear"
    void Button1Click();        // "Teach"
    void Button3Click();        // "Load Clbr File"

private:
    // layout and description panel
    // Wires the description button and TimerDesc; raises the button above the
    // parameter panel and indents the grid by its width.
    void SetUpDescriptionPanel();
    // FrameBorder and CaptionOffset from the current frame geometry.
    void UpdateFrameMetrics();
    // Activates this window unless it is active already.
    void GiveFocusBack();
    QPointer<TFormDescr> form_descr_;

    // measuring
    void ConnectMeasureHandlers();
    // Start and stop of a timed series by `pressed`, which reads `caption` when
    // idle; `others` are the controls disabled while it runs.
    void ToggleSeries(QPushButton* pressed, const char* caption, bool dev_mode,
                      std::initializer_list<QWidget*> others);

    FileDialog& files_;

    // recording
    // Connects the chart menu's recording items (at construction).
    void InstallRecording();
    FileDialog* recording_dialog_ = nullptr;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;

private:
    void BuildControls();
    void ConnectHandlers();
    void InstallSessionEvents();
    void BuildParameterMenu();
    // CommitParameterCell through the general error report; false when it
    // failed. A commit asked for while the report of a failed one is up (its
    // box takes the keyboard focus from the grid) does nothing and fails.
    bool CommitReported();
    bool commit_running_ = false;
    // The part of ButtonConnectClick that ends a connection: the session's
    // Disconnect, then the window's part of it.
    void DisconnectBranch();
    void RenderDisconnected();
    // The window's part of the watchdog's end of a link (at LinkState::Lost).
    void RenderLostLink();
    void SetSensorButtonsEnabled(bool enabled);
    void ResetIdentityLabels();
    void ResetReadout();
    // TimerMore on or off; the session learns of it.
    void SetTimerMore(bool running);
    // Sets the outer height; a window that would then reach past the bottom of
    // the screen's available area moves up just enough to stay whole.
    void SetWindowHeight(int outer_height);
    // Outer minus client height, as the window system reports it now.
    int FrameHeight() const;
    // Applies the outer height again when the frame has changed since.
    void FollowFrame();
    // Shows a distance in the readout (window thread).
    void ShowReadout(float mm);
    // Hands the newest stream distance over to the window thread.
    void QueueReadout();

    std::unique_ptr<PickerDialogs> pickers_;
    // The outer height last set.
    int outer_height_ = kMinHeight;
    // The frame height the client height was last computed with.
    int frame_height_ = 0;
    // A readout update is queued to the window thread and not yet shown.
    std::atomic<bool> readout_pending_{false};
    // Counts readout resets: a readout queued before a reset is not shown after it.
    std::atomic<unsigned> readout_generation_{0};
};

}  // namespace mk27x
