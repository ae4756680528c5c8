// Parameter entries of the front ends without a grid (the command line, the
// Python module): a parameter named as the grid shows it, or by its index, and
// the text an operator would type into its cell.
//
// An entry goes through the row's commit rule as the grid's cell does (its
// length aside: no cell limits what is given); the
// picker rows (Synchronization, OutLogic), which the grid leaves to their
// pickers, take the byte itself (0..255). A set of entries is taken whole or
// not at all: the first refused entry leaves the working set as it was, so
// that nothing is sent.
//
// Pure functions; no state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "params/commit_rule.h"
#include "params/parameter_table.h"

namespace mk27x {

// The row of `name` as the grid shows it (spaces included, case ignored) or of
// an index "0".."19"; nothing for any other text.
std::optional<int> ParameterIndexByName(std::string_view name);

// What a text can be checked for before any sensor is known: the conversion
// error when `text` cannot be a value of row `index` at all, else empty.
std::string EntryFormError(int index, std::string_view text);

// The commit rule of row `index`, the picker rows taking the byte itself: a
// number 0..255 is stored, another number put back, a non-number the
// conversion error. "Measure type" takes a number within its limits too, the
// text it shows for a type without a name. Every text ParameterText shows for a
// value within a row's limits is taken back as a value of the same text.
CommitResult CommitEntryText(int index, std::string_view text, std::uint16_t current,
                             std::int16_t range);

struct ParameterEntry {
    int index = 0;
    std::string text;
};

struct EntryRefusal {
    int index = 0;
    std::string text;
    CommitAction action = CommitAction::ConversionError;
    // The command line's wording: the conversion error, "'<text>' is out of
    // range for <name>" or "'<text>' is not a value of <name>".
    std::string reason;
};

// Converts `entries` in order against `values` (`range` the sensor's measuring
// range in mm). All stored: their indexes in order in `written`, and nothing
// returned. The first one refused: returned, with `values` and `written` as
// they were.
std::optional<EntryRefusal> StoreParameterEntries(const std::vector<ParameterEntry>& entries,
                                                  ParameterSet& values, std::int16_t range,
                                                  std::vector<int>& written);

// The refusal naming its parameter in every case ("... for <name>").
std::string EntryRefusalText(const EntryRefusal& refusal);

}  // namespace mk27x
