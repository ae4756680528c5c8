#include "session/session.h"

#include <utility>

#include "calibration/calibration_upload.h"
#include "link/sample_file.h"

namespace mk27x {
namespace {

// Passes one of the protocol's events on to the same event of the session.
template <typename... Args>
std::function<void(Args...)> Forward(const std::function<void(Args...)>& target) {
    return [&target](Args... args) {
        if (target) target(args...);
    };
}

std::string Line(int index, const ParameterSet& values, const ParameterSet& read) {
    const auto i = static_cast<std::size_t>(index);
    return "Write=" + std::to_string(values[i]) + ", Read=" + std::to_string(read[i]);
}

std::string Name(int index) {
    return std::string(ParameterTable[static_cast<std::size_t>(index)].name);
}

}  // namespace

std::string CompareMismatchText(int index, const ParameterSet& values, const ParameterSet& read) {
    return "Parameters '" + Name(index) + "' not equal:\r" + Line(index, values, read) + ".";
}

std::string CompareAllText(const ParameterSet& values, const ParameterSet& read) {
    std::string text = "Parameters not equal:";
    for (int p = 0; p < kParameterCount; ++p) {
        const auto i = static_cast<std::size_t>(p);
        text += "\r'" + Name(p) + "': " + Line(p, values, read) + ": " +
                (values[i] == read[i] ? "OK." : "Error.");
    }
    return text;
}

SensorSession::SensorSession(MessageBox& messages, Clock& clock, PortBackends backends)
    : messages_(messages),
      clock_(clock),
      port_(messages, std::move(backends)),
      protocol_(port_, clock, messages),
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

void SensorSession::SetBaudRate(std::uint32_t baud) {
    port_.PortBaudRate = baud;
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
}

ConnectOutcome SensorSession::Connect() {
    if (!port_.Open()) return ConnectOutcome::PortNotOpened;
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
    protocol_.LinkAlive = 1;
    if (!protocol_.ReadAllParameters()) return ConnectOutcome::ReadFailed;
    Adopt();
    return ConnectOutcome::Connected;
}

void SensorSession::Disconnect() {
    port_.Close();
}

void SensorSession::EndLostLink() {
    reader_.StopStreaming();
    recording_.End();
    port_.Close();
    messages_.Show(kNoAnswerText, kLinkCaption, MB_OK | MB_ICONSTOP);
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
    if (messages_.Show("Are you sure? Write parameters to FLASH?", kOutcomeCaption,
                       MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK)
        return FlashOutcome::Cancelled;
    return protocol_.WriteParametersToFlash() ? FlashOutcome::Done : FlashOutcome::Failed;
}

SensorSession::FlashOutcome SensorSession::RestoreFactorySettings() {
    if (messages_.Show("Restore factory parameters in FLASH?", kOutcomeCaption,
                       MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK)
        return FlashOutcome::Cancelled;
    const bool done = protocol_.RestoreFactoryParameters();
    // Shown once more whatever the outcome.
    if (events.parameters_replaced) events.parameters_replaced();
    return done ? FlashOutcome::Done : FlashOutcome::Failed;
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
    messages_.Show(upload.message.text, upload.message.caption, upload.message.flags);
    if (!upload.upload) return UploadResult::FileRefused;
    return upload.upload->ok() ? UploadResult::Written : UploadResult::Failed;
}

bool SensorSession::MeasureOnce() {
    if (!protocol_.MeasureOnce()) return false;
    if (events.distance) events.distance(protocol_.LastDistance);
    return true;
}

void SensorSession::StartStream() {
    // Until the stream's own period is measured: the time of a frame on the line.
    const double prior_period_s = FrameLineTimeS(port_.PortBaudRate);
    recording_.Begin({true, prior_period_s});
    protocol_.LastDistance = 0.0f;
    protocol_.StartStream();
    reader_.Resume();
    reader_.StartStreaming(prior_period_s);
}

void SensorSession::StopStream() {
    reader_.StopStreaming();
    protocol_.StopStream();
    clock_.Sleep(kStreamDrainPauseMs);
    recording_.End();
}

void SensorSession::BeginSeries(bool dev_mode) {
    recording_.Begin({false, kSeriesPeriodMs / 1000.0});
    protocol_.MeasureDevMode = dev_mode;
    protocol_.LastDistance = 0.0f;
}

bool SensorSession::MeasureSample() {
    if (!MeasureOnce()) return false;
    recording_.Add(RecordedSample{protocol_.LastDistance, SampleTime::Now()});
    return true;
}

void SensorSession::EndSeries() {
    recording_.End();
}

std::vector<std::pair<float, std::uint16_t>> SensorSession::DrainRecording() {
    return DrainRing(ring_);
}

bool SensorSession::SaveSamples(const std::string& path) {
    if (SaveSampleFile(ring_, path)) return true;
    messages_.Show(SampleFileErrorText(path), kSampleFileErrorCaption, kSampleFileErrorFlags);
    return false;
}

bool SensorSession::Teach() {
    protocol_.Teach();
    if (!protocol_.ReadAllParameters()) return false;
    Adopt();
    messages_.Show(kTeachCompleteText, kOutcomeCaption, MB_OK);
    return true;
}

}  // namespace mk27x
