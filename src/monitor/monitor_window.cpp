// The monitor window: its layout, the sensors' table and the channels' list.
#include "monitor/monitor_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "monitor/monitor_chart.h"
#include "ui/search_dialog.h"

namespace mk27x {

std::optional<SensorSpec> ParseTypedSensor(const std::string& text, const std::string& free_name,
                                           std::string& error) {
    std::string trimmed = text;
    trimmed.erase(0, trimmed.find_first_not_of(" \t"));
    trimmed.erase(trimmed.find_last_not_of(" \t") + 1);
    if (trimmed.empty()) {
        error = "type a sensor as NAME=PORT[@RATE][#ADDRESS] or a port";
        return std::nullopt;
    }
    // A port alone (network ports have no '=') takes the next free name.
    const std::string spec_text =
        trimmed.find('=') == std::string::npos ? free_name + "=" + trimmed : trimmed;
    auto spec = ParseSensorSpec(spec_text, error);
    return spec;
}

MonitorWindow::MonitorWindow(MessageBox& messages, FileDialog& files, Clock& clock,
                             PortBackends backends, SearchOpener search_opener, QWidget* parent)
    : QWidget(parent),
      messages_(messages),
      files_(files),
      clock_(clock),
      backends_(std::move(backends)),
      search_opener_(std::move(search_opener)) {
    setWindowTitle(kMonitorTitle);
    BuildLayout();
    BuildTabOrder();
    UpdateTable();
    UpdateControls();
    ShowChannelProblem();
}

void MonitorWindow::BuildLayout() {
    // --- the sensors ------------------------------------------------------------
    TableSensors = new QTableWidget(0, kMonitorColumns, this);
    TableSensors->setObjectName("TableSensors");
    TableSensors->setHorizontalHeaderLabels(
        {"Name", "Port", "Rate", "Address", "Identity", "State", "Value"});
    TableSensors->setEditTriggers(QAbstractItemView::NoEditTriggers);
    TableSensors->setSelectionBehavior(QAbstractItemView::SelectRows);
    TableSensors->setSelectionMode(QAbstractItemView::SingleSelection);
    TableSensors->setTabKeyNavigation(false);
    TableSensors->verticalHeader()->hide();
    TableSensors->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    TableSensors->horizontalHeader()->setSectionResizeMode(kColumnIdentity, QHeaderView::Stretch);
    TableSensors->horizontalHeader()->setMinimumSectionSize(60);
    TableSensors->setMinimumHeight(120);
    // The focus shows: a frame in the highlight colour around the list that has it.
    const QString focus_frame = "%1:focus { border: 2px solid palette(highlight); }";
    EditSensor = new QLineEdit(this);
    EditSensor->setObjectName("EditSensor");
    EditSensor->setPlaceholderText("A=/dev/ttyUSB0@921600#1");
    EditSensor->setToolTip("NAME=PORT[@RATE][#ADDRESS], or a port alone");
    auto* sensor_label = new QLabel("&Sensor:", this);
    sensor_label->setBuddy(EditSensor);
    ButtonAdd = new QPushButton("&Add", this);
    ButtonSearch = new QPushButton("Searc&h…", this);
    ButtonRemove = new QPushButton("&Remove", this);
    ButtonConnect = new QPushButton("&Connect all", this);
    ButtonDisconnect = new QPushButton("&Disconnect all", this);

    auto* sensors_box = new QGroupBox("Sensors", this);
    auto* sensors_layout = new QVBoxLayout(sensors_box);
    sensors_layout->addWidget(TableSensors, 1);
    auto* add_row = new QHBoxLayout;
    add_row->addWidget(sensor_label);
    add_row->addWidget(EditSensor, 1);
    add_row->addWidget(ButtonAdd);
    add_row->addWidget(ButtonSearch);
    add_row->addWidget(ButtonRemove);
    sensors_layout->addLayout(add_row);
    auto* connect_row = new QHBoxLayout;
    connect_row->addWidget(ButtonConnect);
    connect_row->addWidget(ButtonDisconnect);
    connect_row->addStretch();
    sensors_layout->addLayout(connect_row);

    // --- the channels -------------------------------------------------------------
    ListChannels = new QListWidget(this);
    ListChannels->setObjectName("ListChannels");
    TableSensors->setStyleSheet(focus_frame.arg("QTableWidget"));
    ListChannels->setStyleSheet(focus_frame.arg("QListWidget"));
    EditChannel = new QLineEdit(this);
    EditChannel->setObjectName("EditChannel");
    EditChannel->setPlaceholderText("thickness = 120 - A - B");
    auto* channel_label = new QLabel("Cha&nnel:", this);
    channel_label->setBuddy(EditChannel);
    LabelChannelError = new QLabel(this);
    LabelChannelError->setObjectName("LabelChannelError");
    // Monospaced, so that the caret stands under the character it points at;
    // three lines high always and free in width, so that a refusal coming and
    // going does not move the panes.
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setStyleHint(QFont::Monospace);
    fixed.setFixedPitch(true);
    LabelChannelError->setFont(fixed);
    LabelChannelError->setStyleSheet("color: #b00000");
    LabelChannelError->setTextFormat(Qt::PlainText);
    LabelChannelError->setWordWrap(false);
    LabelChannelError->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    LabelChannelError->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    LabelChannelError->setFixedHeight(QFontMetrics(fixed).lineSpacing() * 3 + 4);
    ButtonAddChannel = new QPushButton("Add channe&l", this);
    ButtonRemoveChannel = new QPushButton("Remo&ve channel", this);

    auto* channels_box = new QGroupBox("Channels", this);
    auto* channels_layout = new QVBoxLayout(channels_box);
    channels_layout->addWidget(ListChannels, 1);
    auto* channel_row = new QHBoxLayout;
    channel_row->addWidget(channel_label);
    channel_row->addWidget(EditChannel, 1);
    channel_row->addWidget(ButtonAddChannel);
    channels_layout->addLayout(channel_row);
    channels_layout->addWidget(LabelChannelError);
    auto* remove_row = new QHBoxLayout;
    remove_row->addStretch();
    remove_row->addWidget(ButtonRemoveChannel);
    channels_layout->addLayout(remove_row);

    // --- the run --------------------------------------------------------------------
    ButtonStart = new QPushButton("S&tart", this);
    ButtonStart->setToolTip("Start (F5)");
    ButtonStop = new QPushButton("Sto&p", this);
    ButtonStop->setToolTip("Stop (Shift+F5)");
    ButtonRecord = new QPushButton("Rec&ord CSV…", this);
    ButtonStatistics = new QPushButton("Stat&istics", this);
    auto* run_row = new QHBoxLayout;
    for (QPushButton* b : {ButtonStart, ButtonStop, ButtonRecord, ButtonStatistics})
        run_row->addWidget(b);
    run_row->addStretch();

    Readouts = new QWidget(this);
    Readouts->setObjectName("Readouts");
    new QHBoxLayout(Readouts);
    Readouts->layout()->setContentsMargins(0, 0, 0, 0);

    chart_ = new MonitorChart(this);
    LabelStatus = new QLabel(this);
    LabelStatus->setObjectName("LabelStatus");

    QHBoxLayout* publish_row = BuildPublishRow();

    auto* top = new QHBoxLayout;
    top->addWidget(sensors_box, 3);
    top->addWidget(channels_box, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(publish_row);
    layout->addLayout(run_row);
    layout->addWidget(Readouts);
    layout->addWidget(chart_, 1);
    layout->addWidget(LabelStatus);
    resize(1100, 760);

    TimerFrame = new QTimer(this);
    // About the screen's refresh: each tick takes what came and redraws.
    TimerFrame->setInterval(16);
    TimerFrame->setTimerType(Qt::PreciseTimer);
    connect(TimerFrame, &QTimer::timeout, this, &MonitorWindow::Tick);

    connect(ButtonAdd, &QPushButton::clicked, this, &MonitorWindow::ButtonAddClick);
    connect(EditSensor, &QLineEdit::returnPressed, this, &MonitorWindow::ButtonAddClick);
    connect(ButtonSearch, &QPushButton::clicked, this, &MonitorWindow::ButtonSearchClick);
    connect(ButtonRemove, &QPushButton::clicked, this, &MonitorWindow::ButtonRemoveClick);
    connect(ButtonConnect, &QPushButton::clicked, this, &MonitorWindow::ButtonConnectClick);
    connect(ButtonDisconnect, &QPushButton::clicked, this, &MonitorWindow::ButtonDisconnectClick);
    connect(ButtonAddChannel, &QPushButton::clicked, this, &MonitorWindow::ButtonAddChannelClick);
    connect(EditChannel, &QLineEdit::returnPressed, this, &MonitorWindow::ButtonAddChannelClick);
    connect(EditChannel, &QLineEdit::textChanged, this, &MonitorWindow::ShowChannelProblem);
    connect(ButtonRemoveChannel, &QPushButton::clicked, this,
            &MonitorWindow::ButtonRemoveChannelClick);
    connect(ButtonStart, &QPushButton::clicked, this, &MonitorWindow::ButtonStartClick);
    connect(ButtonStop, &QPushButton::clicked, this, &MonitorWindow::ButtonStopClick);
    connect(ButtonRecord, &QPushButton::clicked, this, &MonitorWindow::ButtonRecordClick);
    connect(ButtonStatistics, &QPushButton::clicked, this, &MonitorWindow::ButtonStatisticsClick);
    connect(chart_, &MonitorChart::ReadoutsChanged, this, &MonitorWindow::RebuildReadouts);
    connect(TableSensors, &QTableWidget::itemSelectionChanged, this,
            &MonitorWindow::UpdateControls);
    connect(ListChannels, &QListWidget::itemSelectionChanged, this, &MonitorWindow::UpdateControls);

    auto shortcut = [this](const QKeySequence& keys, QWidget* scope, auto handler) {
        auto* s = new QShortcut(keys, scope);
        if (scope != this) s->setContext(Qt::WidgetShortcut);
        connect(s, &QShortcut::activated, this, handler);
    };
    shortcut(QKeySequence(Qt::Key_F5), this, [this] {
        if (ButtonStart->isEnabled()) ButtonStartClick();
    });
    shortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5), this, [this] {
        if (ButtonStop->isEnabled()) ButtonStopClick();
    });
    shortcut(QKeySequence::Quit, this, [this] { close(); });
    shortcut(QKeySequence::Delete, TableSensors, [this] {
        if (ButtonRemove->isEnabled()) ButtonRemoveClick();
    });
    shortcut(QKeySequence::Delete, ListChannels, [this] {
        if (ButtonRemoveChannel->isEnabled()) ButtonRemoveChannelClick();
    });
}

