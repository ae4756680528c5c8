#include "session/session.h"

#include <utility>

#include "recording/csv_writer.h"
#include "recording/sample_file.h"
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

SensorSession::SensorSession(Clock& clock, PortBackends backends)
    : clock_(clock),
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

ConnectResult SensorSession::Connect() {
    ConnectResult result;
    result.port = port_.Open();
    if (!result.port) return result;
    result.outcome = ConnectOutcome::OpenedOnly;
    if (display_busy_) return result;
    bool identified = protocol_.IdentifySensor();
    // Bytes that are no reply: most likely a stream left running. Whatever
    // its frames look like, the sensor is told to stop and asked again.
    if (!identified && protocol_.LastReplyStray()) {
        result.recovered = true;
        protocol_.StopStream();
        clock_.Sleep(kStreamRecoveryPauseMs);
        port_.Purge();
        identified = protocol_.IdentifySensor();
    }
    if (!identified) {
        port_.Close();
        result.outcome = ConnectOutcome::NotIdentified;
        return result;
    }
    protocol_.SetLinkAlive(true);
    result.outcome = ConnectOutcome::ReadFailed;
    if (!protocol_.ReadAllParameters()) return result;
    Adopt();
    SetState(LinkState::Connected);
    result.outcome = ConnectOutcome::Connected;
    return result;
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

std::vector<ParameterDifference> SensorSession::Differences(int from, int to) const {
    std::vector<ParameterDifference> differences;
    for (int i = from; i < to; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const std::uint16_t written = protocol_.ParameterValues[k];
        const std::uint16_t read = protocol_.ReadBackValues[k];
        if (written != read) differences.push_back({i, written, read});
    }
    return differences;
}

std::vector<ParameterDifference> SensorSession::CompareParameter(int index) {
    if (!LinkAlive() || protocol_.CompareParameter(index)) return {};
    return Differences(index, index + 1);
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

std::vector<ParameterDifference> SensorSession::CompareAllParameters() {
    if (!LinkAlive() || protocol_.CompareAllParameters()) return {};
    return Differences(0, kParameterCount);
}

FlashResult SensorSession::WriteToFlash() {
    return protocol_.WriteParametersToFlash();
}

FlashResult SensorSession::RestoreFactorySettings() {
    const FlashResult result = protocol_.RestoreFactoryParameters();
    // The working set is shown once more whatever the outcome.
    if (events.parameters_replaced) events.parameters_replaced();
    return result;
}

SensorSession::FileOutcome SensorSession::SaveParameterFile(const std::string& path) {
    const std::string text =
        ParameterFileText(Values(), KnownIdentity(Identity()), ParameterFileTime());
    FileOutcome outcome;
    if (WriteParameterFile(path, text, outcome.reason)) return outcome;
    outcome.result = FileOutcome::Result::Failed;
    return outcome;
}

SensorSession::FileOutcome SensorSession::LoadParameterFile(const std::string& path,
                                                            const ConfirmOtherModel& other_model) {
    const ParameterFileResult file = ReadParameterFile(path);
    if (!file.ok) return {FileOutcome::Result::Failed, file.error};
    if (!ApplyParameterFile(file.file, KnownIdentity(Identity()), Values(), other_model))
        return {FileOutcome::Result::Declined, {}};
    if (events.parameters_replaced) events.parameters_replaced();
    return {};
}

SensorSession::CalibrationOutcome SensorSession::UploadCalibration(
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
    if (!upload.upload) return {UploadResult::FileRefused, std::nullopt, upload.refusal};
    return {upload.upload->ok() ? UploadResult::Written : UploadResult::Failed, upload.upload, {}};
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
    return SaveSampleFile(ring_, path);
}

bool SensorSession::ExportCsv(const std::string& path) {
    return SaveCsvFile(TakeRecording(ring_), path);
}

bool SensorSession::Teach() {
    protocol_.Teach();
    if (!protocol_.ReadAllParameters()) return false;
    Adopt();
    return true;
}

}  // namespace mk27x
