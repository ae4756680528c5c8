// The calibration upload: the table goes into the connected sensor block by
// block, each block acknowledged.
//
// For each block b = 0 .. N-1 the protocol's CalibrationBlockExchange (purge,
// address, 5 ms, the command byte 0x8A, 100 ms, the 2052 bytes of the block in
// one write, then one read of the 2-byte acknowledgement). Its value, the low
// nibbles taken low first, must be 0xAA; a short or other acknowledgement stops the upload at that
// block (the blocks before it stay written in the sensor). Nothing is retried
// and the link state (LinkAlive) is left alone.
//
// Threading: runs on the calling thread (the window thread) and blocks it for
// the whole upload, about 105 ms per block plus the transfer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "calibration/calibration_table.h"
#include "protocol/protocol.h"

namespace mk27x {

inline constexpr unsigned kCalibrationAccepted = 0xAA;

struct UploadOutcome {
    enum class Result {
        Written,            // every block acknowledged
        NoAcknowledgement,  // fewer than 2 bytes came back
        Rejected,           // the acknowledgement was not 0xAA
        Stopped,            // asked to stop: ended after an acknowledged block
    };
    Result result = Result::Written;
    int blocks = 0;                // N, the blocks of the whole upload
    int blocks_written = 0;        // blocks acknowledged; on failure the failed block's number
    unsigned acknowledgement = 0;  // the value of a rejected acknowledgement

    bool ok() const { return result == Result::Written; }
    // The block the upload stopped at, or -1 when it did not stop.
    int failed_block() const { return ok() ? -1 : blocks_written; }
};

// Sends the table's blocks. `progress` (may be empty) is called after each
// acknowledged block b with (b, N); then `stop` (may be empty) is asked whether
// to end the upload there (a block in flight is always acknowledged first).
UploadOutcome UploadCalibration(SensorProtocol& protocol, const CalibrationTable& table,
                                const std::function<void(int block, int blocks)>& progress = {},
                                const std::function<bool()>& stop = {});

// The acknowledgement value of the two reply bytes: low nibbles, first byte low.
constexpr unsigned CalibrationAckValue(std::uint8_t first, std::uint8_t second) {
    return (first & 0xFu) | (second & 0xFu) << 4;
}

// The progress bar (0 to 100) after block b of N: b * 100 / N, so it ends at 98
// for 82 blocks and at 96 for 30.
constexpr int CalibrationProgressPosition(int block, int blocks) {
    return blocks > 0 ? block * 100 / blocks : 0;
}

// The whole operation after the file has been chosen: reads `path` for the
// identified sensor's Release and, only when the whole file is sound, uploads
// it. `started` (may be empty) runs once the file has been read, just before
// the first byte is sent (the window resets its progress bar there).
struct CalibrationFileUpload {
    std::optional<UploadOutcome> upload;  // empty when the file was refused
    CalibrationRefusal refusal;           // why, when it was
};
CalibrationFileUpload UploadCalibrationFile(
    SensorProtocol& protocol, const std::string& path,
    const std::function<void(int block, int blocks)>& progress = {},
    const std::function<void()>& started = {}, const std::function<bool()>& stop = {});

}  // namespace mk27x
