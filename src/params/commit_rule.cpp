#include "params/commit_rule.h"

#include "params/parameter_table.h"
#include "params/parameter_text.h"

namespace mk27x {
namespace {

const ParameterRow& Row(int index) {
    return ParameterTable[static_cast<std::size_t>(index)];
}

CommitResult Store(std::uint16_t value) {
    return {CommitAction::Store, value, {}};
}

CommitResult PutBack(int index, std::uint16_t current, std::int16_t range) {
    return {CommitAction::PutBack, current, PutBackText(index, current, range)};
}

CommitResult ConversionError(std::string_view text, std::uint16_t current) {
    return {CommitAction::ConversionError, current, InvalidIntegerMessage(text)};
}

CommitResult CommitBounded(int index, std::string_view text, std::uint16_t current,
                           std::int16_t range, bool cell_length) {
    const ParameterRow& row = Row(index);
    if (text.empty() || (cell_length && text.size() > static_cast<std::size_t>(row.max_length)))
        return PutBack(index, current, range);
    const auto n = ParseInteger(text);
    if (!n) return ConversionError(text, current);
    const std::int64_t quantity = LimitQuantity(row.form, *n);
    if (quantity < row.lower || quantity > row.upper) return PutBack(index, current, range);
    if (row.form == DisplayForm::Distance) {
        // The register value must fit too: at a small range the micrometres of
        // a large entry come to more than 16 bits.
        const auto wide = WideValueFromNumber(row.form, *n, range);
        if (!wide || *wide < 0 || *wide > 0xFFFF) return PutBack(index, current, range);
        return Store(static_cast<std::uint16_t>(*wide));
    }
    return Store(*ValueFromNumber(row.form, *n, range));
}

}  // namespace

bool IsBoundedRow(int index) {
    switch (index) {
        case 5:
        case 6:
        case 7:
        case 8:
        case 9:
        case 10:
        case 11:
        case 16:
        case 17:
        case 19:
            return true;
        default:
            return false;
    }
}

CommitResult CommitParameterText(int index, std::string_view text, std::uint16_t current,
                                 std::int16_t range, bool cell_length) {
    if (index == kSynchronization || index == kOutLogic) return {CommitAction::Ignore, current, {}};
    if (IsBoundedRow(index)) return CommitBounded(index, text, current, range, cell_length);

    const DisplayForm form = Row(index).form;
    if (form == DisplayForm::MeasureType) {
        // A name is stored, the current value's own included.
        const TextValue v = ValueFromText(form, text, current, range);
        if (!v.converted()) return {CommitAction::Ignore, current, {}};
        return Store(v.value);
    }
    // Switch, plain and baud rows: nothing is tested beyond the conversion.
    const TextValue v = ValueFromText(form, text, current, range);
    if (!v.converted()) return ConversionError(text, current);
    return Store(v.value);
}

}  // namespace mk27x
