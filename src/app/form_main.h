// FormMain: the program's main window. It holds the link state (port,
// protocol, sample ring, stream reader) and the event handlers that tie the
// controls to it; the device logic itself lives in the link layer.
//
// Threading: everything here runs on the window thread, except the stream
// reader's frame hook, which only hands the newest readout over to it.
#pragma once

#include <QPushButton>
#include <QWidget>
#include <atomic>

#include "link/protocol.h"
#include "link/sample_ring.h"
#include "link/sensor_port.h"
#include "link/stream_reader.h"
#include "platform/clock.h"
#include "platform/message_box.h"

class QComboBox;
class QFrame;
class QLabel;
class QProgressBar;
class QTimer;

namespace mk27x {

class ChartView;
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
    static constexpr int kMinWidth = 647;
    static constexpr int kMinHeight = 195;
    // The height animation grows in steps until it has reached this height.
    static constexpr int kTargetHeight = 600;
    static constexpr int kHeightStep = 80;
    static constexpr int kTopPanelHeight = 105;
    static constexpr int kBottomPanelHeight = 58;
    static constexpr int kParamPanelWidth = 217;

    TFormMain(MessageBox& messages, Clock& clock, PortBackends backends, QWidget* parent = nullptr);
    ~TFormMain() override;

    // --- link state -------------------------------------------------------
    SensorPort port;
    SensorProtocol protocol;
    SampleRing ring;
    StreamReader reader;

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

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void BuildControls();
    void ConnectHandlers();
    void InstallProtocolHooks();
    // The part of ButtonConnectClick that ends a connection.
    void DisconnectBranch();
    void SetSensorButtonsEnabled(bool enabled);
    void ResetIdentityLabels();
    void ResetReadout();
    // TimerMore on or off; the stream reader learns of it.
    void SetTimerMore(bool running);
    void SetWindowHeight(int height);
    // Shows the newest decoded distance (window thread).
    void ShowReadout();

    MessageBox& messages_;
    // A readout update is queued to the window thread and not yet shown.
    std::atomic<bool> readout_pending_{false};
};

}  // namespace mk27x
