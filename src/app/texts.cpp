#include "app/texts.h"

namespace mk27x {
namespace {

std::string Line(int index, const ParameterSet& values, const ParameterSet& read) {
    const auto i = static_cast<std::size_t>(index);
    return "Write=" + std::to_string(values[i]) + ", Read=" + std::to_string(read[i]);
}

std::string Name(int index) {
    return std::string(ParameterTable[static_cast<std::size_t>(index)].name);
}

}  // namespace

std::string SerialOpenFailureText(const std::string& port_name) {
    return "Порт " + port_name + " отсутсвует.\rИли занят другим приложением.";
}

std::string UsbOpenFailureText(const std::string& port_name) {
    return "Error opening " + port_name + ".\rPort already in use or not available.";
}

std::string NetworkOpenFailureText(const std::string& address, const std::string& reason) {
    return SerialOpenFailureText(address) + "\r" + reason + ".";
}

OperatorMessage PortOpenFailureMessage(const PortOpenResult& result) {
    switch (result.kind) {
        case PortKind::Usb:
            return {UsbOpenFailureText(result.port_name), kUsbOpenFailureCaption,
                    MB_OK | MB_ICONEXCLAMATION};
        case PortKind::Network:
            return {NetworkOpenFailureText(result.port_name, result.reason),
                    kSerialOpenFailureCaption, MB_OK | MB_ICONSTOP};
        case PortKind::Serial:
            break;
    }
    return {SerialOpenFailureText(result.port_name), kSerialOpenFailureCaption,
            MB_OK | MB_ICONSTOP};
}

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

std::string SampleFileErrorText(const std::string& file_name) {
    return "Cannot write file " + file_name + ".";
}

OperatorMessage SampleFileErrorMessage(const std::string& file_name) {
    return {SampleFileErrorText(file_name), kLinkCaption, MB_OK | MB_ICONSTOP};
}

std::string ParameterFileReadError(const std::string& path, const std::string& reason) {
    return "Cannot load " + path + ":\r" + reason + ".";
}

std::string ParameterFileWriteError(const std::string& path, const std::string& reason) {
    return "Cannot write " + path + ":\r" + reason + ".";
}

std::string OtherModelQuestion(int file_model, int sensor_model) {
    return "The file holds the parameters of a model " + std::to_string(file_model) +
           " sensor; this sensor is model " + std::to_string(sensor_model) + ".\rLoad them anyway?";
}

OperatorMessage UploadOutcomeMessage(const UploadOutcome& outcome) {
    if (outcome.ok()) return {kCalibrationWrittenText, kCalibrationWrittenCaption, MB_OK};
    return {kCalibrationFailedText, kCalibrationFailedCaption, MB_OK | MB_ICONEXCLAMATION};
}

OperatorMessage CalibrationRefusalMessage(const CalibrationRefusal& refusal) {
    const bool conversion = refusal.kind == CalibrationRefusal::Kind::ConversionError;
    return {refusal.text, conversion ? kApplicationTitle : kLinkCaption, MB_OK | MB_ICONSTOP};
}

OperatorMessage StatisticsMessage(const SampleStatistics& s) {
    return {StatisticsText(s), kLinkCaption, MB_OK};
}

std::optional<OperatorMessage> ConnectFailureMessage(const ConnectResult& result) {
    switch (result.outcome) {
        case ConnectOutcome::PortNotOpened:
            return PortOpenFailureMessage(result.port);
        case ConnectOutcome::NotIdentified:
            return OperatorMessage{kNoIdentificationText, kLinkCaption, MB_OK | MB_ICONSTOP};
        case ConnectOutcome::OpenedOnly:
        case ConnectOutcome::ReadFailed:
        case ConnectOutcome::Connected:
            break;
    }
    return std::nullopt;
}

OperatorMessage NoAnswerMessage() {
    return {kNoAnswerText, kLinkCaption, MB_OK | MB_ICONSTOP};
}

OperatorMessage CompareMessage(const ParameterDifference& d) {
    return {"Parameters '" + Name(d.index) + "' not equal:\rWrite=" + std::to_string(d.written) +
                ", Read=" + std::to_string(d.read) + ".",
            kLinkCaption, MB_OK | MB_ICONEXCLAMATION};
}

OperatorMessage CompareAllMessage(const ParameterSet& values, const ParameterSet& read) {
    return {CompareAllText(values, read), kLinkCaption, MB_OK | MB_ICONEXCLAMATION};
}

OperatorMessage FlashQuestion() {
    return {kFlashQuestionText, kOutcomeCaption, MB_OKCANCEL | MB_ICONEXCLAMATION};
}

OperatorMessage RestoreQuestion() {
    return {kRestoreQuestionText, kOutcomeCaption, MB_OKCANCEL | MB_ICONEXCLAMATION};
}

OperatorMessage FlashOutcomeMessage(FlashResult result) {
    if (result == FlashResult::Done) return {kFlashWrittenText, kOutcomeCaption, MB_OK};
    return {kFlashWriteErrorText, kOutcomeCaption, MB_OK | MB_ICONSTOP};
}

std::optional<OperatorMessage> RestoreOutcomeMessage(FlashResult result) {
    switch (result) {
        case FlashResult::Done:
            return OperatorMessage{kRestoredText, kOutcomeCaption, MB_OK};
        case FlashResult::NoEcho:
            return OperatorMessage{kRestoreErrorText, kOutcomeCaption, MB_OK | MB_ICONSTOP};
        case FlashResult::ReadFailed:
            break;
    }
    return std::nullopt;
}

OperatorMessage TeachCompleteMessage() {
    return {kTeachCompleteText, kOutcomeCaption, MB_OK};
}

OperatorMessage ParameterFileReadMessage(const std::string& path, const std::string& reason) {
    return {ParameterFileReadError(path, reason), kLinkCaption, MB_OK | MB_ICONSTOP};
}

OperatorMessage ParameterFileWriteMessage(const std::string& path, const std::string& reason) {
    return {ParameterFileWriteError(path, reason), kLinkCaption, MB_OK | MB_ICONSTOP};
}

OperatorMessage OtherModelMessage(int file_model, int sensor_model) {
    return {OtherModelQuestion(file_model, sensor_model), kLinkCaption,
            MB_OKCANCEL | MB_ICONEXCLAMATION};
}

OperatorMessage CalibrationMessage(const SensorSession::CalibrationOutcome& outcome) {
    if (!outcome.upload) return CalibrationRefusalMessage(outcome.refusal);
    return UploadOutcomeMessage(*outcome.upload);
}

}  // namespace mk27x
