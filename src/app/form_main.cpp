#include "app/form_main.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QScreen>
#include <QSerialPortInfo>
#include <QSignalBlocker>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "app/value_list_editor.h"
#include "chart/chart_view.h"
#include "link/codec.h"
#include "params/parameter_text.h"
#include "session/session.h"

namespace mk27x {
namespace {

constexpr const char* kCaption = "MK27x-SP(Setup program).";
constexpr const char* kNone = "none";
constexpr const char* kNoneMm = "none mm";

// Item of the baud combo box for a rate, or -1.
int BaudItem(std::uint32_t rate) {
    for (int i = 0; i < static_cast<int>(std::size(kBaudRates)); ++i)
        if (kBaudRates[i] == rate) return i;
    return -1;
}

QString Text(const std::string& s) {
    return QString::fromStdString(s);
}

QFont PixelFont(const QFont& base, int pixels) {
    QFont f = base;
    f.setPixelSize(pixels);
    return f;
}

// The window was designed with the classic Windows faces; where they are
// missing, faces of similar width stand in (the pixel geometry assumes them).
void SubstituteDesignFonts() {
    QFont::insertSubstitutions("MS Sans Serif", {"Microsoft Sans Serif", "Liberation Sans", "Arial",
                                                 "DejaVu Sans Condensed"});
    QFont::insertSubstitutions("Times New Roman", {"Liberation Serif", "DejaVu Serif"});
    QFont::insertSubstitutions("Arial", {"Liberation Sans", "DejaVu Sans"});
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y, const QFont& font) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QFrame* MakePanel(QWidget* parent, const char* name) {
    auto* panel = new QFrame(parent);
    panel->setObjectName(name);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    return panel;
}

// The combo boxes are drop-down lists of the classic height.
QComboBox* MakeCombo(QWidget* parent, int x, int y, int width) {
    auto* combo = new QComboBox(parent);
    combo->setEditable(false);
    combo->setGeometry(x, y, width, 21);
    return combo;
}

}  // namespace

TFormMain::TFormMain(MessageBox& messages, FileDialog& files, Clock& clock, PortBackends backends,
                     QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      session(messages, clock, std::move(backends)),
      parameter_file_dialog(&files),
      files_(files) {
    BuildControls();
    InstallSessionEvents();
    FormCreate();
    ConnectHandlers();
    SetUpDescriptionPanel();
    ConnectMeasureHandlers();
    InstallRecording();
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

TFormMain::~TFormMain() {
    // The session's events refer to this window: the reader ends first.
    session.Shutdown();
    // Closing the widget moves the focus out of the grid, whose signals would
    // reach handlers of this window after its own part is gone.
    ValueListEditorParam->disconnect(this);
}

// The controls as designed: captions, fonts and pixel positions.
void TFormMain::BuildControls() {
    setObjectName("FormMain");
    setWindowTitle(kCaption);
    SubstituteDesignFonts();
    QFont window_font("MS Sans Serif");
    window_font.setPointSize(8);
    setFont(window_font);
    const QFont small = PixelFont(window_font, 13);
    const QFont large = PixelFont(window_font, 16);

    // Top panel: link settings, action buttons, readout.
    PanelTop = MakePanel(this, "PanelTop");
    Label1 = MakeLabel(PanelTop, "COM Port / USB :", 4, 15, small);
    ComboBoxCOM = MakeCombo(PanelTop, 126, 11, 65);
    Label5 = MakeLabel(PanelTop, "UART Baud rate:", 5, 45, small);
    ComboBoxWorkBaund = MakeCombo(PanelTop, 126, 42, 65);
    Label4 = MakeLabel(PanelTop, "Net number of device:", 5, 76, small);
    ComboBoxWorkCodeDev = MakeCombo(PanelTop, 150, 73, 41);

    // Long device paths do not fit the narrow list: every item and the chosen
    // port carry their full name as a tooltip.
    connect(ComboBoxCOM->model(), &QAbstractItemModel::rowsInserted, ComboBoxCOM,
            [combo = ComboBoxCOM](const QModelIndex&, int first, int last) {
                for (int i = first; i <= last; ++i)
                    combo->setItemData(i, combo->itemText(i), Qt::ToolTipRole);
            });
    connect(ComboBoxCOM, &QComboBox::currentTextChanged, ComboBoxCOM, &QWidget::setToolTip);
    ComboBoxCOM->addItems({"COM1", "COM2", "COM3", "COM4", "USB"});
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
        const QString device = info.systemLocation();
        if (!device.isEmpty() && ComboBoxCOM->findText(device) < 0) ComboBoxCOM->addItem(device);
    }
    ComboBoxCOM->addItem(QString::fromUtf8(kSearchItem));
    ComboBoxCOM->setCurrentIndex(ComboBoxCOM->findText("USB"));
    for (std::uint32_t rate : kBaudRates) ComboBoxWorkBaund->addItem(QString::number(rate));
    ComboBoxWorkBaund->setCurrentIndex(BaudItem(115200));

    ButtonConnect = new TagButton("Connect", PanelTop);
    ButtonConnect->setGeometry(200, 6, 156, 26);
    ButtonMeasure = new TagButton("Measure", PanelTop);
    ButtonMeasure->setGeometry(200, 37, 75, 28);
    ButtonStream = new TagButton("Stream start", PanelTop);
    ButtonStream->setGeometry(282, 37, 75, 28);
    Button1 = new QPushButton("Teach", PanelTop);
    Button1->setGeometry(200, 70, 75, 28);
    Button3 = new QPushButton("Load Clbr File", PanelTop);
    Button3->setGeometry(282, 70, 75, 28);
    Button2 = new QPushButton("Measure Dev", PanelTop);
    Button2->setGeometry(370, 70, 75, 28);
    Button2->setVisible(false);

    LabelRast = new QLabel(PanelTop);
    LabelRast->setGeometry(368, 11, 341, 54);
    LabelRast->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont readout_font("Times New Roman");
    readout_font.setPixelSize(45);
    LabelRast->setFont(readout_font);
    LabelRast->setAutoFillBackground(true);
    QPalette readout = LabelRast->palette();
    readout.setColor(QPalette::Window, Qt::black);
    readout.setColor(QPalette::WindowText, Qt::red);
    readout.setColor(QPalette::Disabled, QPalette::Window, Qt::black);
    readout.setColor(QPalette::Disabled, QPalette::WindowText, QColor(128, 128, 128));
    LabelRast->setPalette(readout);

    // Middle band: parameter panel, oscilloscope, description button.
    ButtonDescription = new TagButton("<<", this);
    PanelParam = MakePanel(this, "PanelParam");
    PanelParam->setFrameStyle(QFrame::NoFrame);
    auto* param_layout = new QVBoxLayout(PanelParam);
    param_layout->setContentsMargins(0, 0, 0, 0);
    param_layout->setSpacing(0);
    ValueListEditorParam = new ValueListEditor(PanelParam);
    ProgressBarParam = new QProgressBar(PanelParam);
    ProgressBarParam->setFixedHeight(17);
    ProgressBarParam->setRange(0, 100);
    ProgressBarParam->setValue(0);
    ProgressBarParam->setTextVisible(false);
    param_layout->addWidget(ValueListEditorParam, 1);
    param_layout->addWidget(ProgressBarParam);

    PanelOsc = MakePanel(this, "PanelOsc");
    PanelOsc->setFrameStyle(QFrame::NoFrame);
    auto* osc_layout = new QVBoxLayout(PanelOsc);
    osc_layout->setContentsMargins(0, 0, 0, 0);
    Chart = new ChartView(PanelOsc);
    osc_layout->addWidget(Chart);

    // Bottom panel: the sensor's identity.
    PanelBottom = MakePanel(this, "PanelBottom");
    LabelModelTitle = MakeLabel(PanelBottom, "Model:", 5, 7, large);
    LabelModel = MakeLabel(PanelBottom, kNone, 117, 7, large);
    LabelSerNumTitle = MakeLabel(PanelBottom, "Serial number:", 5, 27, large);
    LabelSerNum = MakeLabel(PanelBottom, kNone, 117, 27, large);
    LabelReleaseTitle = MakeLabel(PanelBottom, "Release:", 281, 23, large);
    LabelRelease = MakeLabel(PanelBottom, kNone, 349, 23, large);
    LabelReleaseTitle->setVisible(false);
    LabelRelease->setVisible(false);
    LabelBaseTitle = MakeLabel(PanelBottom, "Base distance:", 488, 7, large);
    LabelRangeTitle = MakeLabel(PanelBottom, "Measuring range:", 488, 27, large);
    // Right-justified: the texts end where the designed labels end.
    LabelBase = MakeLabel(PanelBottom, kNoneMm, 638, 7, large);
    LabelRange = MakeLabel(PanelBottom, kNoneMm, 638, 27, large);
    for (QLabel* label : {LabelModel, LabelSerNum, LabelRelease})
        label->resize(160, label->height());
    for (QLabel* label : {LabelBase, LabelRange}) {
        label->setAlignment(Qt::AlignRight | Qt::AlignTop);
        label->setGeometry(618, label->y(), kClientWidth - 6 - 618, label->height());
    }

    TimerAnswer = new QTimer(this);
    TimerAnswer->setInterval(1000);
    TimerMeasure = new QTimer(this);
    TimerMeasure->setInterval(50);
    TimerMore = new QTimer(this);
    TimerMore->setInterval(100);
    TimerDesc = new QTimer(this);
    TimerDesc->setInterval(1);
}

void TFormMain::ConnectHandlers() {
    BuildParameterMenu();
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(ButtonConnect, &QPushButton::clicked, this, [this] { ButtonConnectClick(); });
    connect(ComboBoxCOM, &QComboBox::currentIndexChanged, this, [this] { ComboBoxCOMChange(); });
    connect(ComboBoxWorkBaund, &QComboBox::currentIndexChanged, this,
            [this] { ComboBoxWorkBaundChange(); });
    connect(ComboBoxWorkCodeDev, &QComboBox::currentIndexChanged, this,
            [this] { ComboBoxWorkCodeDevChange(); });
    connect(TimerAnswer, &QTimer::timeout, this, [this] { TimerAnswerTimer(); });
    connect(TimerMore, &QTimer::timeout, this, [this] { TimerMoreTimer(); });
}

void TFormMain::InstallSessionEvents() {
    SessionEvents& events = session.events;
    events.identity_known = [this](const SensorIdentity& id) {
        LabelModel->setText(QString::number(id.Model));
        LabelRelease->setText(QString::number(id.Release));
        LabelSerNum->setText(QString::number(id.SerialNumber));
        LabelBase->setText(QString::number(id.BaseDistance) + " mm");
        LabelRange->setText(QString::number(id.MeasuringRange) + " mm");
    };
    // Repainted at once: the reads that move the bar block the event loop.
    events.progress = [this](int done, int total) {
        ProgressBarParam->setMaximum(total);
        ProgressBarParam->setValue(done);
        ProgressBarParam->repaint();
    };
    // The sensor has been told already: the combo boxes only follow it.
    events.address_changed = [this](std::uint8_t address) {
        const QSignalBlocker blocker(ComboBoxWorkCodeDev);
        ComboBoxWorkCodeDev->setCurrentIndex(address - 1);
    };
    events.baud_changed = [this](std::uint32_t baud) {
        const int item = BaudItem(baud);
        if (item < 0) return;
        const QSignalBlocker blocker(ComboBoxWorkBaund);
        ComboBoxWorkBaund->setCurrentIndex(item);
    };
    events.parameters_replaced = [this] { FillParameterGrid(); };
    events.state_changed = [this](LinkState state) {
        if (state == LinkState::Lost) RenderLostLink();
    };
    events.distance = [this](float mm) {
        if (QThread::currentThread() == thread())
            ShowReadout(mm);
        else
            QueueReadout();
    };
}

// Runs on the reader thread: at most one readout waits in the event queue, and
// it shows the newest distance when its turn comes, unless the readout has been
// reset since it was queued.
void TFormMain::QueueReadout() {
    if (readout_pending_.exchange(true)) return;
    const unsigned generation = readout_generation_.load();
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            readout_pending_ = false;
            if (generation != readout_generation_.load()) return;
            ShowReadout(session.LastDistance());
        },
        Qt::QueuedConnection);
}

