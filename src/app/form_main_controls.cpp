// The main window's controls as designed: captions, fonts and pixel positions.
// They are created in the order of the window's keyboard focus chain.
#include <QComboBox>
#include <QFrame>
#include <QLabel>
#include <QProgressBar>
#include <QSerialPortInfo>
#include <QTimer>
#include <QVBoxLayout>

#include "app/form_main.h"
#include "app/value_list_editor.h"
#include "chart/chart_view.h"

namespace mk27x {
namespace {

constexpr const char* kCaption = "MK27x-SP(Setup program).";
constexpr const char* kNone = "none";
constexpr const char* kNoneMm = "none mm";

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
    ComboBoxCOM->addItem(QString::fromUtf8(LinkPanel::kSearchItem));
    ComboBoxCOM->setCurrentIndex(ComboBoxCOM->findText("USB"));
    for (std::uint32_t rate : kBaudRates) ComboBoxWorkBaund->addItem(QString::number(rate));
    ComboBoxWorkBaund->setCurrentIndex(LinkPanel::BaudItem(115200));

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
        label->setGeometry(618, label->y(), WindowLayout::kClientWidth - 6 - 618, label->height());
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

}  // namespace mk27x