void MonitorWindow::BuildTabOrder() {
    const QWidget* order[] = {
        EditSensor,       ButtonAdd,     ButtonSearch,        ButtonRemove,
        TableSensors,     ButtonConnect, ButtonDisconnect,    EditChannel,
        ButtonAddChannel, ListChannels,  ButtonRemoveChannel, CheckPublish,
        EditPublishUrl,   ComboQos,      EditPassword,        ButtonStart,
        ButtonStop,       ButtonRecord,  ButtonStatistics,    chart_->SpinSeconds};
    for (std::size_t i = 1; i < std::size(order); ++i)
        QWidget::setTabOrder(const_cast<QWidget*>(order[i - 1]), const_cast<QWidget*>(order[i]));
}

void MonitorWindow::closeEvent(QCloseEvent* event) {
    StopRun();
    event->accept();
}

std::string MonitorWindow::FreeName() const {
    for (char c = 'A'; c <= 'Z'; ++c) {
        const std::string name(1, c);
        const auto taken = [&](const auto& list) {
            return std::any_of(list.begin(), list.end(),
                               [&](const auto& item) { return item.name == name; });
        };
        if (!taken(specs_) && !taken(channels_)) return name;
    }
    return "S" + std::to_string(specs_.size() + 1);
}

void MonitorWindow::Refuse(const std::string& text) {
    messages_.Show(text, kMonitorTitle, MB_OK | MB_ICONEXCLAMATION);
}

