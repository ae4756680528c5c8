#include "group/sensor_group.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace mk27x {
namespace {

// A polled sensor counts as lost after this many unanswered requests in a row.
constexpr int kLostAfterFailures = 3;

std::int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<std::string> Names(const std::vector<SensorSpec>& specs) {
    std::vector<std::string> names;
    for (const SensorSpec& s : specs) names.push_back(s.name);
    return names;
}

// Polled sensors are expected at the poll rate; streams are measured.
std::vector<double> PeriodHints(const std::vector<SensorSpec>& specs, double poll_rate_hz) {
    std::vector<double> hints(specs.size(), 0.0);
    for (const GroupLine& line : GroupLines(specs))
        if (line.sensors.size() > 1)
            for (const std::size_t i : line.sensors) hints[i] = 1.0 / poll_rate_hz;
    return hints;
}

}  // namespace

SensorGroup::SensorGroup(MessageBox& messages, Clock& clock, const PortBackends& backends,
                         std::vector<SensorSpec> sensors,
                         std::vector<std::unique_ptr<Channel>> channels, GroupOptions options)
    : options_(options),
      aligner_(Names(sensors), PeriodHints(sensors, options.poll_rate_hz), std::move(channels),
               options.aligner) {
    for (const SensorSpec& spec : sensors) {
        auto member = std::make_unique<Member>();
        member->spec = spec;
        member->messages = std::make_unique<SensorMessageBox>(messages, spec.name);
        members_.push_back(std::move(member));
    }
    for (const GroupLine& line : GroupLines(sensors)) {
        PortBackends line_backends = backends;
        if (line.sensors.size() > 1) {
            lines_.push_back(std::make_unique<SharedLine>(backends));
            line_backends = lines_.back()->Backends();
            pollers_.push_back(std::make_unique<Poller>());
            pollers_.back()->sensors = line.sensors;
        }
        for (const std::size_t i : line.sensors) {
            Member& m = *members_[i];
            m.mode = line.sensors.size() > 1 ? SensorMode::Poll : SensorMode::Stream;
            m.session = std::make_unique<SensorSession>(clock, line_backends);
            m.session->SetPortName(m.spec.port);
            m.session->SetBaudRate(m.spec.baud);
            m.session->SetAddress(m.spec.address);
        }
    }
}

SensorGroup::~SensorGroup() {
    Stop();
}

std::vector<ConnectResult> SensorGroup::Connect() {
    std::vector<ConnectResult> outcomes;
    for (auto& m : members_) outcomes.push_back(m->session->Connect());
    return outcomes;
}

bool SensorGroup::SetChannels(std::vector<std::unique_ptr<Channel>> channels) {
    if (running_) return false;
    aligner_.SetChannels(std::move(channels));
    return true;
}

void SensorGroup::Start() {
    if (running_) return;
    running_ = true;
    aligner_.Begin();
    for (auto& m : members_) {
        m->received = 0;
        m->failures = 0;
        m->session->Recording().Attach(m->feed);
    }
    for (auto& m : members_) {
        if (m->mode != SensorMode::Stream) continue;
        m->session->Start();
        m->session->StartStream();
    }
    stop_polling_ = false;
    for (auto& p : pollers_) {
        Poller* poller = p.get();
        poller->thread = std::thread([this, poller] { Poll(poller->sensors); });
    }
}

void SensorGroup::Poll(const std::vector<std::size_t>& sensors) {
    using Steady = std::chrono::steady_clock;
    for (const std::size_t i : sensors) members_[i]->session->BeginSeries(false);
    const auto period = std::chrono::duration_cast<Steady::duration>(
        std::chrono::duration<double>(1.0 / options_.poll_rate_hz));
    auto next = Steady::now();
    while (!stop_polling_.load()) {
        for (const std::size_t i : sensors) {
            if (stop_polling_.load()) break;
            Member& m = *members_[i];
            if (m.session->MeasureSample())
                m.failures = 0;
            else
                m.failures.fetch_add(1);
        }
        next += period;
        const auto now = Steady::now();
        if (next < now) next = now;  // late: go on at once, without a burst
        std::unique_lock lock(poll_mutex_);
        poll_wake_.wait_until(lock, next, [this] { return stop_polling_.load(); });
    }
    for (const std::size_t i : sensors) members_[i]->session->EndSeries();
}

void SensorGroup::StopPollers() {
    {
        const std::lock_guard lock(poll_mutex_);
        stop_polling_ = true;
    }
    poll_wake_.notify_all();
    for (auto& p : pollers_)
        if (p->thread.joinable()) p->thread.join();
}

void SensorGroup::Pump() {
    if (!running_) return;
    // The time is taken first: a sample handed over after it is not older than
    // the aligner's latency allows.
    const std::int64_t now = SteadyNs();
    for (std::size_t i = 0; i < members_.size(); ++i) {
        members_[i]->inbox.Take(taken_);
        if (!taken_.empty()) aligner_.Push(i, taken_);
    }
    aligner_.Advance(now);
}

void SensorGroup::Flush() {
    for (auto& m : members_) m->session->Recording().Flush();
}

int SensorGroup::LostSensor() const {
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const Member& m = *members_[i];
        const bool lost = m.mode == SensorMode::Stream ? !m.session->LinkAlive()
                                                       : m.failures.load() >= kLostAfterFailures;
        if (lost) return static_cast<int>(i);
    }
    return -1;
}

void SensorGroup::EndLost(std::size_t sensor) {
    if (!running_) return;
    StopPollers();
    Member& lost = *members_[sensor];
    if (lost.mode == SensorMode::Stream) {
        lost.session->EndLostLink();
    } else {
        lost.session->Disconnect();
    }
    Stop();
}

void SensorGroup::Stop() {
    if (!running_) return;
    // The rows end here: what comes while the sensors are being stopped would
    // find some of them stopped already.
    const std::int64_t end = SteadyNs();
    StopPollers();
    // Each stream's stop waits for the stream to drain: all at once, each
    // session from a thread of its own.
    std::vector<std::thread> stoppers;
    for (auto& m : members_)
        if (m->mode == SensorMode::Stream && m->session->Streaming())
            stoppers.emplace_back([session = m->session.get()] { session->StopStream(); });
    for (std::thread& t : stoppers) t.join();
    for (auto& m : members_) m->session->Recording().Detach(m->feed);
    Pump();
    // Nor do they go past the last sample of a sensor that was still giving
    // samples (a stream's last read, a polled sensor's last cycle); a sensor
    // silent before the stop does not hold them back.
    std::int64_t cut = end;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const std::int64_t last = aligner_.LastSampleNs(i);
        if (last == std::numeric_limits<std::int64_t>::min()) continue;  // no sample at all
        const double recent_ns = (2.0 * aligner_.PeriodS(i) + options_.aligner.latency_s) * 1e9;
        if (static_cast<double>(end) - static_cast<double>(last) <= recent_ns)
            cut = std::min(cut, last);
    }
    aligner_.Finish(cut);
    running_ = false;
}

}  // namespace mk27x
