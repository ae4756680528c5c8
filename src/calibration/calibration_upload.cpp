#include "calibration/calibration_upload.h"

#include "calibration/calibration_block.h"

namespace mk27x {

UploadOutcome UploadCalibration(SensorProtocol& protocol, const CalibrationTable& table,
                                const std::function<void(int block, int blocks)>& progress,
                                const std::function<bool()>& stop) {
    UploadOutcome outcome;
    outcome.blocks = table.sizes.blocks;
    for (int b = 0; b < outcome.blocks; ++b) {
        const CalibrationBlock block = BuildCalibrationBlock(table, b);
        const std::optional<unsigned> ack = protocol.CalibrationBlockExchange(block);
        if (!ack) {
            outcome.result = UploadOutcome::Result::NoAcknowledgement;
            return outcome;
        }
        const unsigned value = *ack;
        if (value != kCalibrationAccepted) {
            outcome.result = UploadOutcome::Result::Rejected;
            outcome.acknowledgement = value;
            return outcome;
        }
        outcome.blocks_written = b + 1;
        if (progress) progress(b, outcome.blocks);
        if (b + 1 < outcome.blocks && stop && stop()) {
            outcome.result = UploadOutcome::Result::Stopped;
            return outcome;
        }
    }
    return outcome;
}

CalibrationFileUpload UploadCalibrationFile(
    SensorProtocol& protocol, const std::string& path,
    const std::function<void(int block, int blocks)>& progress,
    const std::function<void()>& started, const std::function<bool()>& stop) {
    CalibrationFileResult file = ReadCalibrationFile(path, protocol.Identity.Release);
    if (!file.ok()) return {std::nullopt, std::move(file.error)};
    if (started) started();
    const UploadOutcome outcome = UploadCalibration(protocol, *file.table, progress, stop);
    return {outcome, {}};
}

}  // namespace mk27x
