#include "app/link_panel.h"

#include <QComboBox>
#include <QLabel>
#include <QSignalBlocker>
#include <QTimer>

#include "app/form_main.h"
#include "app/value_list_editor.h"
#include "chart/chart_view.h"
#include "ui/search_dialog.h"

namespace mk27x {
namespace {

constexpr const char* kNone = "none";
constexpr const char* kNoneMm = "none mm";

}  // namespace

LinkPanel::LinkPanel(TFormMain& window) : w(window), session(window.session) {}

void LinkPanel::ConnectHandlers() {
    QObject::connect(w.ButtonConnect, &QPushButton::clicked, &w, [this] { ButtonConnectClick(); });
    QObject::connect(w.ComboBoxCOM, &QComboBox::currentIndexChanged, &w,
                     [this] { ComboBoxCOMChange(); });
    QObject::connect(w.ComboBoxWorkBaund, &QComboBox::currentIndexChanged, &w,
                     [this] { ComboBoxWorkBaundChange(); });
    QObject::connect(w.ComboBoxWorkCodeDev, &QComboBox::currentIndexChanged, &w,
                     [this] { ComboBoxWorkCodeDevChange(); });
    QObject::connect(w.TimerAnswer, &QTimer::timeout, &w, [this] { TimerAnswerTimer(); });
}

void LinkPanel::ShowIdentity(const SensorIdentity& id) {
    w.LabelModel->setText(QString::number(id.Model));
    w.LabelRelease->setText(QString::number(id.Release));
    w.LabelSerNum->setText(QString::number(id.SerialNumber));
    w.LabelBase->setText(QString::number(id.BaseDistance) + " mm");
    w.LabelRange->setText(QString::number(id.MeasuringRange) + " mm");
}

void LinkPanel::FollowAddress(std::uint8_t address) {
    const QSignalBlocker blocker(w.ComboBoxWorkCodeDev);
    w.ComboBoxWorkCodeDev->setCurrentIndex(address - 1);
}

void LinkPanel::FollowBaud(std::uint32_t baud) {
    const int item = BaudItem(baud);
    if (item < 0) return;
    const QSignalBlocker blocker(w.ComboBoxWorkBaund);
    w.ComboBoxWorkBaund->setCurrentIndex(item);
}

void LinkPanel::ButtonConnectClick() {
    // A Disconnect during the height animation is ignored altogether: it must
    // not switch the watchdog off for the rest of the connection.
    if (w.ButtonConnect->Tag != 0 && w.TimerMore->isActive()) return;
    w.Chart->SeriesOsc.Clear();
    w.TimerAnswer->stop();

    if (w.ButtonConnect->Tag != 0) {
        DisconnectBranch();
        return;
    }
    const ConnectResult connect = session.Connect();
    if (const auto message = ConnectFailureMessage(connect)) w.Show(*message);
    switch (connect.outcome) {
        case ConnectOutcome::PortNotOpened:
        case ConnectOutcome::OpenedOnly:
        case ConnectOutcome::NotIdentified:
            return;
        case ConnectOutcome::ReadFailed:
            // LinkAlive is 0: the watchdog ends the attempt within a second.
            w.TimerAnswer->start();
            return;
        case ConnectOutcome::Connected:
            break;
    }
    // The controls have followed the session's Connected.
    w.TimerAnswer->start();
    w.window_layout.SetTimerMore(true);
}

void LinkPanel::DisconnectBranch() {
    if (w.TimerMore->isActive()) return;
    // The controls follow the session's Closed; the window shrinks.
    session.Disconnect();
    w.window_layout.SetTimerMore(true);
}

void LinkPanel::ComboBoxCOMChange() {
    if (ComboBoxCOMSearchChosen()) return;
    session.SetPortName(w.ComboBoxCOM->currentText().toStdString());
}

void LinkPanel::ComboBoxWorkBaundChange() {
    bool ok = false;
    const unsigned rate = w.ComboBoxWorkBaund->currentText().toUInt(&ok);
    if (ok) session.SetBaudRate(rate);
}

void LinkPanel::ComboBoxWorkCodeDevChange() {
    bool ok = false;
    const unsigned address = w.ComboBoxWorkCodeDev->currentText().toUInt(&ok);
    if (ok) session.SetAddress(static_cast<std::uint8_t>(address));
}

void LinkPanel::TimerAnswerTimer() {
    // A lost link is rendered at the session's Lost, before "No answer.".
    session.WatchdogTick();
}

void LinkPanel::RenderLostLink(LinkState before) {
    w.window_layout.SetTimerMore(false);
    w.TimerDesc->stop();
    w.TimerAnswer->stop();
    w.TimerMeasure->stop();
    // The window shrinks when a connection was up and no stream ran.
    if (before == LinkState::Connected || before == LinkState::TimedSeries)
        w.window_layout.SetTimerMore(true);
}

void LinkPanel::AddAndSelectPort(const QString& device) {
    int item = w.ComboBoxCOM->findText(device);
    if (item < 0) {
        item = PortInsertPosition();
        w.ComboBoxCOM->insertItem(item, device);
    }
    w.ComboBoxCOM->setCurrentIndex(item);
    ComboBoxCOMChange();
}

void LinkPanel::ResetIdentityLabels() {
    w.LabelModel->setText(kNone);
    w.LabelRelease->setText(kNone);
    w.LabelSerNum->setText(kNone);
    w.LabelBase->setText(kNoneMm);
    w.LabelRange->setText(kNoneMm);
}

// --- the sensor search -------------------------------------------------------

int LinkPanel::PortInsertPosition() const {
    const int search = w.ComboBoxCOM->findText(QString::fromUtf8(kSearchItem));
    return search < 0 ? w.ComboBoxCOM->count() : search;
}

bool LinkPanel::ComboBoxCOMSearchChosen() {
    const int item = w.ComboBoxCOM->currentIndex();
    if (w.ComboBoxCOM->itemText(item) != QString::fromUtf8(kSearchItem)) {
        last_port_item = item;
        return false;
    }
    {
        // The port shown before comes back without running the handler: the
        // port name has not changed.
        const QSignalBlocker block(w.ComboBoxCOM);
        int back = last_port_item;
        if (back < 0 || back >= PortInsertPosition())
            back = w.ComboBoxCOM->findText(QString::fromStdString(session.PortName()));
        w.ComboBoxCOM->setCurrentIndex(back);
    }
    OpenSearchDialog();
    return true;
}

void LinkPanel::OpenSearchDialog() {
    if (!search_dialog) search_dialog = new SearchDialog(session.GetClock(), search_opener, &w);
    std::vector<std::string> ports;
    for (int i = 0; i < PortInsertPosition(); ++i)
        ports.push_back(w.ComboBoxCOM->itemText(i).toStdString());
    search_dialog->SetPorts(std::move(ports), session.PortName());
    if (search_dialog->exec() != QDialog::Accepted) return;
    if (const auto sensor = search_dialog->Chosen()) UseFoundSensor(*sensor);
}

void LinkPanel::UseFoundSensor(const FoundSensor& sensor) {
    AddAndSelectPort(QString::fromStdString(sensor.port));
    {
        const QSignalBlocker block(w.ComboBoxWorkBaund);
        w.ComboBoxWorkBaund->setCurrentIndex(
            w.ComboBoxWorkBaund->findText(QString::number(sensor.baud)));
    }
    ComboBoxWorkBaundChange();
    {
        const QSignalBlocker block(w.ComboBoxWorkCodeDev);
        w.ComboBoxWorkCodeDev->setCurrentIndex(sensor.address - 1);
    }
    ComboBoxWorkCodeDevChange();
}

}  // namespace mk27x
