#include "app/form_main.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QSignalBlocker>
#include <QTimer>
#include <utility>

#include "app/value_list_editor.h"

namespace mk27x {

TFormMain::TFormMain(MessageBox& messages, FileDialog& files, Clock& clock, PortBackends backends,
                     QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      messages(messages),
      session(clock, std::move(backends)),
      link(*this),
      grid(*this, files),
      measuring(*this, files),
      window_layout(*this) {
    BuildControls();
    InstallSessionEvents();
    FormCreate();
    grid.BuildParameterMenu();
    link.ConnectHandlers();
    window_layout.SetUpDescriptionPanel();
    measuring.ConnectHandlers();
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

void TFormMain::InstallSessionEvents() {
    SessionEvents& events = session.events;
    events.identity_known = [this](const SensorIdentity& id) { link.ShowIdentity(id); };
    events.progress = [this](int done, int total) { grid.ShowProgress(done, total); };
    events.address_changed = [this](std::uint8_t address) { link.FollowAddress(address); };
    events.baud_changed = [this](std::uint32_t baud) { link.FollowBaud(baud); };
    events.parameters_replaced = [this] { grid.FillParameterGrid(); };
    events.state_changed = [this, last = session.State()](LinkState state) mutable {
        if (state == LinkState::Lost) link.RenderLostLink(last);
        RenderLinkState(state);
        // The watchdog's end of a link is told once the link is down.
        if (last == LinkState::Lost && state == LinkState::Closed) Show(NoAnswerMessage());
        last = state;
    };
    events.distance = [this](float mm) { measuring.OnDistance(mm); };
}

void TFormMain::FormCreate() {
    session.Disconnect();
    session.SetPortName("USB");
    session.SetBaudRate(115200);
    session.SetAddress(1);
    grid.CurrentParameter = 0;

    window_layout.LayoutMainWindow();
    window_layout.SetWindowHeight(WindowLayout::kMinHeight);

    window_layout.SetTimerMore(false);
    TimerDesc->stop();
    TimerAnswer->stop();
    window_layout.GrowNext = true;
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
    grid.FillParameterGrid();

    // The reader thread starts when the window is first shown.
    session.SetMeasureDevMode(false);
    RenderLinkState(session.State());
}

void TFormMain::FormShow() {
    session.Start();
}

void TFormMain::FormClose() {
    window_layout.SetTimerMore(false);
    TimerAnswer->stop();
    TimerMeasure->stop();
    TimerDesc->stop();
    session.Shutdown();
}

void TFormMain::RenderLinkState(LinkState state) {
    using enum LinkState;
    // A lost link shows as closed from the start of its teardown.
    const bool connected = state == Connected || state == TimedSeries || state == Streaming;
    const bool idle = state == Connected;
    const bool series = state == TimedSeries;
    const bool dev_series = series && session.MeasureDevMode();

    ButtonConnect->Tag = connected ? 1 : 0;
    ButtonConnect->setText(connected ? "Disconnect" : "Connect");
    ButtonConnect->setEnabled(!connected || idle);

    // Both series share ButtonMeasure's Tag; each disables the other's button,
    // so a series is stopped by the button that started it.
    ButtonMeasure->Tag = series ? 1 : 0;
    ButtonMeasure->setText(series && !dev_series ? "Stop" : "Measure");
    ButtonMeasure->setEnabled(idle || (series && !dev_series));
    Button2->setText(dev_series ? "Stop" : "Measure Dev");
    Button2->setEnabled(idle || dev_series);

    ButtonStream->Tag = state == Streaming ? 1 : 0;
    ButtonStream->setText(state == Streaming ? "Stream stop" : "Stream start");
    ButtonStream->setEnabled(idle || state == Streaming);

    Button1->setEnabled(idle);
    Button3->setEnabled(idle);
    // No cell edit competes with a series; the grid's menu is limited while
    // streaming.
    ValueListEditorParam->setEnabled(!series);

    if (connected) {
        LabelRast->setEnabled(true);
    } else {
        link.ResetIdentityLabels();
        measuring.ResetReadout();
    }
}

void TFormMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The frame is known once the window is on the screen: the outer height set
    // before then is applied again.
    window_layout.SetWindowHeight(window_layout.OuterHeight());
    FormShow();
}

void TFormMain::closeEvent(QCloseEvent* event) {
    FormClose();
    event->accept();
}

void TFormMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    window_layout.FormResize();
    window_layout.FollowFrame();
}

void TFormMain::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    window_layout.FollowFrame();
}

}  // namespace mk27x