bool MonitorWindow::AddSensor(const SensorSpec& spec) {
    if (group_) return false;
    std::vector<SensorSpec> specs = specs_;
    specs.push_back(spec);
    const std::string problem = CheckGroup(specs, channels_);
    if (!problem.empty()) {
        Refuse(problem);
        return false;
    }
    specs_ = std::move(specs);
    outcomes_.clear();
    UpdateTable();
    TableSensors->selectRow(static_cast<int>(specs_.size()) - 1);
    ShowChannelProblem();
    UpdateControls();
    return true;
}

void MonitorWindow::ButtonAddClick() {
    std::string error;
    const auto spec = ParseTypedSensor(EditSensor->text().toStdString(), FreeName(), error);
    if (!spec) {
        Refuse(error);
        EditSensor->setFocus();
        return;
    }
    if (AddSensor(*spec)) EditSensor->clear();
}

void MonitorWindow::ButtonSearchClick() {
    if (group_) return;
    SearchDialog dialog(clock_, search_opener_, this);
    std::vector<std::string> ports = search_ports;
    for (const SensorSpec& s : specs_)
        if (std::find(ports.begin(), ports.end(), s.port) == ports.end()) ports.push_back(s.port);
    const int row = TableSensors->currentRow();
    const std::string chosen = row >= 0 && row < static_cast<int>(specs_.size())
                                   ? specs_[static_cast<std::size_t>(row)].port
                                   : ports.front();
    dialog.SetPorts(ports, chosen);
    if (dialog.exec() != QDialog::Accepted) return;
    if (const auto found = dialog.Chosen())
        AddSensor({FreeName(), found->port, found->baud, found->address});
}

void MonitorWindow::ButtonRemoveClick() {
    const int row = TableSensors->currentRow();
    if (group_ || row < 0 || row >= static_cast<int>(specs_.size())) return;
    specs_.erase(specs_.begin() + row);
    outcomes_.clear();
    UpdateTable();
    if (!specs_.empty())
        TableSensors->selectRow(std::min(row, static_cast<int>(specs_.size()) - 1));
    ShowChannelProblem();
    UpdateControls();
}

