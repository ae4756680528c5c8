#include "session/session.h"

#include <utility>

#include "calibration/calibration_upload.h"
#include "link/csv_writer.h"
#include "link/sample_file.h"
#include "session/parameter_file.h"

namespace mk27x {
namespace {

// Passes one of the protocol's events on to the same event of the session.
template <typename... Args>
std::function<void(Args...)> Forward(const std::function<void(Args...)>& target) {
    return [&target](Args... args) {
        if (target) target(args...);
    };
}

std::optional<SensorIdentity> KnownIdentity(const SensorIdentity& id) {
    if (id == SensorIdentity{}) return std::nullopt;
    return id;
}

}  // namespace

SensorSession::SensorSession(MessageBox& messages, Clock& clock, PortBackends backends)
    : messages_(messages),
      clock_(clock),
      port_(std::move(backends)),
      protocol_(port_, clock),
      reader_(protocol_, recording_) {
    recording_.Attach(ring_sink_);
    recording_.Attach(statistics_);
    protocol_.events.identity_known = Forward(events.identity_known);
    protocol_.events.progress = Forward(events.progress);
    protocol_.events.address_changed = Forward(events.address_changed);
    protocol_.events.baud_changed = Forward(events.baud_changed);
    protocol_.events.parameters_replaced = Forward(events.parameters_replaced);
    reader_.frames_decoded = [this](std::span<const RecordedSample> samples) {
        if (!events.distance) return;
        for (const RecordedSample& s : samples) events.distance(s.mm);
    };
}

SensorSession::~SensorSession() {
    Shutdown();
}

int SensorSession::Show(const OperatorMessage& message) {
    return messages_.Show(message.text, message.caption, message.flags);
}

void SensorSession::SetState(LinkState state) {
    if (state_ == state) return;
    state_ = state;
    if (events.state_changed) events.state_changed(state);
}

void SensorSession::SetBaudRate(std::uint32_t baud) {
    port_.SetPortBaudRate(baud);
    port_.ApplyBaudRate();
}

void SensorSession::Start() {
    reader_.Resume();
}

void SensorSession::Shutdown() {
    // The reader goes before the port closes. A sensor left streaming would
    // still be sending when the port is next opened: it is told to stop.
    const bool streaming = reader_.Streaming();
    reader_.StopStreaming();
    reader_.Stop();
    if (streaming) protocol_.StopStream();
    recording_.End();
    port_.Close();
    // No event: the front end may be going away.
    state_ = LinkState::Closed;
}

ConnectOutcome SensorSession::Connect() {
    const PortOpenResult opened = port_.Open();
    if (!opened) {
        Show(PortOpenFailureMessage(opened));
        return ConnectOutcome::PortNotOpened;
    }
    if (display_busy_) return ConnectOutcome::OpenedOnly;
    bool identified = protocol_.IdentifySensor();
    if (!identified && protocol_.LastReplyCarriedStream()) {
        protocol_.StopStream();
        clock_.Sleep(kStreamRecoveryPauseMs);
        port_.Purge();
        identified = protocol_.IdentifySensor();
    }
    if (!identified) {
        messages_.Show(kNoIdentificationText, kLinkCaption, MB_OK | MB_ICONSTOP);
        port_.Close();
        return ConnectOutcome::NotIdentified;
    }
    protocol_.SetLinkAlive(true);
    if (!protocol_.ReadAllParameters()) return ConnectOutcome::ReadFailed;
    Adopt();
    SetState(LinkState::Connected);
    return ConnectOutcome::Connected;
}

void SensorSession::Disconnect() {
    port_.Close();
    SetState(LinkState::Closed);
}

void SensorSession::EndLostLink() {
    SetState(LinkState::Lost);
    reader_.StopStreaming();
    recording_.End();
    port_.Close();
    messages_.Show(kNoAnswerText, kLinkCaption, MB_OK | MB_ICONSTOP);
    SetState(LinkState::Closed);
}

bool SensorSession::WatchdogTick() {
    if (state_ == LinkState::Closed && !port_.IsOpen()) return false;
    if (LinkAlive()) return false;
    EndLostLink();
    return true;
}

void SensorSession::SetDisplayBusy(bool busy) {
    display_busy_ = busy;
    reader_.HoldLinkAlive(busy);
}

void SensorSession::LoadParameter(int index) {
    WriteParameters({index});
}

bool SensorSession::WriteParameters(const std::vector<int>& indexes) {
    for (int index : indexes) protocol_.WriteParameter(index);
    clock_.Sleep(kLoadRereadPauseMs);
    if (!protocol_.ReadAllParameters()) return false;
    Adopt();
    return true;
}

void SensorSession::ReadParameter(int index) {
    if (protocol_.ReadParameter(index)) Adopt();
}

void SensorSession::CompareParameter(int index) {
    if (!LinkAlive()) return;
    if (protocol_.CompareParameter(index)) return;
    messages_.Show(CompareMismatchText(index, protocol_.ParameterValues, protocol_.ReadBackValues),
                   kLinkCaption, MB_OK | MB_ICONEXCLAMATION);
}

void SensorSession::LoadAllParameters() {
    protocol_.WriteAllParameters();
    clock_.Sleep(kLoadAllRereadPauseMs);
    ReadAllParameters();
}

bool SensorSession::ReadAllParameters() {
    if (!protocol_.ReadAllParameters()) return false;
    Adopt();
    return true;
}

void SensorSession::CompareAllParameters() {
    if (!LinkAlive()) return;
    if (protocol_.CompareAllParameters()) return;
    messages_.Show(CompareAllText(protocol_.ParameterValues, protocol_.ReadBackValues),
                   kLinkCaption, MB_OK | MB_ICONEXCLAMATION);
}

SensorSession::FlashOutcome SensorSession::WriteToFlash() {
    if (messages_.Show(kFlashQuestionText, kOutcomeCaption, MB_OKCANCEL | MB_ICONEXCLAMATION) !=
        IDOK)
        return FlashOutcome::Cancelled;
    if (protocol_.WriteParametersToFlash() == FlashResult::Done) {
        messages_.Show(kFlashWrittenText, kOutcomeCaption, MB_OK);
        return FlashOutcome::Done;
    }
    messages_.Show(kFlashWriteErrorText, kOutcomeCaption, MB_OK | MB_ICONSTOP);
    return FlashOutcome::Failed;
}

SensorSession::FlashOutcome SensorSession::RestoreFactorySettings() {
    if (messages_.Show(kRestoreQuestionText, kOutcomeCaption, MB_OKCANCEL | MB_ICONEXCLAMATION) !=
        IDOK)
        return FlashOutcome::Cancelled;
    const FlashResult result = protocol_.RestoreFactoryParameters();
    if (result == FlashResult::NoEcho)
        messages_.Show(kRestoreErrorText, kOutcomeCaption, MB_OK | MB_ICONSTOP);
    else if (result == FlashResult::Done)
        messages_.Show(kRestoredText, kOutcomeCaption, MB_OK);
    // A restore whose re-read failed ends without a message. The working set is
    // shown once more whatever the outcome.
    if (events.parameters_replaced) events.parameters_replaced();
    return result == FlashResult::Done ? FlashOutcome::Done : FlashOutcome::Failed;
}

SensorSession::FileOutcome SensorSession::SaveParameterFile(const std::string& path, bool quiet) {
    const std::string text =
        ParameterFileText(Values(), KnownIdentity(Identity()), ParameterFileTime());
    FileOutcome outcome;
    if (WriteParameterFile(path, text, outcome.reason)) return outcome;
    outcome.result = FileOutcome::Result::Failed;
    if (!quiet)
        messages_.Show(ParameterFileWriteError(path, outcome.reason), kLinkCaption,
                       MB_OK | MB_ICONSTOP);
    return outcome;
}

SensorSession::FileOutcome SensorSession::LoadParameterFile(const std::string& path, bool quiet) {
    const ParameterFileResult file = ReadParameterFile(path);
    if (!file.ok) {
        if (!quiet)
            messages_.Show(ParameterFileReadError(path, file.error), kLinkCaption,
                           MB_OK | MB_ICONSTOP);
        return {FileOutcome::Result::Failed, file.error};
    }
    if (!ApplyParameterFile(file.file, KnownIdentity(Identity()), Values(), messages_))
        return {FileOutcome::Result::Declined, {}};
    if (events.parameters_replaced) events.parameters_replaced();
    return {};
}

SensorSession::UploadResult SensorSession::UploadCalibration(
    const std::string& path, const std::function<void(int done, int blocks)>& block_done,
    const std::function<bool()>& stop) {
    auto progress = [this](int position) {
        if (events.progress) events.progress(position, 100);
    };
    const CalibrationFileUpload upload = UploadCalibrationFile(
        protocol_, path,
        [&](int block, int blocks) {
            progress(CalibrationProgressPosition(block, blocks));
            if (block_done) block_done(block + 1, blocks);
        },
        [&] { progress(0); }, stop);
    if (!upload.upload) {
        Show(CalibrationRefusalMessage(upload.refusal));
        return UploadResult::FileRefused;
    }
    Show(UploadOutcomeMessage(*upload.upload));
    return upload.upload->ok() ? UploadResult::Written : UploadResult::Failed;
}

bool SensorSession::MeasureOnce() {
    if (!protocol_.MeasureOnce()) return false;
    if (events.distance) events.distance(protocol_.LastDistance);
    return true;
}

void SensorSession::StartStream() {
    // Until the stream's own period is measured: the time of a frame on the line.
    const double prior_period_s = FrameLineTimeS(port_.PortBaudRate());
    recording_.Begin({true, prior_period_s});
    protocol_.LastDistance = 0.0f;
    protocol_.StartStream();
    reader_.Resume();
    reader_.StartStreaming(prior_period_s);
    if (state_ != LinkState::Streaming) state_before_ = state_;
    SetState(LinkState::Streaming);
}

void SensorSession::StopStream() {
    reader_.StopStreaming();
    protocol_.StopStream();
    clock_.Sleep(kStreamDrainPauseMs);
    recording_.End();
    if (state_ == LinkState::Streaming) SetState(state_before_);
}

void SensorSession::BeginSeries(bool dev_mode) {
    recording_.Begin({false, kSeriesPeriodMs / 1000.0});
    protocol_.MeasureDevMode = dev_mode;
    protocol_.LastDistance = 0.0f;
    if (state_ != LinkState::TimedSeries) state_before_ = state_;
    SetState(LinkState::TimedSeries);
}

bool SensorSession::MeasureSample() {
    if (!MeasureOnce()) return false;
    recording_.Add(RecordedSample{protocol_.LastDistance, SampleTime::Now()});
    return true;
}

void SensorSession::EndSeries() {
    recording_.End();
    if (state_ == LinkState::TimedSeries) SetState(state_before_);
}

bool SensorSession::SeriesTick() {
    return MeasureSample();
}

std::vector<std::pair<float, std::uint16_t>> SensorSession::DrainRecording() {
    return DrainRing(ring_);
}

bool SensorSession::SaveSamples(const std::string& path) {
    if (SaveSampleFile(ring_, path)) return true;
    Show(SampleFileErrorMessage(path));
    return false;
}

bool SensorSession::ExportCsv(const std::string& path) {
    if (SaveCsvFile(TakeRecording(ring_), path)) return true;
    Show(SampleFileErrorMessage(path));
    return false;
}

void SensorSession::ShowStatistics() {
    messages_.Show(StatisticsText(Statistics()), kLinkCaption, MB_OK);
}

bool SensorSession::Teach() {
    protocol_.Teach();
    if (!protocol_.ReadAllParameters()) return false;
    Adopt();
    messages_.Show(kTeachCompleteText, kOutcomeCaption, MB_OK);
    return true;
}

}  // namespace mk27x