void TFormMain::ShowReadout(float mm) {
    // A frame that arrives after the link was torn down leaves the reset readout.
    if (!LabelRast->isEnabled()) return;
    LabelRast->setText(Text(DistanceReadout(mm)));
}

void TFormMain::FormCreate() {
    session.Disconnect();
    session.SetPortName("USB");
    session.SetBaudRate(115200);
    session.SetAddress(1);
    CurrentParameter = 0;

    LayoutMainWindow();
    ButtonConnect->Tag = 0;
    SetWindowHeight(kMinHeight);

    SetTimerMore(false);
    TimerDesc->stop();
    TimerAnswer->stop();
    SetSensorButtonsEnabled(false);
    GrowNext = true;
    ButtonDescription->Tag = 0;
    ButtonDescription->setText("<<");

    {
        const QSignalBlocker blocker(ComboBoxWorkCodeDev);
        ComboBoxWorkCodeDev->clear();
        for (int address = 1; address <= 127; ++address)
            ComboBoxWorkCodeDev->addItem(QString::number(address));
        ComboBoxWorkCodeDev->setCurrentIndex(0);
    }

    session.Values() = DefaultParameterSet();
    FillParameterGrid();

    // The reader thread starts when the window is first shown.
    session.SetMeasureDevMode(false);
    ResetReadout();
}

