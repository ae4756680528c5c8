#include "session/texts.h"

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

std::string StatisticsText(const SampleStatistics& s) {
    if (s.count == 0) return kNoSamplesText;
    // A figure the samples do not define reads "-".
    auto figure = [](bool defined, double value, int decimals, const char* unit) {
        return defined ? FixedNumber(value, decimals) + unit : std::string("-");
    };
    return "Samples: " + std::to_string(s.count) + "\rMean: " + figure(true, s.mean, 3, " mm") +
           "\r\xCF\x83: " + figure(s.HasSpread(), s.stddev, 3, " mm") +
           "\rMin: " + figure(true, s.min, 3, " mm") + "\rMax: " + figure(true, s.max, 3, " mm") +
           "\rPeak-to-peak: " + figure(true, s.peak_to_peak, 3, " mm") +
           "\rRate: " + figure(s.HasRate(), s.rate_hz, 1, " Hz") +
           "\rGaps: " + std::to_string(s.gaps);
}

}  // namespace mk27x
