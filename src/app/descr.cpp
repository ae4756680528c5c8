#include "app/descr.h"

#include <QGuiApplication>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <array>
#include <string_view>

#include "params/parameter_table.h"

namespace mk27x {
namespace {

// One entry per row of ParameterTable, in its order.
constexpr std::array<std::string_view, kParameterCount> kHelp{{
    // Sensor On/Off
    "Switches the sensor's measuring on or off.\nValues: off, on.",
    // Synchronization control byte
    "How a measurement is started: by the sensor's own timer, by the trigger input or by "
    "the network. Choose it with the row's button (bits 0 and 2).\nValues: time, trigger, net.",
    // Network address
    "Address the sensor answers to on the line. \"Net number of device\" must match it to "
    "talk to the sensor.\nRange: 1 to 127.",
    // UART baudrate
    "Rate of the sensor's serial line, in baud (stored as the rate / 2400). \"UART Baud "
    "rate\" must match it.\nValues: 9600, 115200, 230400, 460800, 921600.",
    // Averaged values counter
    "Number of measurements the sensor averages into one result.\nRange: 1 to 128.",
    // Sampling period
    "Time between two measurements under timer synchronization, in ticks of the sensor's "
    "timer.\nRange: 1 to 65535.",
    // Analog output range (BEG)
    "Distance at which the analog output starts, in thousandths of the measuring range. "
    "Both ends are set together with the row's button.\nRange: 0 to 1000.",
    // Analog output range (END)
    "Distance at which the analog output ends, in thousandths of the measuring range. Both "
    "ends are set together with the row's button.\nRange: 0 to 1000.",
    // DelayMsr
    "Delay the sensor waits before it measures, in ticks of the sensor's timer.\nRange: 0 "
    "to 255.",
    // Etalon
    "Reference distance, in micrometres.\nRange: 0 to four times the measuring range.",
    // AnalogOutLo
    "Raw level of the analog output at the begin of its range.\nRange: 0 to 65535.",
    // AnalogOutHi
    "Raw level of the analog output at the end of its range.\nRange: 0 to 65535.",
    // Number of borders
    "Number of borders (edges) the sensor looks for in its signal.\nRange: 1 to 15.",
    // Measure type
    "What the result measures: the knife edge, the substrate, the average, or the border "
    "chosen as Border_A or Border_B.\nValues: knife, substrate, average, Border_A, Border_B.",
    // Border A
    "Number of the border taken as border A.\nRange: 1 to 15.",
    // Border B
    "Number of the border taken as border B.\nRange: 1 to 15.",
    // LowLimit
    "Lower limit of the distance for the limit outputs, in micrometres.\nRange: 0 to four "
    "times the measuring range.",
    // UpLimit
    "Upper limit of the distance for the limit outputs, in micrometres.\nRange: 0 to four "
    "times the measuring range.",
    // OutLogic
    "Logic of the LowLimit, UpLimit and InRange outputs, one bit each. Choose it with the "
    "row's button.\nRange: 0 to 7.",
    // Dia Correction
    "Signed correction of the diameter result, in raw distance units (1/16384 of the "
    "measuring range).\nRange: -32768 to 32767.",
}};

}  // namespace

bool WindowSystemPlacesWindows() {
    return !QGuiApplication::platformName().startsWith("wayland", Qt::CaseInsensitive);
}

QString ParameterDescriptions() {
    QString text =
        "Parameters of the sensor. Right-click the grid to read them from the sensor or load "
        "them into it; a value changed here reaches the sensor only when it is loaded.\n";
    for (int i = 0; i < kParameterCount; ++i) {
        const std::string_view name = ParameterTable[static_cast<std::size_t>(i)].name;
        const std::string_view help = kHelp[static_cast<std::size_t>(i)];
        text += '\n';
        text += QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
        text += '\n';
        text += QString::fromUtf8(help.data(), static_cast<qsizetype>(help.size()));
        text += '\n';
    }
    return text;
}

TFormDescr::TFormDescr(QWidget* parent)
    : QWidget(parent,
              WindowSystemPlacesWindows() ? Qt::Tool | Qt::FramelessWindowHint : Qt::Window),
      Memo1(new QPlainTextEdit(this)),
      TimerPos(new QTimer(this)) {
    setObjectName("FormDescr");
    // Left open (as a normal window where docking is not possible), it must not
    // keep the program running after the main window has closed.
    setAttribute(Qt::WA_QuitOnClose, false);
    resize(kClientWidth, kClientHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    // The main window sets the height, down to the few pixels of its smallest
    // parameter panel: the memo's size hints do not limit it.
    layout->setSizeConstraint(QLayout::SetNoConstraint);
    layout->addWidget(Memo1);
    Memo1->setObjectName("Memo1");
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Memo1->setPlainText(ParameterDescriptions());
    TimerPos->setInterval(1);
    connect(TimerPos, &QTimer::timeout, this, [this] { TimerPosTimer(); });
    FormCreate();
}

void TFormDescr::FormCreate() {
    TimerPos->stop();
}

void TFormDescr::TimerPosTimer() {
    if (!DockPosition) return;
    const std::optional<QPoint> dock = DockPosition();
    if (dock && pos() != *dock) move(*dock);
}

}  // namespace mk27x
