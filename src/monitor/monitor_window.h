// The monitor window (mk27x-monitor): several sensors at once, as `mk27x
// monitor` runs them, for an operator at a screen.
//
//  - The sensors' table: name, port, rate, address, identity, state and the
//    live value. A sensor is added as NAME=PORT[@RATE][#ADDRESS] typed (a port
//    alone takes the next free letter as its name) or from a sensor search;
//    removed; all connected or disconnected at once.
//  - The channels: name = expression, the parser's refusal (message and
//    position) shown under the field while it is typed.
//  - The live chart (see MonitorChart) and large readouts of the series chosen
//    in its legend.
//  - Start and Stop of the group's run, recording its rows to a CSV file and
//    the statistics of every column.
//  - Publishing a run to an MQTT broker, as `mk27x monitor --publish` does
//    (GroupPublishing): the URL, the QoS and the password (typed into the
//    window and kept in memory only, or MK27X_MQTT_PASSWORD). A broker that
//    refuses the connection stops the run with its reason; the end of a run
//    tells the publisher's summary in the status line.
//  - A sensor that stops answering does not end the run (GroupRun): its state
//    reads "Lost, retrying" while it is asked again, and "Streaming" or
//    "Polled" once it is back; the status line tells each loss and return.
//
// The window is a front end: the group (src/group) connects, streams or polls,
// aligns and computes; the window builds a group from its table when
// connecting, attaches its sinks (the chart's, the CSV writer, the statistics)
// and pumps it on a timer at the screen's pace. Messages go through the
// MessageBox layer and file choices through the FileDialog layer.
//
// Threading: window thread only (the group's readers and pollers are its own).
#pragma once

#include <QString>
#include <QWidget>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "group/channel.h"
#include "group/group_run.h"
#include "group/group_sinks.h"
#include "group/sensor_group.h"
#include "group/sensor_spec.h"
#include "platform/clock.h"
#include "platform/file_dialog.h"
#include "platform/message_box.h"
#include "publish/group_publishing.h"
#include "session/sensor_search.h"
#include "transport/sensor_port.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTableWidget;
class QTimer;

namespace mk27x {

class MonitorChart;

inline constexpr const char* kMonitorTitle = "MK27x-SP Monitor";

// The columns of the sensors' table.
enum MonitorColumn {
    kColumnName,
    kColumnPort,
    kColumnRate,
    kColumnAddress,
    kColumnIdentity,
    kColumnState,
    kColumnValue,
    kMonitorColumns
};

// A sensor typed into the field: NAME=PORT[@RATE][#ADDRESS], or PORT[@RATE]
// [#ADDRESS] alone, which takes `free_name`. Nothing, and why, when refused.
std::optional<SensorSpec> ParseTypedSensor(const std::string& text, const std::string& free_name,
                                           std::string& error);

class MonitorWindow : public QWidget {
    Q_OBJECT
public:
    MonitorWindow(MessageBox& messages, FileDialog& files, Clock& clock, PortBackends backends,
                  SearchOpener search_opener, QWidget* parent = nullptr);
    ~MonitorWindow() override;

    // --- the table -----------------------------------------------------------
    // Adds a sensor; false with a message when refused (a name given twice, a
    // line shared at two rates or at one address, while connected).
    bool AddSensor(const SensorSpec& spec);
    std::vector<SensorSpec> Sensors() const { return specs_; }
    // --- the channels --------------------------------------------------------
    // Adds "NAME = EXPR"; false with a message when refused.
    bool AddChannel(const std::string& text);
    const std::vector<ChannelSpec>& Channels() const { return channels_; }
    // The refusal of the channel as typed now (empty: it would be taken).
    QString ChannelProblem(const QString& text) const;

    // --- the run -------------------------------------------------------------
    bool Connected() const { return group_ != nullptr; }
    bool Running() const { return group_ && group_->Running(); }
    bool Recording() const { return csv_ != nullptr; }
    SensorGroup* Group() { return group_.get(); }
    GroupRun* Run() { return run_.get(); }
    MonitorChart* Chart() { return chart_; }
    // Rows the window has taken from the group in this run.
    std::uint64_t RowsShown() const { return rows_shown_; }
    // The timer's work: hands the group's samples on, the chart redrawn, once a
    // second the lost-sensor check and the files' flush. Public for tests.
    void Tick();

