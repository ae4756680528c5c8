// The monitor window's publishing to an MQTT broker: the fields, the settings
// they make, and the publisher attached to a run and ended with it.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include "monitor/monitor_window.h"
#include "publish/publish_options.h"

namespace mk27x {
namespace {

// "the broker refused ..." as a sentence of its own.
std::string Sentence(std::string text) {
    if (!text.empty() && text[0] >= 'a' && text[0] <= 'z')
        text[0] = static_cast<char>(text[0] - 32);
    if (!text.empty() && text.back() != '.') text += '.';
    return text;
}

}  // namespace

QHBoxLayout* MonitorWindow::BuildPublishRow() {
    CheckPublish = new QCheckBox("Publish to &MQTT", this);
    CheckPublish->setObjectName("CheckPublish");
    EditPublishUrl = new QLineEdit(this);
    EditPublishUrl->setObjectName("EditPublishUrl");
    EditPublishUrl->setPlaceholderText("mqtt://user@broker:1883/plant/line1");
    EditPublishUrl->setToolTip(
        "mqtt://[USER@]HOST[:PORT]/PREFIX, or mqtts://... for TLS; every sensor under "
        "PREFIX/NAME, every channel under PREFIX/channels/NAME");
    auto* url_label = new QLabel("&URL:", this);
    url_label->setBuddy(EditPublishUrl);
    ComboQos = new QComboBox(this);
    ComboQos->setObjectName("ComboQos");
    ComboQos->addItems({"0", "1", "2"});
    ComboQos->setCurrentIndex(PublishSettings{}.qos);
    auto* qos_label = new QLabel("&QoS:", this);
    qos_label->setBuddy(ComboQos);
    EditPassword = new QLineEdit(this);
    EditPassword->setObjectName("EditPassword");
    EditPassword->setEchoMode(QLineEdit::Password);
    EditPassword->setPlaceholderText(kMqttPasswordVariable);
    EditPassword->setToolTip(
        QString("The user's password, kept in memory only; empty: the environment's %1")
            .arg(kMqttPasswordVariable));
    auto* password_label = new QLabel("Pass&word:", this);
    password_label->setBuddy(EditPassword);

    auto* row = new QHBoxLayout;
    row->addWidget(CheckPublish);
    row->addWidget(url_label);
    row->addWidget(EditPublishUrl, 1);
    row->addWidget(qos_label);
    row->addWidget(ComboQos);
    row->addWidget(password_label);
    row->addWidget(EditPassword);
    connect(CheckPublish, &QCheckBox::toggled, this, &MonitorWindow::UpdateControls);
    return row;
}

void MonitorWindow::SetPublishing(const PublishSettings& settings) {
    CheckPublish->setChecked(true);
    EditPublishUrl->setText(QString::fromStdString(settings.target.Text()));
    ComboQos->setCurrentIndex(settings.qos);
    EditPassword->setText(QString::fromStdString(settings.password));
    publish_cafile_ = settings.cafile;
    publish_buffer_seconds_ = settings.buffer_seconds;
    UpdateControls();
}

std::optional<PublishSettings> MonitorWindow::PublishingChosen() {
    std::string error;
    const auto target = ParseMqttUrl(EditPublishUrl->text().trimmed().toStdString(), &error);
    if (!target) {
        Refuse("Publish to MQTT: " + error);
        EditPublishUrl->setFocus();
        return std::nullopt;
    }
    PublishSettings settings;
    settings.target = *target;
    settings.qos = ComboQos->currentIndex();
    settings.buffer_seconds = publish_buffer_seconds_;
    if (target->tls) settings.cafile = publish_cafile_;
    settings.password = EditPassword->text().toStdString();
    if (!settings.password.empty() && target->user.empty()) {
        Refuse("a password needs a user name: mqtt://USER@HOST/PREFIX");
        EditPublishUrl->setFocus();
        return std::nullopt;
    }
    if (settings.password.empty()) settings.password = EnvironmentMqttPassword();
    return settings;
}

bool MonitorWindow::StartPublishing() {
    if (!CheckPublish->isChecked()) return true;
    const auto settings = PublishingChosen();
    if (!settings) return false;
    publishing_ = std::make_unique<GroupPublishing>(*group_, *settings);
    publish_status_.clear();
    publish_outage_.clear();
    connect(TimerFrame, &QTimer::timeout, this, &MonitorWindow::ShowPublishing,
            Qt::UniqueConnection);
    return true;
}

void MonitorWindow::ShowPublishing() {
    if (!publishing_) return;
    const QString url = QString::fromStdString(publishing_->Settings().target.Text());
    for (const PublishEvent& e : publishing_->TakeEvents()) {
        if (e.kind == PublishEvent::Kind::Unreachable)
            publish_outage_ = QString("Broker unreachable: %1; %2 batches queued.")
                                  .arg(QString::fromStdString(e.reason))
                                  .arg(e.batches);
        else
            publish_outage_ = QString("Broker back after %1 s; %2 batches sent.")
                                  .arg(e.outage_seconds, 0, 'f', 1)
                                  .arg(e.batches);
    }
    QString sentence;
    if (publishing_->Unreachable())
        sentence = publish_outage_;
    else if (publishing_->Connected() == 0)
        sentence = "Connecting to " + url + "…";
    else
        sentence = (publish_outage_.startsWith("Broker back") ? publish_outage_ + " " : QString()) +
                   "Publishing to " + url + ".";
    QString text = LabelStatus->text();
    if (!publish_status_.isEmpty() && text.endsWith(" " + publish_status_))
        text.chop(publish_status_.size() + 1);
    if (sentence == publish_status_ && text + " " + sentence == LabelStatus->text()) return;
    publish_status_ = sentence;
    SetStatus(text + " " + sentence);
}

void MonitorWindow::EndPublishing() {
    if (!publishing_) return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const PublishEnding ending = publishing_->Finish();
    publishing_.reset();
    QApplication::restoreOverrideCursor();
    QString text = LabelStatus->text();
    if (!publish_status_.isEmpty() && text.endsWith(" " + publish_status_)) {
        text.chop(publish_status_.size() + 1);
        SetStatus(text);
    }
    publish_status_.clear();
    if (ending.refused) {
        SetStatus("Stopped: the broker refused the connection.");
        Refuse(Sentence(ending.text));
    } else {
        SetStatus(LabelStatus->text() + " " + QString::fromStdString(Sentence(ending.text)));
    }
}

}  // namespace mk27x
