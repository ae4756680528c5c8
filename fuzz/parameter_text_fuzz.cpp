// Fuzz target: the parameter texts and the commit rule of every row, on cell
// texts (or command line arguments) an operator may type.
//
// Input: the row (0..19) and display form (0..6) in the first byte, the
// current value and the measuring range (16 bits each), then the text.
// Checked: a parsed integer reads back from its decimal text; a text that is
// no integer leaves the value alone; the display text of any value converts
// back to that value in the forms where that holds; a pick list never grows
// beyond its bound; each commit outcome carries what it promises (the put-back
// text, the conversion error, the unchanged value, a stored value within the
// row's limits).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "params/commit_rule.h"
#include "params/parameter_table.h"
#include "params/parameter_text.h"

using namespace mk27x;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const int index = data[0] % kParameterCount;
    const auto form = static_cast<DisplayForm>((data[0] >> 5) % 7);
    const auto current = static_cast<std::uint16_t>(data[1] | data[2] << 8);
    const auto range = static_cast<std::int16_t>(data[3] | data[4] << 8);
    const std::string_view text(reinterpret_cast<const char*>(data) + 5, size - 5);

    // Integer reading.
    const auto n = ParseInteger(text);
    if (n && ParseInteger(std::to_string(*n)) != n) std::abort();

    // Text to value.
    const TextValue v = ValueFromText(form, text, current, range);
    if (IsNumericForm(form) && !n) {
        if (v.outcome != TextOutcome::NotAnInteger || v.value != current) std::abort();
    }
    if (!v.converted() && v.value != current) std::abort();
    if (form == DisplayForm::Distance && range == 0 && v.converted()) std::abort();

    // Value to text and back.
    const std::string shown = DisplayText(form, current, range);
    const TextValue back = ValueFromText(form, shown, 0x5A5A, range);
    switch (form) {
        case DisplayForm::Decimal:
        case DisplayForm::SignedDecimal:
        case DisplayForm::Baud:
            if (!back.converted() || back.value != current) std::abort();
            break;
        case DisplayForm::Switch:
            if (back.value != (current != 0 ? 1 : 0)) std::abort();
            break;
        case DisplayForm::MeasureType:
            if (current < kMeasureTypeNames.size() && back.value != current) std::abort();
            break;
        case DisplayForm::RangeFraction:
        case DisplayForm::Distance:
            break;
    }

    // Pick lists.
    std::size_t commas = 0;
    for (char c : text) commas += c == ',';
    if (ExpandPickList(text).size() > static_cast<std::size_t>(kMaxPickListItems) + commas + 1)
        std::abort();

    // The commit rule of the row.
    const CommitResult r = CommitParameterText(index, text, current, range);
    const ParameterRow& row = ParameterTable[static_cast<std::size_t>(index)];
    switch (r.action) {
        case CommitAction::Store:
            if (IsBoundedRow(index) && row.form == DisplayForm::Decimal &&
                (r.value < row.lower || r.value > row.upper))
                std::abort();
            break;
        case CommitAction::PutBack:
            if (r.value != current || r.text != PutBackText(index, current, range)) std::abort();
            break;
        case CommitAction::Ignore:
            if (r.value != current) std::abort();
            break;
        case CommitAction::ConversionError:
            if (r.value != current || n || r.text != InvalidIntegerMessage(text)) std::abort();
            break;
    }
    return 0;
}
