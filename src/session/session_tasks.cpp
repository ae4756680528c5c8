#include "session/session_tasks.h"

#include <algorithm>
#include <chrono>

namespace mk27x {
namespace {

void ShowNoAnswer(SensorSession& session) {
    session.Messages().Show(kNoAnswerText, kLinkCaption, MB_OK | MB_ICONSTOP);
}

}  // namespace

TaskOutcome MeasureSeries(SensorSession& session, Clock& clock, long count, bool dev,
                          const std::function<bool()>& stop) {
    const auto period = std::chrono::milliseconds(kSeriesPeriodMs);
    auto next = clock.Now();
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
        if (!session.MeasureSample()) {
            session.EndSeries();
            ShowNoAnswer(session);
            return TaskOutcome::NoAnswer;
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
    next_check_ = now + std::chrono::seconds(1);
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
        next_check_ += std::chrono::seconds(1);
        if (!session_.LinkAlive()) {
            session_.EndLostLink();
            return state_ = State::Lost;
        }
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

bool BackupToFile(SensorSession& session, const std::string& path, std::string& error) {
    const std::string text =
        ParameterFileText(session.Values(), session.Identity(), ParameterFileTime());
    return WriteParameterFile(path, text, error);
}

CloneResult CloneFromFile(SensorSession& session, MessageBox& messages, const std::string& path,
                          const std::function<bool()>& stop) {
    CloneResult result;
    const ParameterFileResult r = ReadParameterFile(path);
    if (!r.ok) {
        result.status = CloneResult::Status::FileRefused;
        result.error = ParameterFileReadError(path, r.error);
        return result;
    }
    result.file = r.file;
    if (!ApplyParameterFile(r.file, session.Identity(), session.Values(), messages)) {
        result.status = CloneResult::Status::Declined;
        return result;
    }
    session.LoadAllParameters();
    if (stop && stop()) {
        result.status = CloneResult::Status::Stopped;
        return result;
    }
    if (!session.LinkAlive()) {
        messages.Show(kNoAnswerText, kLinkCaption, MB_OK | MB_ICONSTOP);
        result.status = CloneResult::Status::NoAnswer;
        return result;
    }
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        if (session.ReadBack()[k] != r.file.values[k]) result.differing.push_back(i);
    }
    return result;
}

}  // namespace mk27x
