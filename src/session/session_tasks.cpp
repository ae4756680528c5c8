#include "session/session_tasks.h"

#include <algorithm>
#include <chrono>

namespace mk27x {
TaskOutcome MeasureSeries(SensorSession& session, Clock& clock, long count, bool dev,
                          const std::function<bool()>& stop) {
    // The session's series tick every kSeriesPeriodMs and its watchdog every
    // kWatchdogPeriodMs, as the window's timers call them. A failed
    // measurement ends the task, so the watchdog is asked at once then.
    const auto period = std::chrono::milliseconds(kSeriesPeriodMs);
    const auto watchdog_period = std::chrono::milliseconds(kWatchdogPeriodMs);
    auto next = clock.Now();
    auto next_watch = next + watchdog_period;
    session.BeginSeries(dev);
    for (long i = 0; i < count; ++i) {
        if (stop && stop()) {
            session.EndSeries();
            return TaskOutcome::Stopped;
        }
        if (i > 0) {
            next += period;
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - clock.Now());
            if (wait.count() > 0) clock.Sleep(static_cast<unsigned>(wait.count()));
        }
        const bool measured = session.SeriesTick();
        if (!measured || clock.Now() >= next_watch) {
            next_watch += watchdog_period;
            if (session.WatchdogTick()) return TaskOutcome::NoAnswer;
        }
    }
    session.EndSeries();
    return TaskOutcome::Done;
}

TimedStream::TimedStream(SensorSession& session, Clock& clock, std::optional<double> seconds)
    : session_(session), clock_(clock), seconds_(seconds) {}

void TimedStream::Start() {
    session_.StartStream();
    started_ = true;
    const Clock::TimePoint now = clock_.Now();
    if (seconds_)
        end_ = now + std::chrono::duration_cast<Clock::TimePoint::duration>(
                         std::chrono::duration<double>(*seconds_));
    next_check_ = now + std::chrono::milliseconds(kWatchdogPeriodMs);
}

TimedStream::State TimedStream::Step(const std::function<void(unsigned ms)>& wait) {
    if (state_ != State::Running || stopped_) return state_;
    if (end_ && clock_.Now() >= *end_) return state_ = State::Ended;
    long long slice = kSliceMs;
    if (end_) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end_ - clock_.Now());
        slice = std::clamp<long long>(left.count(), 1, kSliceMs);
    }
    if (wait)
        wait(static_cast<unsigned>(slice));
    else
        clock_.Sleep(static_cast<unsigned>(slice));
    if (clock_.Now() >= next_check_) {
        next_check_ += std::chrono::milliseconds(kWatchdogPeriodMs);
        if (session_.WatchdogTick()) return state_ = State::Lost;
        session_.Recording().Flush();
    }
    if (end_ && clock_.Now() >= *end_) state_ = State::Ended;
    return state_;
}

void TimedStream::Stop() {
    if (!started_ || stopped_ || state_ == State::Lost) return;
    stopped_ = true;
    session_.StopStream();
}

std::optional<EntryRefusal> CheckEntryForms(const std::vector<ParameterEntry>& entries) {
    for (const ParameterEntry& e : entries)
        if (std::string error = EntryFormError(e.index, e.text); !error.empty())
            return EntryRefusal{e.index, e.text, CommitAction::ConversionError, std::move(error)};
    return std::nullopt;
}

SetParametersResult SetParameters(SensorSession& session,
                                  const std::vector<ParameterEntry>& entries) {
    SetParametersResult result;
    auto refused = CheckEntryForms(entries);
    if (!refused)
        refused = StoreParameterEntries(entries, session.Values(), session.Identity().SignedRange(),
                                        result.written);
    if (refused) {
        result.status = SetParametersResult::Status::Refused;
        result.refusal = std::move(*refused);
        return result;
    }
    if (!session.WriteParameters(result.written)) {
        session.EndLostLink();
        result.status = SetParametersResult::Status::NoAnswer;
    }
    return result;
}

bool BackupToFile(SensorSession& session, const std::string& path, std::string& error) {
    const SensorSession::FileOutcome saved = session.SaveParameterFile(path);
    error = saved.reason;
    return saved.ok();
}

CloneResult CloneFromFile(SensorSession& session, const std::string& path,
                          const std::function<bool()>& stop, const ConfirmOtherModel& other_model) {
    CloneResult result;
    const SensorSession::FileOutcome loaded = session.LoadParameterFile(path, other_model);
    if (loaded.result == SensorSession::FileOutcome::Result::Failed) {
        result.status = CloneResult::Status::FileRefused;
        result.error = loaded.reason;
        return result;
    }
    if (!loaded.ok()) {
        result.status = CloneResult::Status::Declined;
        return result;
    }
    result.wanted = session.Values();
    session.LoadAllParameters();
    if (stop && stop()) {
        result.status = CloneResult::Status::Stopped;
        return result;
    }
    if (session.WatchdogTick()) {  // the re-read failed
        result.status = CloneResult::Status::NoAnswer;
        return result;
    }
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (session.ReadBack()[k] != result.wanted[k]) result.differing.push_back(i);
    }
    return result;
}

}  // namespace mk27x
