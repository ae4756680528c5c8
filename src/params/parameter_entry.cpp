#include "params/parameter_entry.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "params/parameter_text.h"

namespace mk27x {
namespace {

bool IsPickerRow(int index) {
    return index == kSynchronization || index == kOutLogic;
}

std::string Name(int index) {
    return std::string(ParameterTable[static_cast<std::size_t>(index)].name);
}

}  // namespace

std::optional<int> ParameterIndexByName(std::string_view name) {
    for (int i = 0; i < kParameterCount; ++i) {
        const std::string_view row = ParameterTable[static_cast<std::size_t>(i)].name;
        if (std::equal(row.begin(), row.end(), name.begin(), name.end(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return i;
    }
    int n = -1;
    const auto [ptr, ec] = std::from_chars(name.data(), name.data() + name.size(), n);
    if (ec == std::errc() && ptr == name.data() + name.size() && n >= 0 && n < kParameterCount)
        return n;
    return std::nullopt;
}

std::string EntryFormError(int index, std::string_view text) {
    // Whether a text is a number at all does not depend on the sensor.
    if ((IsPickerRow(index) && !ParseInteger(text)) ||
        CommitParameterText(index, text, 0, 1).action == CommitAction::ConversionError)
        return InvalidIntegerMessage(text);
    return {};
}

CommitResult CommitEntryText(int index, std::string_view text, std::uint16_t current,
                             std::int16_t range) {
    CommitResult r = CommitParameterText(index, text, current, range, false);
    if (r.action != CommitAction::Ignore) return r;
    const auto n = ParseInteger(text);
    if (IsPickerRow(index)) {
        // Set by their pickers in the window: here the byte itself.
        if (!n) return {CommitAction::ConversionError, current, InvalidIntegerMessage(text)};
        if (*n < 0 || *n > 255) return {CommitAction::PutBack, current, {}};
        return {CommitAction::Store, static_cast<std::uint16_t>(*n), {}};
    }
    if (index == kMeasureType && n) {
        // A type without a name shows as its number: the number is taken back.
        const ParameterRow& row = ParameterTable[kMeasureType];
        if (*n < row.lower || *n > row.upper) return {CommitAction::PutBack, current, {}};
        return {CommitAction::Store, static_cast<std::uint16_t>(*n), {}};
    }
    return r;
}

std::optional<EntryRefusal> StoreParameterEntries(const std::vector<ParameterEntry>& entries,
                                                  ParameterSet& values, std::int16_t range,
                                                  std::vector<int>& written) {
    const ParameterSet before = values;
    std::vector<int> indexes;
    for (const ParameterEntry& e : entries) {
        const auto k = static_cast<std::size_t>(e.index);
        const CommitResult r = CommitEntryText(e.index, e.text, values[k], range);
        std::string reason;
        switch (r.action) {
            case CommitAction::Store:
                values[k] = r.value;
                indexes.push_back(e.index);
                continue;
            case CommitAction::ConversionError:
                reason = r.text;
                break;
            case CommitAction::PutBack:
                reason = "'" + e.text + "' is out of range for " + Name(e.index);
                break;
            case CommitAction::Ignore:
                reason = "'" + e.text + "' is not a value of " + Name(e.index);
                break;
        }
        values = before;
        return EntryRefusal{e.index, e.text, r.action, std::move(reason)};
    }
    written.insert(written.end(), indexes.begin(), indexes.end());
    return std::nullopt;
}

std::string EntryRefusalText(const EntryRefusal& refusal) {
    if (refusal.action == CommitAction::ConversionError)
        return refusal.reason + " for " + Name(refusal.index);
    return refusal.reason;
}

}  // namespace mk27x