void TFormMain::FormShow() {
    session.Start();
}

void TFormMain::FormClose() {
    SetTimerMore(false);
    TimerAnswer->stop();
    TimerMeasure->stop();
    TimerDesc->stop();
    session.Shutdown();
}

void TFormMain::ButtonConnectClick() {
    // A Disconnect during the height animation is ignored altogether: it must
    // not switch the watchdog off for the rest of the connection.
    if (ButtonConnect->Tag != 0 && TimerMore->isActive()) return;
    Chart->SeriesOsc.Clear();
    TimerAnswer->stop();

    if (ButtonConnect->Tag != 0) {
        DisconnectBranch();
        return;
    }
    switch (session.Connect()) {
        case ConnectOutcome::PortNotOpened:
        case ConnectOutcome::OpenedOnly:
        case ConnectOutcome::NotIdentified:
            return;
        case ConnectOutcome::ReadFailed:
            // LinkAlive is 0: the watchdog ends the attempt within a second.
            TimerAnswer->start();
            return;
        case ConnectOutcome::Connected:
            break;
    }
    TimerAnswer->start();
    SetTimerMore(true);
    ButtonConnect->Tag = 1;
    ButtonConnect->setText("Disconnect");
    SetSensorButtonsEnabled(true);
    LabelRast->setEnabled(true);
}

