// The monitor window's run: connecting the group built from the table,
// starting and stopping it, the rows to the chart, the readouts, the CSV and
// the statistics.
#include <QApplication>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "monitor/monitor_chart.h"
#include "monitor/monitor_window.h"
#include "recording/sample_file.h"

namespace mk27x {
namespace {

QString ValueText(double value) {
    return IsEmptyValue(value) ? QStringLiteral("-") : QString::number(value, 'f', 3) + " mm";
}

QString IdentityText(const SensorIdentity& id) {
    return QString("serial number %1, model %2").arg(id.SerialNumber).arg(id.Model);
}

QString IdentityDetails(const SensorIdentity& id) {
    return QString("model %1, release %2, serial number %3, base %4 mm, range %5 mm")
        .arg(id.Model)
        .arg(id.Release)
        .arg(id.SerialNumber)
        .arg(id.BaseDistance)
        .arg(id.SignedRange());
}

}  // namespace

void MonitorWindow::ChartFeed::Begin(const std::vector<std::string>& columns) {
    QStringList names;
    std::vector<bool> readouts;
    const std::size_t sensors = window_.group_ ? window_.group_->Size() : columns.size();
    // The channels' readouts show by default; without channels, the sensors'.
    for (std::size_t i = 0; i < columns.size(); ++i) {
        names << QString::fromStdString(columns[i]);
        readouts.push_back(columns.size() == sensors || i >= sensors);
    }
    window_.chart_->SetSeries(names, readouts);
    have_origin_ = false;
}

void MonitorWindow::ChartFeed::Add(std::span<const GroupRow> rows) {
    for (const GroupRow& row : rows) {
        if (!have_origin_) {
            origin_ns_ = row.time.monotonic_ns;
            have_origin_ = true;
        }
        window_.chart_->Append(static_cast<double>(row.time.monotonic_ns - origin_ns_) / 1e9,
                               row.values);
    }
    window_.rows_shown_ += rows.size();
}

MonitorWindow::~MonitorWindow() {
    // The controls' signals leave the window before its widget part takes
    // them down: none may reach a handler of a window already destroyed.
    for (QObject* child : findChildren<QObject*>()) child->disconnect(this);
    StopRun();
    run_.reset();
    if (group_) {
        group_->Aligner().Detach(*feed_);
        if (statistics_) group_->Aligner().Detach(*statistics_);
    }
    group_.reset();
}

std::optional<std::vector<std::unique_ptr<Channel>>> MonitorWindow::CompileChannels() {
    std::vector<std::string> names;
    for (const SensorSpec& s : specs_) names.push_back(s.name);
    std::vector<std::unique_ptr<Channel>> compiled;
    for (const ChannelSpec& spec : channels_) {
        ChannelError error;
        auto channel = Channel::Compile(spec, names, error);
        if (!channel) {
            Refuse(ChannelErrorText(spec, error));
            return std::nullopt;
        }
        compiled.push_back(std::move(channel));
    }
    return compiled;
}

void MonitorWindow::ButtonConnectClick() {
    if (group_) return;
    if (const std::string problem = CheckGroup(specs_); !problem.empty()) {
        Refuse(problem);
        return;
    }
    auto channels = CompileChannels();
    if (!channels) return;
    auto group = std::make_unique<SensorGroup>(clock_, backends_, specs_, std::move(*channels));
    SetStatus("Connecting…");
    QApplication::setOverrideCursor(Qt::WaitCursor);
    outcomes_.clear();
    const std::vector<ConnectResult> results = group->Connect();
    QApplication::restoreOverrideCursor();
    for (std::size_t i = 0; i < results.size(); ++i) {
        outcomes_.push_back(results[i].outcome);
        if (const std::string text = ConnectFailureText(results[i]); !text.empty())
            messages_.Show(specs_[i].name + ": " + text, kMonitorTitle, MB_OK | MB_ICONSTOP);
    }
    const bool all = std::all_of(outcomes_.begin(), outcomes_.end(),
                                 [](ConnectOutcome o) { return o == ConnectOutcome::Connected; });
    if (all) {
        group_ = std::move(group);
        run_ = std::make_unique<GroupRun>(*group_, clock_);
        if (!feed_) feed_ = std::make_unique<ChartFeed>(*this);
        group_->Aligner().Attach(*feed_);
        SetStatus("Connected.");
    } else {
        // The group runs whole or not at all: the sensors that answered are
        // closed again, the table says which did not.
        SetStatus("Not connected: a sensor did not answer.");
    }
    UpdateTable();
    UpdateControls();
}

void MonitorWindow::ButtonDisconnectClick() {
    if (!group_) return;
    StopRun();
    run_.reset();
    group_->Aligner().Detach(*feed_);
    if (statistics_) group_->Aligner().Detach(*statistics_);
    statistics_.reset();
    group_.reset();
    outcomes_.clear();
    SetStatus("Disconnected.");
    UpdateTable();
    UpdateControls();
}

void MonitorWindow::ButtonStartClick() {
    if (!group_ || Running()) return;
    auto channels = CompileChannels();
    if (!channels) return;
    group_->SetChannels(std::move(*channels));
    if (statistics_) group_->Aligner().Detach(*statistics_);
    statistics_ = std::make_unique<GroupStatistics>();
    group_->Aligner().Attach(*statistics_);
    if (!StartPublishing()) {
        UpdateControls();
        return;
    }
    rows_shown_ = 0;
    run_->SetHook(publishing_.get());
    run_->Start();
    next_values_ = clock_.Now();
    TimerFrame->start();
    QStringList modes;
    for (std::size_t i = 0; i < group_->Size(); ++i)
        modes << QString::fromStdString(group_->Spec(i).name) +
                     (group_->Mode(i) == SensorMode::Stream ? " streams" : " is polled");
    SetStatus("Running: " + modes.join(", ") + ".");
    ShowPublishing();
    UpdateTable();
    UpdateControls();
}

void MonitorWindow::ButtonStopClick() {
    StopRun();
    UpdateTable();
    UpdateControls();
}

void MonitorWindow::StopRun() {
    if (!group_) return;
    TimerFrame->stop();
    if (group_->Running()) {
        run_->Stop();
        run_->SetHook(nullptr);
        TellEvents();
        // Whatever stopped the run, the status line no longer says it runs.
        SetStatus(QString("Stopped after %1 rows.").arg(rows_shown_));
    }
    EndRecording();
    EndPublishing();
    chart_->Redraw(true);
    UpdateReadouts();
}

void MonitorWindow::ButtonRecordClick() {
    if (csv_) {
        EndRecording();
        UpdateControls();
        return;
    }
    if (!group_) return;
    FileDialogOptions options;
    options.filter = "CSV files|*.csv|All files|*";
    options.default_extension = "csv";
    options.file_name = "monitor.csv";
    options.title = "Record to CSV";
    options.confirm_overwrite = true;
    const auto path = files_.Save(options);
    if (!path) return;
    // Recording starts the run when it is not going yet: the file then holds
    // every row of it.
    if (!Running()) {
        ButtonStartClick();
        if (!Running()) return;
    }
    auto csv = std::make_unique<GroupCsvWriter>(*path, group_->Columns());
    if (!csv->Ok()) {
        messages_.Show("Cannot write file " + *path + ".", kMonitorTitle, MB_OK | MB_ICONSTOP);
        UpdateControls();
        return;
    }
    csv_ = std::move(csv);
    csv_path_ = *path;
    group_->Aligner().Attach(*csv_);
    SetStatus(QString::fromStdString("Recording to " + csv_path_ + "."));
    UpdateControls();
}

void MonitorWindow::EndRecording() {
    if (!csv_) return;
    if (group_) group_->Aligner().Detach(*csv_);
    const bool ok = csv_->Close().Ok();
    const std::uint64_t rows = csv_->Rows();
    csv_.reset();
    if (!ok) {
        messages_.Show("Cannot write file " + csv_path_ + ".", kMonitorTitle, MB_OK | MB_ICONSTOP);
    } else {
        SetStatus(QString::fromStdString(csv_path_) + QString(": %1 rows.").arg(rows));
    }
}

void MonitorWindow::ButtonStatisticsClick() {
    if (!statistics_) return;
    std::string text = statistics_->Text();
    for (std::size_t i = 0; group_ && i < group_->Size(); ++i) {
        const SensorStatus status = run_->Status(i);
        if (status.losses == 0) continue;
        text += group_->Spec(i).name + ": " + std::to_string(status.losses) +
                (status.losses == 1 ? " loss, " : " losses, ") +
                QString::number(status.seconds_lost, 'f', 1).toStdString() + " s lost\n";
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::replace(text.begin(), text.end(), '\n', '\r');
    messages_.Show(text.empty() ? "No rows yet." : text, "Statistics", MB_OK);
}

void MonitorWindow::Tick() {
    if (!group_ || !group_->Running()) {
        TimerFrame->stop();
        return;
    }
    if (run_->Tick() == GroupRun::Step::Ended) {
        // The broker refused: the run ends with its reason.
        StopRun();
        UpdateTable();
        UpdateControls();
        return;
    }
    TellEvents();
    // A file that can no longer be written ends its recording, not the run.
    if (csv_ && !csv_->Ok()) {
        EndRecording();
        UpdateControls();
    }
    chart_->Redraw();
    // The figures change ten times a second: faster, nobody reads them.
    if (const auto now = clock_.Now(); now >= next_values_) {
        next_values_ = now + std::chrono::milliseconds(100);
        UpdateTable();
        UpdateReadouts();
    }
}

void MonitorWindow::TellEvents() {
    for (const GroupEvent& e : run_->TakeEvents()) {
        const QString name = QString::fromStdString(group_->Spec(e.sensor).name);
        switch (e.kind) {
            case GroupEvent::Kind::Lost:
                SetStatus(name + ": No answer; retrying.");
                break;
            case GroupEvent::Kind::Back:
                SetStatus(name + QString(": back after %1 s.").arg(e.lost_s, 0, 'f', 1));
                break;
            case GroupEvent::Kind::WrongSensor:
                SetStatus(name +
                          QString(": serial %1 found, %2 expected.").arg(e.found).arg(e.expected));
                break;
        }
        UpdateTable();
    }
}

QString MonitorWindow::StateText(std::size_t sensor) const {
    if (sensor < outcomes_.size()) {
        switch (outcomes_[sensor]) {
            case ConnectOutcome::PortNotOpened:
                return "Port not opened";
            case ConnectOutcome::OpenedOnly:
                return "Opened";
            case ConnectOutcome::NotIdentified:
                return "No answer";
            case ConnectOutcome::ReadFailed:
                return "Read failed";
            case ConnectOutcome::Connected:
                break;
        }
        if (!group_) return "Answered";
        const SensorStatus status = run_->Status(sensor);
        switch (status.state) {
            case SensorState::Idle:
                return "Connected";
            case SensorState::Streaming:
                return "Streaming";
            case SensorState::Polled:
                return "Polled";
            case SensorState::Lost:
                if (!group_->Running()) return "No answer";
                return status.wrong_serial != 0
                           ? QString("Lost, retrying (serial %1 found)").arg(status.wrong_serial)
                           : QString("Lost, retrying");
        }
    }
    return "Not connected";
}

QString MonitorWindow::LastValueText(const QString& name) const {
    const qsizetype column = chart_->SeriesNames().indexOf(name);
    if (column < 0 || static_cast<std::size_t>(column) >= chart_->Trace().Columns()) return {};
    return ValueText(chart_->Trace().Last(static_cast<std::size_t>(column)));
}

void MonitorWindow::UpdateTable() {
    const int rows = static_cast<int>(specs_.size());
    if (TableSensors->rowCount() != rows) TableSensors->setRowCount(rows);
    auto set = [this](int row, int column, const QString& text) {
        QTableWidgetItem* item = TableSensors->item(row, column);
        if (!item) {
            item = new QTableWidgetItem;
            TableSensors->setItem(row, column, item);
        }
        if (item->text() != text) item->setText(text);
    };
    for (int r = 0; r < rows; ++r) {
        const auto i = static_cast<std::size_t>(r);
        const SensorSpec& s = specs_[i];
        set(r, kColumnName, QString::fromStdString(s.name));
        set(r, kColumnPort, QString::fromStdString(s.port));
        set(r, kColumnRate, QString::number(s.baud));
        set(r, kColumnAddress, QString::number(s.address));
        set(r, kColumnIdentity, group_ ? IdentityText(group_->Identity(i)) : QString());
        const QString details = group_ ? IdentityDetails(group_->Identity(i)) : QString();
        if (TableSensors->item(r, kColumnIdentity)->toolTip() != details)
            TableSensors->item(r, kColumnIdentity)->setToolTip(details);
        set(r, kColumnState, StateText(i));
        // By name: the chart's columns are those of the last run, whatever the
        // table holds now.
        set(r, kColumnValue, LastValueText(QString::fromStdString(s.name)));
    }
}

void MonitorWindow::RebuildReadouts() {
    QLayout* layout = Readouts->layout();
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    readout_values_.clear();
    readout_series_.clear();
    const QStringList& names = chart_->SeriesNames();
    for (int i = 0; i < names.size(); ++i) {
        if (!chart_->SeriesReadout(i)) continue;
        auto* box = new QFrame(Readouts);
        box->setFrameShape(QFrame::StyledPanel);
        auto* column = new QVBoxLayout(box);
        auto* name = new QLabel(names[i], box);
        auto* value = new QLabel("-", box);
        value->setObjectName("Readout_" + names[i]);
        QFont font = value->font();
        font.setPointSize(28);
        font.setBold(true);
        value->setFont(font);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value->setMinimumWidth(value->fontMetrics().horizontalAdvance("-00000.000 mm"));
        column->addWidget(name);
        column->addWidget(value);
        layout->addWidget(box);
        readout_values_.push_back(value);
        readout_series_.push_back(i);
    }
    static_cast<QHBoxLayout*>(layout)->addStretch();
    UpdateReadouts();
}

void MonitorWindow::UpdateReadouts() {
    const TraceBuffer& trace = chart_->Trace();
    for (std::size_t k = 0; k < readout_values_.size(); ++k) {
        const QString text = ValueText(trace.Last(static_cast<std::size_t>(readout_series_[k])));
        if (readout_values_[k]->text() != text) readout_values_[k]->setText(text);
    }
}

}  // namespace mk27x
