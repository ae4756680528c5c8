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

#include "link/sample_file.h"
#include "monitor/monitor_chart.h"
#include "monitor/monitor_window.h"
#include "session/texts.h"

namespace mk27x {
namespace {

QString ValueText(double value) {
    return IsEmptyValue(value) ? QStringLiteral("-") : QString::number(value, 'f', 3);
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
    auto group =
        std::make_unique<SensorGroup>(messages_, clock_, backends_, specs_, std::move(*channels));
    SetStatus("Connecting…");
    QApplication::setOverrideCursor(Qt::WaitCursor);
    outcomes_ = group->Connect();
    QApplication::restoreOverrideCursor();
    lost_.assign(specs_.size(), false);
    const bool all = std::all_of(outcomes_.begin(), outcomes_.end(),
                                 [](ConnectOutcome o) { return o == ConnectOutcome::Connected; });
    if (all) {
        group_ = std::move(group);
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
    lost_.assign(specs_.size(), false);
    group_->Start();
    next_second_ = clock_.Now() + std::chrono::seconds(1);
    next_values_ = clock_.Now();
    TimerFrame->start();
    QStringList modes;
    for (std::size_t i = 0; i < group_->Size(); ++i)
        modes << QString::fromStdString(group_->Spec(i).name) +
                     (group_->Mode(i) == SensorMode::Stream ? " streams" : " is polled");
    SetStatus("Running: " + modes.join(", ") + "." +
              (publishing_ ? QString::fromStdString(" Publishing to " +
                                                    publishing_->Settings().target.Text() + ".")
                           : QString()));
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
        group_->Stop();
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
    options.filter = "CSV files (*.csv)|*.csv|All files|*.*";
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
        const OperatorMessage m = SampleFileErrorMessage(*path);
        messages_.Show(m.text, m.caption, m.flags);
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
        const OperatorMessage m = SampleFileErrorMessage(csv_path_);
        messages_.Show(m.text, m.caption, m.flags);
    } else {
        SetStatus(QString::fromStdString(csv_path_) + QString(": %1 rows.").arg(rows));
    }
}

void MonitorWindow::ButtonStatisticsClick() {
    if (!statistics_) return;
    std::string text = statistics_->Text();
    while (!text.empty() && text.back() == '\n') text.pop_back();
    std::replace(text.begin(), text.end(), '\n', '\r');
    messages_.Show(text.empty() ? "No rows yet." : text, "Statistics", MB_OK);
}

void MonitorWindow::Tick() {
    if (!group_ || !group_->Running()) {
        TimerFrame->stop();
        return;
    }
    if (publishing_ && publishing_->Refused()) {
        // The run ends with the broker's reason (a modal message).
        TimerFrame->stop();
        StopRun();
        UpdateTable();
        UpdateControls();
        return;
    }
    group_->Pump();
    const auto now = clock_.Now();
    if (now >= next_second_) {
        next_second_ = now + std::chrono::seconds(1);
        const int lost = group_->LostSensor();
        if (lost >= 0) {
            // Its message is modal: nothing more happens on the timer meanwhile.
            TimerFrame->stop();
            lost_[static_cast<std::size_t>(lost)] = true;
            group_->EndLost(static_cast<std::size_t>(lost));
            StopRun();
            UpdateTable();
            UpdateControls();
            return;
        }
        group_->Flush();
        if (csv_) csv_->Flush();
        // A file that can no longer be written ends its recording, not the run.
        if (csv_ && !csv_->Ok()) {
            EndRecording();
            UpdateControls();
        }
    }
    chart_->Redraw();
    // The figures change ten times a second: faster, nobody reads them.
    if (now >= next_values_) {
        next_values_ = now + std::chrono::milliseconds(100);
        UpdateTable();
        UpdateReadouts();
    }
}

QString MonitorWindow::StateText(std::size_t sensor) const {
    if (sensor < lost_.size() && lost_[sensor]) return "No answer";
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
        if (!group_->Running()) return "Connected";
        return group_->Mode(sensor) == SensorMode::Stream ? "Streaming" : "Polled";
    }
    return "Not connected";
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
    const TraceBuffer& trace = chart_->Trace();
    for (int r = 0; r < rows; ++r) {
        const auto i = static_cast<std::size_t>(r);
        const SensorSpec& s = specs_[i];
        set(r, kColumnName, QString::fromStdString(s.name));
        set(r, kColumnPort, QString::fromStdString(s.port));
        set(r, kColumnRate, QString::number(s.baud));
        set(r, kColumnAddress, QString::number(s.address));
        set(r, kColumnIdentity, group_ ? IdentityText(group_->Session(i).Identity()) : QString());
        const QString details = group_ ? IdentityDetails(group_->Session(i).Identity()) : QString();
        if (TableSensors->item(r, kColumnIdentity)->toolTip() != details)
            TableSensors->item(r, kColumnIdentity)->setToolTip(details);
        set(r, kColumnState, StateText(i));
        set(r, kColumnValue, group_ && i < trace.Columns() ? ValueText(trace.Last(i)) : QString());
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
        value->setMinimumWidth(value->fontMetrics().horizontalAdvance("-00000.000"));
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