    // --- publishing ----------------------------------------------------------
    // Chooses publishing with `settings` (from the command line): the URL, the
    // QoS and the password into the fields, the CA file and the queue's bound
    // kept for the runs.
    void SetPublishing(const PublishSettings& settings);
    // The settings of the fields; nothing, with a message, when they are not
    // usable. The password: the field's, or MK27X_MQTT_PASSWORD when empty.
    std::optional<PublishSettings> PublishingChosen();
    // The publishing of the run going now, if any.
    GroupPublishing* Publishing() { return publishing_.get(); }

    // The ports the search tries quickly beside those of the table.
    std::vector<std::string> search_ports{"COM1", "COM2", "COM3", "COM4", "USB"};

    QTableWidget* TableSensors;
    QLineEdit* EditSensor;
    QPushButton* ButtonAdd;
    QPushButton* ButtonSearch;
    QPushButton* ButtonRemove;
    QPushButton* ButtonConnect;
    QPushButton* ButtonDisconnect;
    QListWidget* ListChannels;
    QLineEdit* EditChannel;
    QLabel* LabelChannelError;
    QPushButton* ButtonAddChannel;
    QPushButton* ButtonRemoveChannel;
    QCheckBox* CheckPublish;
    QLineEdit* EditPublishUrl;
    QComboBox* ComboQos;
    QLineEdit* EditPassword;
    QPushButton* ButtonStart;
    QPushButton* ButtonStop;
    QPushButton* ButtonRecord;
    QPushButton* ButtonStatistics;
    QWidget* Readouts;
    QLabel* LabelStatus;
    QTimer* TimerFrame;

    // The slots of the controls.
    void ButtonAddClick();
    void ButtonSearchClick();
    void ButtonRemoveClick();
    void ButtonConnectClick();
    void ButtonDisconnectClick();
    void ButtonAddChannelClick();
    void ButtonRemoveChannelClick();
    void ButtonStartClick();
    void ButtonStopClick();
    void ButtonRecordClick();
    void ButtonStatisticsClick();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    class ChartFeed;

    void BuildLayout();
    QHBoxLayout* BuildPublishRow();
    void BuildTabOrder();
    void UpdateControls();
    void UpdateTable();
    void UpdateReadouts();
    void RebuildReadouts();
    void ShowChannelProblem();
    void SetStatus(const QString& text);
    std::string FreeName() const;
    QString StateText(std::size_t sensor) const;
    // The last value of a sensor or channel by its name ("-" when empty or
    // not charted).
    QString LastValueText(const QString& name) const;
    void TellEvents();
    void Refuse(const std::string& text);
    // Every channel compiled over the table's sensors; the first refused one is
    // shown and nothing is returned.
    std::optional<std::vector<std::unique_ptr<Channel>>> CompileChannels();
    void StopRun();
    void EndRecording();
    // Attaches the publisher when publishing is chosen; false when the fields
    // are not usable (said).
    bool StartPublishing();
    // The publisher's end: its summary in the status line, or the broker's
    // refusal in a message.
    void EndPublishing();
    // The broker's state at the status line's end, as it changes (each frame).
    void ShowPublishing();

    MessageBox& messages_;
    FileDialog& files_;
    Clock& clock_;
    PortBackends backends_;
    SearchOpener search_opener_;
    std::vector<SensorSpec> specs_;
    std::vector<ChannelSpec> channels_;
    std::vector<ConnectOutcome> outcomes_;

    MonitorChart* chart_;
    std::vector<QLabel*> readout_values_;
    std::vector<int> readout_series_;
    std::unique_ptr<ChartFeed> feed_;
    std::unique_ptr<GroupStatistics> statistics_;
    std::unique_ptr<GroupCsvWriter> csv_;
    std::string csv_path_;
    std::string publish_cafile_;
    double publish_buffer_seconds_ = PublishSettings{}.buffer_seconds;
    // The sentence ShowPublishing put at the status line's end, and the last
    // outage told.
    QString publish_status_;
    QString publish_outage_;
    // Declared late: its sessions go first, before the sinks they feed.
    std::unique_ptr<SensorGroup> group_;
    std::unique_ptr<GroupRun> run_;
    // After the group: it detaches from the group as it goes.
    std::unique_ptr<GroupPublishing> publishing_;
    std::uint64_t rows_shown_ = 0;
    std::chrono::steady_clock::time_point next_values_;
};

// The rows to the chart, on the seconds of the run.
class MonitorWindow::ChartFeed final : public GroupSink {
public:
    explicit ChartFeed(MonitorWindow& window) : window_(window) {}
    void Begin(const std::vector<std::string>& columns) override;
    void Add(std::span<const GroupRow> rows) override;

private:
    MonitorWindow& window_;
    bool have_origin_ = false;
    std::int64_t origin_ns_ = 0;
};

}  // namespace mk27x
