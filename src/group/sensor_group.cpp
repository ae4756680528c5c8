#include "group/sensor_group.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace mk27x {
namespace {

// A polled sensor counts as lost after this many unanswered requests in a row.
constexpr int kLostAfterFailures = 3;
// A lost sensor is asked again this often.
constexpr std::int64_t kRejoinPeriodNs = 1'000'000'000;

// How long one exchange of `bytes` bytes (requests and replies) may take on a
// shared line at `baud` before its reads are cut short: twice the line time
// of 11-bit characters, and room for a gateway's delay.
unsigned ExchangeLimitMs(std::uint32_t baud, unsigned bytes) {
    return 200 + static_cast<unsigned>(2ull * bytes * 11 * 1000 / baud);
}
// The bytes of a measurement's request and reply, with room.
constexpr unsigned kMeasureBytes = 16;

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

SensorGroup::SensorGroup(Clock& clock, const PortBackends& backends,
                         std::vector<SensorSpec> sensors,
                         std::vector<std::unique_ptr<Channel>> channels, GroupOptions options)
    : options_(options),
      aligner_(Names(sensors), PeriodHints(sensors, options.poll_rate_hz), std::move(channels),
               options.aligner) {
    for (const SensorSpec& spec : sensors) {
        auto member = std::make_unique<Member>();
        member->spec = spec;
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
            if (m.mode == SensorMode::Poll) m.line = lines_.back().get();
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
    for (auto& m : members_) {
        ConnectResult result = m->session->Connect();
        m->identity = m->session->Identity();
        m->expected = m->identity;
        m->known = result.ok();
        m->identified = m->known;
        outcomes.push_back(std::move(result));
    }
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
    const std::int64_t now = SteadyNs();
    for (auto& m : members_) {
        m->received = 0;
        m->failures = 0;
        // Never connected: asked at once, as a lost sensor is.
        m->lost = !m->known.load();
        m->next_rejoin_ns = now;
        m->next_probe_ns = now;
        m->told_lost = false;
        m->wrong_serial = 0;
        m->wrong_count = 0;
        m->wrong_told = 0;
        m->losses = 0;
        m->lost_ns = 0;
        m->session->Recording().Attach(m->feed);
    }
    for (auto& m : members_) {
        if (m->mode != SensorMode::Stream) continue;
        m->session->Start();
        if (!m->lost.load()) m->session->StartStream();
    }
    stop_polling_ = false;
    for (auto& p : pollers_) {
        Poller* poller = p.get();
        poller->thread = std::thread([this, poller] { Poll(poller->sensors); });
    }
}

void SensorGroup::Poll(const std::vector<std::size_t>& sensors) {
    using Steady = std::chrono::steady_clock;
    for (const std::size_t i : sensors)
        if (!members_[i]->lost.load()) members_[i]->session->BeginSeries(false);
    const auto period = std::chrono::duration_cast<Steady::duration>(
        std::chrono::duration<double>(1.0 / options_.poll_rate_hz));
    auto next = Steady::now();
    while (!stop_polling_.load()) {
        for (const std::size_t i : sensors) {
            if (stop_polling_.load()) break;
            Member& m = *members_[i];
            if (m.lost.load()) {
                Probe(m);
                continue;
            }
            bool answered = false;
            m.line->WithinLimit(ExchangeLimitMs(m.spec.baud, kMeasureBytes),
                                [&] { answered = m.session->MeasureSample(); });
            if (answered) {
                m.failures = 0;
            } else if (m.failures.fetch_add(1) + 1 >= kLostAfterFailures) {
                m.session->EndSeries();
                m.next_probe_ns = SteadyNs() + kRejoinPeriodNs;
                m.lost = true;
            }
        }
        next += period;
        const auto now = Steady::now();
        if (next < now) next = now;  // late: go on at once, without a burst
        std::unique_lock lock(poll_mutex_);
        poll_wake_.wait_until(lock, next, [this] { return stop_polling_.load(); });
    }
    for (const std::size_t i : sensors)
        if (!members_[i]->lost.load()) members_[i]->session->EndSeries();
}

void SensorGroup::Probe(Member& m) {
    const std::int64_t now = SteadyNs();
    if (now < m.next_probe_ns) return;
    m.next_probe_ns = now + kRejoinPeriodNs;
    // A measurement first, cut short when unanswered, so that a silent sensor
    // holds the line up no longer than a missed cycle; one that answers is
    // then taken through the whole connect at its own pace.
    if (!m.session->IsOpen()) m.session->Port().Open();  // its hold on the line
    bool answered = false;
    m.line->WithinLimit(ExchangeLimitMs(m.spec.baud, kMeasureBytes),
                        [&] { answered = m.session->MeasureOnce(); });
    if (!answered || Rejoin(m) != ConnectOutcome::Connected || !Accept(m)) return;
    m.failures = 0;
    m.session->BeginSeries(false);
    m.lost = false;
}

ConnectOutcome SensorGroup::Rejoin(Member& m) {
    m.session->Disconnect();
    const ConnectOutcome outcome = m.session->Connect().outcome;
    if (outcome != ConnectOutcome::Connected) m.session->Disconnect();
    return outcome;
}

bool SensorGroup::Accept(Member& m) {
    const SensorIdentity& found = m.session->Identity();
    if (!m.known.load()) {
        m.expected = found;
        m.known = true;
        return true;
    }
    if (found.SerialNumber == m.expected.SerialNumber) return true;
    m.session->Disconnect();
    m.wrong_serial = found.SerialNumber;
    m.wrong_count.fetch_add(1);
    return false;
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

void SensorGroup::Check(std::vector<GroupEvent>& events) {
    if (!running_) return;
    const std::int64_t now = SteadyNs();
    for (std::size_t i = 0; i < members_.size(); ++i) {
        Member& m = *members_[i];
        if (m.mode == SensorMode::Stream) CheckStream(i, now);
        const bool lost = m.lost.load();
        // A sensor identified only now (its poller set `expected` before it
        // cleared `lost`): the group's copy taken on this thread.
        if (!lost && !m.identified && m.known.load()) {
            m.identity = m.expected;
            m.identified = true;
        }
        if (lost && !m.told_lost) {
            m.told_lost = true;
            m.lost_since_ns = now;
            ++m.losses;
            aligner_.SetPresent(i, false);
            events.push_back({GroupEvent::Kind::Lost, i});
        } else if (!lost && m.told_lost) {
            m.told_lost = false;
            m.lost_ns += now - m.lost_since_ns;
            aligner_.SetPresent(i, true);
            events.push_back(
                {GroupEvent::Kind::Back, i, static_cast<double>(now - m.lost_since_ns) / 1e9});
        }
        if (const unsigned wrong = m.wrong_count.load(); wrong != m.wrong_told) {
            m.wrong_told = wrong;
            events.push_back({GroupEvent::Kind::WrongSensor, i, 0, m.wrong_serial.load(),
                              m.identity.SerialNumber});
        }
    }
}

void SensorGroup::CheckStream(std::size_t sensor, std::int64_t now) {
    Member& m = *members_[sensor];
    if (!m.lost.load()) {
        if (m.session->LinkAlive()) return;
        // The stream's end: the run says it, as its front end words it.
        m.session->EndLostLink();
        m.lost = true;
        m.next_rejoin_ns = now;
    }
    if (m.rejoin.joinable()) {
        if (!m.rejoin_done.load()) return;
        m.rejoin.join();
        if (m.rejoin_outcome == ConnectOutcome::Connected && Accept(m)) {
            m.session->StartStream();
            m.lost = false;
            return;
        }
    }
    if (now < m.next_rejoin_ns) return;
    m.next_rejoin_ns = now + kRejoinPeriodNs;
    m.rejoin_done = false;
    m.rejoin = std::thread([this, &m] {
        m.rejoin_outcome = Rejoin(m);
        m.rejoin_done = true;
    });
}

SensorStatus SensorGroup::Status(std::size_t sensor) const {
    const Member& m = *members_[sensor];
    SensorStatus status;
    status.losses = m.losses;
    std::int64_t lost_ns = m.lost_ns;
    if (m.told_lost) {
        // After the run, a sensor lost at its end stays so (its time counted).
        status.state = SensorState::Lost;
        status.lost_since_ns = m.lost_since_ns;
        status.wrong_serial = m.wrong_serial.load();
        if (running_) lost_ns += SteadyNs() - m.lost_since_ns;
    } else if (!running_) {
        status.state = SensorState::Idle;
    } else {
        status.state = m.mode == SensorMode::Stream ? SensorState::Streaming : SensorState::Polled;
    }
    status.seconds_lost = static_cast<double>(lost_ns) / 1e9;
    return status;
}

void SensorGroup::JoinRejoins() {
    for (auto& m : members_)
        if (m->rejoin.joinable()) m->rejoin.join();
}

void SensorGroup::Stop() {
    if (!running_) return;
    // The rows end here: what comes while the sensors are being stopped would
    // find some of them stopped already.
    const std::int64_t end = SteadyNs();
    StopPollers();
    JoinRejoins();
    // A sensor still lost at the end stays so in its status: its time ends here.
    for (auto& m : members_)
        if (m->told_lost) m->lost_ns += end - m->lost_since_ns, m->lost_since_ns = end;
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
