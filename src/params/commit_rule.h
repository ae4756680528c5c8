// The commit rule of each parameter row: what the text of a grid cell (or of a
// command line argument) does to the working value of its parameter.
//
//   switch         row 0: 0 for "off", 1 for any other text
//   not committed  rows 1 and 18: the text is ignored (their pickers set them)
//   plain          rows 2, 4, 12, 14, 15: the number n
//   baud           row 3: n / 2400, truncated
//   measure type   row 13: the position of the name; any other text changes nothing
//   bounded        rows 5..11, 16, 17, 19: an empty text, one longer than the row's
//                  maximum length, or a number outside the row's limits puts the
//                  current value's text back; a text that is no integer is the
//                  conversion error.
//
// The distance rows (9, 16, 17) hold the typed micrometre number against their
// limits 0 to 65535 and then the converted register value against 0 to 65535,
// so that an entry whose value would not fit 16 bits is put back too; while no
// sensor has been identified (measuring range 0) every distance text is put
// back.
//
// Pure functions; no state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace mk27x {

enum class CommitAction {
    Store,            // `value` is the new working value
    PutBack,          // `text` is to be shown again; the value is unchanged
    Ignore,           // nothing changes (rows 1 and 18, unknown measure type)
    ConversionError,  // `text` is the message; value and cell text unchanged
};

struct CommitResult {
    CommitAction action;
    std::uint16_t value;  // the stored value for Store, else the current one
    std::string text;     // the put-back text or the conversion error message
};

// Row `index` (0..19) takes `text` while its working value is `current`; `range`
// is the sensor's measuring range in mm (0 when none is identified). Without
// `cell_length` the longest text is not held against the cell's length (an
// entry that was never typed into the grid: "-32768" for a 5-character cell).
CommitResult CommitParameterText(int index, std::string_view text, std::uint16_t current,
                                 std::int16_t range, bool cell_length = true);

// True for the rows whose value cell the digit guard watches.
bool IsBoundedRow(int index);

}  // namespace mk27x
