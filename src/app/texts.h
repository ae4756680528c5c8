// The main window's words: every message it shows, with the caption and flags
// of its box, in one place, composed from the session's outcomes. The other
// front ends (the command line, the Python module, the monitor) choose their
// own. A carriage return (character 13) starts a new line. The spellings are
// the program's own and stay as they are.
//
// Threading: constants and plain functions.
#pragma once

#include <optional>
#include <string>

#include "calibration/calibration_table.h"
#include "calibration/calibration_upload.h"
#include "params/parameter_table.h"
#include "platform/message_box.h"
#include "session/session.h"
#include "session/statistics_text.h"
#include "transport/sensor_port.h"
#include "ui/application_texts.h"

namespace mk27x {

// A message box as it is to be shown.
struct OperatorMessage {
    std::string text;
    std::string caption;
    unsigned flags = MB_OK;
    bool operator==(const OperatorMessage&) const = default;
};

// --- captions ----------------------------------------------------------------
// The application's title (kApplicationTitle) and kUnknownErrorText are in
// ui/application_texts.h.
// Comparison results, connection losses, files and statistics.
inline constexpr const char* kLinkCaption = "MK271-SP";
// The FLASH, restore and teach outcomes and the confirmations: the same with a
// full stop.
inline constexpr const char* kOutcomeCaption = "MK271-SP.";
inline constexpr const char* kSerialOpenFailureCaption = "Zozuvi-dada";
inline constexpr const char* kUsbOpenFailureCaption = "MK270_TestStend";
inline constexpr const char* kCalibrationFailedCaption = "Внимание !";
inline constexpr const char* kCalibrationWrittenCaption = "Сообщение...";

// --- the link --------------------------------------------------------------------
inline constexpr const char* kNoIdentificationText = "No answer. Please change parameters.";
inline constexpr const char* kNoAnswerText = "No answer.";
std::string SerialOpenFailureText(const std::string& port_name);
std::string UsbOpenFailureText(const std::string& port_name);
// A network port's: the serial text for the address, then the reason.
std::string NetworkOpenFailureText(const std::string& address, const std::string& reason);
// The box of a failed open, by the kind of port.
OperatorMessage PortOpenFailureMessage(const PortOpenResult& result);
// The box of a connect that did not connect; nothing for OpenedOnly, ReadFailed
// (the watchdog's) and Connected.
std::optional<OperatorMessage> ConnectFailureMessage(const ConnectResult& result);
// The watchdog's end of a link.
OperatorMessage NoAnswerMessage();

// --- parameters ------------------------------------------------------------------
// The comparisons: one parameter, and the list of all 20.
std::string CompareMismatchText(int index, const ParameterSet& values, const ParameterSet& read);
std::string CompareAllText(const ParameterSet& values, const ParameterSet& read);
// The box of a comparison that found differences.
OperatorMessage CompareMessage(const ParameterDifference& difference);
OperatorMessage CompareAllMessage(const ParameterSet& values, const ParameterSet& read);
// The confirmations before a FLASH write and a restore.
OperatorMessage FlashQuestion();
OperatorMessage RestoreQuestion();
inline constexpr const char* kFlashQuestionText = "Are you sure? Write parameters to FLASH?";
inline constexpr const char* kRestoreQuestionText = "Restore factory parameters in FLASH?";
inline constexpr const char* kFlashWrittenText =
    "When including, parameters written in FLASH will by default.";
inline constexpr const char* kFlashWriteErrorText = "Write ERROR.";
inline constexpr const char* kRestoredText = "All parameters restored in FLASH.";
inline constexpr const char* kRestoreErrorText = "Restore ERROR.";
inline constexpr const char* kTeachCompleteText = "Teaching complete.";
// The outcomes of a FLASH write and a restore (nothing for a restore whose
// re-read failed), and of the teach.
OperatorMessage FlashOutcomeMessage(FlashResult result);
std::optional<OperatorMessage> RestoreOutcomeMessage(FlashResult result);
OperatorMessage TeachCompleteMessage();

// --- files -----------------------------------------------------------------------
// A sample file or CSV export that cannot be written.
std::string SampleFileErrorText(const std::string& file_name);
OperatorMessage SampleFileErrorMessage(const std::string& file_name);
// Parameter files: a file that cannot be read or written, and the question
// asked before a file from another model is loaded.
std::string ParameterFileReadError(const std::string& path, const std::string& reason);
std::string ParameterFileWriteError(const std::string& path, const std::string& reason);
std::string OtherModelQuestion(int file_model, int sensor_model);
OperatorMessage ParameterFileReadMessage(const std::string& path, const std::string& reason);
OperatorMessage ParameterFileWriteMessage(const std::string& path, const std::string& reason);
OperatorMessage OtherModelMessage(int file_model, int sensor_model);

// --- calibration -------------------------------------------------------------------
inline constexpr const char* kCalibrationFailedText = "Ошибка записи файла калибровки!!!";
inline constexpr const char* kCalibrationWrittenText = "Файл калибровки записан в датчик!!!";
// The box that reports an upload's outcome.
OperatorMessage UploadOutcomeMessage(const UploadOutcome& outcome);
// The box of a refused table file: "Cannot open file" with the link's caption,
// a conversion error as the general error report shows it.
OperatorMessage CalibrationRefusalMessage(const CalibrationRefusal& refusal);
// The box of an upload's outcome or of its file's refusal.
OperatorMessage CalibrationMessage(const SensorSession::CalibrationOutcome& outcome);

// --- statistics --------------------------------------------------------------------
// The box of the statistics (StatisticsText).
OperatorMessage StatisticsMessage(const SampleStatistics& s);

}  // namespace mk27x
