// The sample file and the hand-over of a recording from the sample ring.
//
// The file: one sample per line in the distance text (three decimals, the
// C library's current decimal separator, which the GUI application takes from
// the system), each line ended by CR LF, oldest sample first, no header.
//
// Threading: the owner's thread. Call while no one appends to the ring (a timed
// series between ticks, or a stream after it has been switched off); a save
// during a stream writes what the ring holds when it starts.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "recording/sample_ring.h"

namespace mk27x {

// The file's bytes for the ring at the given WriteIndex and Wrapped: the 10000
// samples from write_index round the ring when wrapped, else 0 to
// write_index - 1.
std::string SampleFileText(const SampleRing& ring, std::uint16_t write_index, bool wrapped);

// Writes the samples the ring holds now to `path`, replacing any file of that
// name, and moves ReadPosition to the WriteIndex taken at the start. The text
// goes to a temporary file beside `path` first, which replaces `path` only once
// it is complete; on failure (cannot create, write or rename) the temporary
// file is removed, `path` and ReadPosition stay as they were, and the result
// is false.
bool SaveSampleFile(SampleRing& ring, const std::string& path);

// Replaces `path` with `text` the same way: a temporary file beside it, synced
// and renamed over it; false (with the temporary removed and `path` untouched)
// when that fails, with the system's reason in `reason` when one is given.
// A symbolic link is written through: its target is replaced and the link
// stays. A replaced file keeps its owner and mode. Where no temporary file can
// be made beside it (a read-only folder, a name at the length limit) or the
// owner cannot be kept, the file itself is written in place. A named pipe or a
// device is written into, never replaced; a pipe without a reader fails.
bool ReplaceFileContents(const std::string& path, const std::string& text,
                         std::string* reason = nullptr);

// The recording to show at stream stop, as (sample, ring index) pairs, oldest
// first: the 10000 samples from WriteIndex round the ring when it has wrapped,
// else those from ReadPosition up to WriteIndex - 1. ReadPosition ends at
// WriteIndex either way.
std::vector<std::pair<float, std::uint16_t>> DrainRing(SampleRing& ring);

}  // namespace mk27x