void TFormMain::DisconnectBranch() {
    if (TimerMore->isActive()) return;
    session.Disconnect();
    RenderDisconnected();
}

void TFormMain::RenderDisconnected() {
    SetTimerMore(true);
    ButtonConnect->Tag = 0;
    ButtonConnect->setText("Connect");
    ResetIdentityLabels();
    SetSensorButtonsEnabled(false);
    ResetReadout();
}

void TFormMain::Button3Click() {
    FileDialogOptions OpenDialog1;
    OpenDialog1.filter = "*.tbl|*.tbl";
    OpenDialog1.default_extension = "tbl";
    OpenDialog1.file_name = std::to_string(session.Identity().SerialNumber) + ".tbl";
    const auto path = files_.Open(OpenDialog1);
    if (!path) return;
    // The window thread stays blocked for the upload; the progress bar repaints
    // itself as it moves.
    session.UploadCalibration(*path);
}

void TFormMain::ComboBoxCOMChange() {
    if (ComboBoxCOMSearchChosen()) return;
    session.SetPortName(ComboBoxCOM->currentText().toStdString());
}

void TFormMain::ComboBoxWorkBaundChange() {
    bool ok = false;
    const unsigned rate = ComboBoxWorkBaund->currentText().toUInt(&ok);
    if (ok) session.SetBaudRate(rate);
}

void TFormMain::ComboBoxWorkCodeDevChange() {
    bool ok = false;
    const unsigned address = ComboBoxWorkCodeDev->currentText().toUInt(&ok);
    if (ok) session.SetAddress(static_cast<std::uint8_t>(address));
}

void TFormMain::TimerAnswerTimer() {
    // A lost link is rendered at the session's Lost, before "No answer.".
    session.WatchdogTick();
}

// The link is lost: the window goes back to its unconnected state (and shrinks
// when a connection was up and no stream ran).
void TFormMain::RenderLostLink() {
    SetTimerMore(false);
    TimerDesc->stop();
    TimerAnswer->stop();
    TimerMeasure->stop();
    SetSensorButtonsEnabled(false);
    ButtonConnect->setEnabled(true);
    ValueListEditorParam->setEnabled(true);
    if (ButtonConnect->Tag == 1 && !session.Streaming()) RenderDisconnected();
    ButtonConnect->Tag = 0;
    ButtonStream->setText("Stream start");
    ButtonStream->Tag = 0;
    ButtonConnect->setText("Connect");
    ButtonMeasure->setText("Measure");
    ButtonMeasure->Tag = 0;
    ResetIdentityLabels();
    ResetReadout();
}

