// LineService: a line's group of sensors kept running for weeks, for
// `mk27x serve` under systemd: the group's rows recorded to rolling files,
// published to MQTT, judged against their limits and handed to the network
// views (Modbus, HTTP) through a SnapshotBoard about ten times a second.
//
// The run loop is Tick(), called over and over by its one thread: it turns
// the group's run (GroupRun: the rows to the sinks, the live columns, the
// statistics, the recording, the publisher's channels; once a second the
// sinks flushed), logs what happened to the sensors, publishes the snapshot
// every 100 ms and at every change of a sensor's state and, once a second,
// takes the recording's events and refreshes the status. A sensor that stops
// answering, or cannot be opened at the start, is lost: logged ("B: No
// answer; retrying."), its values and those of the channels over it empty,
// its snapshot state Lost, and asked again once a second while everything else
// goes on; it rejoins with its serial number ("B: back after 3.2 s."), another
// sensor at its place is refused and logged. Only a broker that refuses the
// connection ends the run.
//
// The network views run threads of their own and read only what is made for
// them: Board() (the latest LineSnapshot, taken whole) and Status() (a copy,
// under a lock). A view of the Modbus kind comes from the LineViewFactory
// given at construction, so that the service does not depend on its library.
//
// Threading: construction, Start, Tick, NewRecordingFile, Stop and AttachRows
// from the run loop's thread; Board() and Status() from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "group/group_run.h"
#include "group/group_sinks.h"
#include "group/sensor_group.h"
#include "serve/line_snapshot.h"
#include "service/limits.h"
#include "service/notify.h"
#include "service/record_writer.h"
#include "service/rolling_recorder.h"
#include "service/service_config.h"
#include "transport/port_backends.h"

namespace mk27x {

class GroupPublishing;

// A network view of the line (Modbus, HTTP): serves from the snapshot board on
// threads of its own.
class LineView {
public:
    virtual ~LineView() = default;
    // Listens; empty when it serves, else the system's reason it cannot.
    virtual std::string Start() = 0;
    virtual void Stop() = 0;
    virtual int ClientCount() const = 0;
};
using LineViewFactory =
    std::function<std::unique_ptr<LineView>(SnapshotBoard& board, const ListenAddress& listen)>;

struct ServiceStatus {
    std::uint32_t uptime_s = 0;
    bool publishing = false;
    int mqtt_connected = 0;  // broker connections up
    bool mqtt_refused = false;
    std::string mqtt_refusal;
    std::uint64_t mqtt_queued = 0;  // batches waiting for the broker
    bool modbus = false;
    int modbus_clients = 0;
    std::optional<RecorderStatus> recording;
    // The sensors lost now, by name.
    std::vector<std::string> lost;
    // {"statistics": {column: statistics...}, "judgements": {column: counts...},
    //  "losses": {sensor: {"losses": N, "seconds_lost": S}...}}
    std::string statistics_json = "{}";
};

class LineService {
public:
    // `config` passed CheckServiceConfig. `wall_now`: UNIX time in ns (the
    // recording's keep by age). `simulate`, when given, points the sensors'
    // ports at virtual sensors before they are opened (false with a reason
    // when it cannot); what it starts outlives the service.
    using Simulate = std::function<bool(std::vector<SensorSpec>& specs, std::string& error)>;
    LineService(ServiceConfig config, ServiceLog& log, Clock& clock, PortBackends backends,
                Simulate simulate, LineViewFactory modbus = {},
                std::function<std::int64_t()> wall_now = {});
    ~LineService();
    LineService(const LineService&) = delete;
    LineService& operator=(const LineService&) = delete;

    // A further sink of the rows (live charts), called on the run loop's
    // thread; before Start.
    void AttachRows(GroupSink& sink);
    // Opens the recording folder, the sensors, the publisher and the views and
    // starts the rows; false, having said why, when the service cannot run. A
    // sensor that cannot be opened does not stop it: it is retried.
    bool Start();
    // One turn of the run loop (about 50 ms); false when the run must end (the
    // broker refused the connection).
    bool Tick();
    // SIGHUP: the recording's next row begins a new file.
    void NewRecordingFile();
    // The rows stopped, the files completed, publishing ended ("offline"), the
    // views stopped. Idempotent.
    void Stop();

    SnapshotBoard& Board() { return board_; }
    ServiceStatus Status() const;
    // A short line for systemd's STATUS.
    std::string Summary() const;

    // The recording files of a folder (name, size, time), oldest first.
    static std::vector<RecordFileInfo> RecordingFiles(const std::string& folder);

private:
    class LiveColumns;
    void PublishSnapshot();
    void RefreshStatus();
    // "A: serial number 1234, /dev/ttyUSB0 at 921600 baud, address 1, streaming".
    void SayIdentity(std::size_t sensor);

    ServiceConfig config_;
    ServiceLog& log_;
    Clock& clock_;
    PortBackends backends_;
    Simulate simulate_;
    LineViewFactory modbus_factory_;
    std::function<std::int64_t()> wall_now_;
    SnapshotBoard board_;
    Clock::TimePoint started_{};
    Clock::TimePoint next_snapshot_{};
    Clock::TimePoint next_second_{};
    std::uint64_t sequence_ = 0;

    GroupStatistics statistics_;
    std::unique_ptr<LiveColumns> live_;
    std::unique_ptr<DiskFolder> folder_;
    std::unique_ptr<RecordWriter> writer_;
    std::unique_ptr<RollingRecorder> recorder_;
    std::vector<GroupSink*> extra_sinks_;
    // Declared before the group, so that the sensors outlive its sessions.
    std::unique_ptr<SensorGroup> group_;
    std::unique_ptr<GroupPublishing> publishing_;
    std::unique_ptr<GroupRun> run_;
    // Whether each sensor's identity has been logged (it joins late when it
    // could not be opened at the start).
    std::vector<bool> identified_;
    std::unique_ptr<LineView> modbus_;
    bool stopped_ = false;

    mutable std::mutex status_mutex_;
    ServiceStatus status_;
};

}  // namespace mk27x