QString MonitorWindow::ChannelProblem(const QString& text) const {
    std::string error;
    const auto spec = ParseChannelSpec(text.toStdString(), error);
    if (!spec) return QString::fromStdString(error);
    std::vector<ChannelSpec> channels = channels_;
    channels.push_back(*spec);
    if (const std::string problem = CheckGroupNames(specs_, channels); !problem.empty())
        return QString::fromStdString(problem);
    std::vector<std::string> names;
    for (const SensorSpec& s : specs_) names.push_back(s.name);
    ChannelError refusal;
    if (!Channel::Compile(*spec, names, refusal))
        return QString::fromStdString(ChannelErrorText(*spec, refusal));
    return {};
}

void MonitorWindow::ShowChannelProblem() {
    const QString text = EditChannel->text();
    const QString problem = text.trimmed().isEmpty() ? QString() : ChannelProblem(text);
    LabelChannelError->setText(problem);
    ButtonAddChannel->setEnabled(!Running() && !text.trimmed().isEmpty() && problem.isEmpty());
    // The listed channels again: a sensor removed may have broken one.
    std::vector<std::string> names;
    for (const SensorSpec& s : specs_) names.push_back(s.name);
    for (int i = 0; i < ListChannels->count() && i < static_cast<int>(channels_.size()); ++i) {
        ChannelError refusal;
        const ChannelSpec& spec = channels_[static_cast<std::size_t>(i)];
        const bool ok = Channel::Compile(spec, names, refusal) != nullptr;
        QListWidgetItem* item = ListChannels->item(i);
        item->setForeground(ok ? palette().text() : QBrush(QColor(176, 0, 0)));
        item->setToolTip(ok ? QString() : QString::fromStdString(ChannelErrorText(spec, refusal)));
    }
}

bool MonitorWindow::AddChannel(const std::string& text) {
    if (Running()) return false;
    const QString problem = ChannelProblem(QString::fromStdString(text));
    if (!problem.isEmpty()) {
        Refuse(problem.toStdString());
        return false;
    }
    std::string error;
    const ChannelSpec spec = *ParseChannelSpec(text, error);
    channels_.push_back(spec);
    ListChannels->addItem(QString::fromStdString(spec.name + " = " + spec.expression));
    ListChannels->setCurrentRow(ListChannels->count() - 1);
    ShowChannelProblem();
    UpdateControls();
    return true;
}

void MonitorWindow::ButtonAddChannelClick() {
    if (!ButtonAddChannel->isEnabled()) return;
    if (AddChannel(EditChannel->text().toStdString())) EditChannel->clear();
}

void MonitorWindow::ButtonRemoveChannelClick() {
    const int row = ListChannels->currentRow();
    if (Running() || row < 0 || row >= static_cast<int>(channels_.size())) return;
    channels_.erase(channels_.begin() + row);
    delete ListChannels->takeItem(row);
    ShowChannelProblem();
    UpdateControls();
}

void MonitorWindow::SetStatus(const QString& text) {
    LabelStatus->setText(text);
}

void MonitorWindow::UpdateControls() {
    const bool connected = group_ != nullptr;
    const bool running = Running();
    const bool sensor_chosen = TableSensors->currentRow() >= 0 && !specs_.empty();
    EditSensor->setEnabled(!connected);
    ButtonAdd->setEnabled(!connected);
    ButtonSearch->setEnabled(!connected);
    ButtonRemove->setEnabled(!connected && sensor_chosen);
    ButtonConnect->setEnabled(!connected && !specs_.empty());
    ButtonDisconnect->setEnabled(connected);
    ButtonAddChannel->setEnabled(!running && !EditChannel->text().trimmed().isEmpty() &&
                                 LabelChannelError->text().isEmpty());
    ButtonRemoveChannel->setEnabled(!running && ListChannels->currentRow() >= 0 &&
                                    !channels_.empty());
    // The publishing's choice is made for the next run.
    CheckPublish->setEnabled(!running);
    for (QWidget* field : {static_cast<QWidget*>(EditPublishUrl), static_cast<QWidget*>(ComboQos),
                           static_cast<QWidget*>(EditPassword)})
        field->setEnabled(!running && CheckPublish->isChecked());
    ButtonStart->setEnabled(connected && !running);
    ButtonStop->setEnabled(running);
    ButtonRecord->setEnabled(connected);
    ButtonRecord->setText(csv_ ? "Stop rec&ording" : "Rec&ord CSV…");
    ButtonStatistics->setEnabled(statistics_ != nullptr);
}

}  // namespace mk27x