void TFormMain::TimerMoreTimer() {
    if (GrowNext) {
        if (OuterHeight() < kTargetHeight) {
            SetWindowHeight(OuterHeight() + kHeightStep);
            return;
        }
        GrowNext = false;
        SetTimerMore(false);
    } else {
        if (OuterHeight() > kMinHeight) {
            SetWindowHeight(OuterHeight() - kHeightStep);
            return;
        }
        GrowNext = true;
        SetTimerMore(false);
    }
}

void TFormMain::FillParameterGrid() {
    if (ValueListEditorParam->rowCount() != kParameterCount) {
        for (int i = 0; i < kParameterCount; ++i) {
            const ParameterRow& row = ParameterTable[i];
            const int r = ValueListEditorParam->InsertRow(
                QString::fromUtf8(row.name.data(), static_cast<qsizetype>(row.name.size())), {});
            ItemProp props;
            props.edit_style = row.edit_style;
            props.max_length = row.max_length;
            for (const std::string& item : PickListItems(i)) props.pick_list << Text(item);
            props.read_only = row.read_only;
            ValueListEditorParam->SetItemProps(r, std::move(props));
        }
    }
    const auto texts = ParameterTexts(session.Values(), session.Identity().SignedRange());
    for (int i = 0; i < kParameterCount; ++i)
        ValueListEditorParam->SetValue(i, Text(texts[static_cast<std::size_t>(i)]));
}

void TFormMain::AddAndSelectPort(const QString& device) {
    int item = ComboBoxCOM->findText(device);
    if (item < 0) {
        item = PortInsertPosition();
        ComboBoxCOM->insertItem(item, device);
    }
    ComboBoxCOM->setCurrentIndex(item);
    ComboBoxCOMChange();
}

void TFormMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The frame is known once the window is on the screen: the outer height set
    // before then is applied again.
    SetWindowHeight(outer_height_);
    FormShow();
}

void TFormMain::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TFormMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
    FollowFrame();
}

void TFormMain::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    FollowFrame();
}

void TFormMain::SetSensorButtonsEnabled(bool enabled) {
    for (QPushButton* button : {static_cast<QPushButton*>(ButtonMeasure),
                                static_cast<QPushButton*>(ButtonStream), Button1, Button2, Button3})
        button->setEnabled(enabled);
}

void TFormMain::ResetIdentityLabels() {
    LabelModel->setText(kNone);
    LabelRelease->setText(kNone);
    LabelSerNum->setText(kNone);
    LabelBase->setText(kNoneMm);
    LabelRange->setText(kNoneMm);
}

void TFormMain::ResetReadout() {
    ++readout_generation_;
    LabelRast->setEnabled(false);
    LabelRast->setText(Text(DistanceReadout(0.0f)));
}

void TFormMain::SetTimerMore(bool running) {
    if (running)
        TimerMore->start();
    else
        TimerMore->stop();
    session.SetDisplayBusy(running);
}

int TFormMain::OuterHeight() const {
    return outer_height_;
}

int TFormMain::FrameHeight() const {
    return frameGeometry().height() - geometry().height();
}

void TFormMain::SetWindowHeight(int outer_height) {
    outer_height_ = outer_height;
    frame_height_ = FrameHeight();
    setFixedSize(kClientWidth, std::max(0, outer_height - frame_height_));
    LayoutMainWindow();
    const QScreen* screen = this->screen();
    if (!screen) return;
    const QRect available = screen->availableGeometry();
    const QRect outer = frameGeometry();
    const int overshoot = outer.top() + outer_height - 1 - available.bottom();
    if (overshoot > 0) move(x(), std::max(available.top(), outer.top() - overshoot));
}

void TFormMain::FollowFrame() {
    // A window manager frames the window some time after it is shown: the
    // outer height is applied again once the frame is known or has changed.
    if (isVisible() && FrameHeight() != frame_height_) SetWindowHeight(outer_height_);
}

}  // namespace mk27x
