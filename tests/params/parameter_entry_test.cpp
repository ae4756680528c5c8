#include "params/parameter_entry.h"

#include <gtest/gtest.h>

#include "params/parameter_text.h"

namespace mk27x {
namespace {

TEST(ParameterEntry, NamesAnyCaseOrIndexFindTheirRow) {
    EXPECT_EQ(ParameterIndexByName("sampling PERIOD"), kSamplingPeriod);
    EXPECT_EQ(ParameterIndexByName("19"), 19);
    EXPECT_EQ(ParameterIndexByName("20"), std::nullopt);
    EXPECT_EQ(ParameterIndexByName("-1"), std::nullopt);
    EXPECT_EQ(ParameterIndexByName("Sampling period "), std::nullopt);
    EXPECT_EQ(ParameterIndexByName(""), std::nullopt);
}

TEST(ParameterEntry, PickerRowsTakeTheByteItself) {
    EXPECT_EQ(CommitEntryText(kOutLogic, "255", 7, 50).action, CommitAction::Store);
    EXPECT_EQ(CommitEntryText(kOutLogic, "255", 7, 50).value, 255);
    EXPECT_EQ(CommitEntryText(kSynchronization, "256", 7, 50).action, CommitAction::PutBack);
    EXPECT_EQ(CommitEntryText(kSynchronization, "-1", 7, 50).action, CommitAction::PutBack);
    EXPECT_EQ(EntryFormError(kSynchronization, "0x10"), "'0x10' is not a valid integer value");
    EXPECT_EQ(EntryFormError(kSamplingPeriod, "-5"), "");
}

TEST(ParameterEntry, FirstRefusalLeavesTheSetAsItWas) {
    ParameterSet values{};
    values[kSamplingPeriod] = 100;
    std::vector<int> written;
    const auto refused = StoreParameterEntries(
        {{kSamplingPeriod, "1000"}, {kOutLogic, "3"}, {kSamplingPeriod, "-5"}}, values, 50,
        written);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->index, kSamplingPeriod);
    EXPECT_EQ(refused->reason, "'-5' is out of range for Sampling period");
    EXPECT_EQ(values[kSamplingPeriod], 100);
    EXPECT_EQ(values[kOutLogic], 0);
    EXPECT_TRUE(written.empty());

    EXPECT_FALSE(
        StoreParameterEntries({{kOutLogic, "3"}, {kSamplingPeriod, "1000"}}, values, 50, written));
    EXPECT_EQ(written, (std::vector<int>{kOutLogic, kSamplingPeriod}));
    EXPECT_EQ(values[kSamplingPeriod], 1000);
    EXPECT_EQ(EntryRefusalText({kSamplingPeriod, "x", CommitAction::ConversionError,
                                "'x' is not a valid integer value"}),
              "'x' is not a valid integer value for Sampling period");
}

// Whatever a row shows for a value it can hold is taken back by set as a value
// showing the same text: every value of every row, at two ranges. Only a
// bounded row's value outside its limits is refused, as out of range.
TEST(ParameterEntry, EveryShownTextIsTakenBack) {
    for (const std::int16_t range : {std::int16_t{50}, std::int16_t{250}}) {
        for (int i = 0; i < kParameterCount; ++i) {
            const ParameterRow& row = ParameterTable[static_cast<std::size_t>(i)];
            std::uint32_t first = 0;
            std::uint32_t last = row.bytes == 1 ? 0xFF : 0xFFFF;
            if (row.packing == Packing::LowNibble) last = 15;
            if (row.packing == Packing::HighNibbleMinusOne ||
                row.packing == Packing::LowNibbleMinusOne)
                first = 1, last = 16;
            for (std::uint32_t v = first; v <= last; ++v) {
                const auto value = static_cast<std::uint16_t>(v);
                const std::string text = ParameterText(i, value, range);
                const auto current = static_cast<std::uint16_t>(value == 1 ? 2 : 1);
                const CommitResult r = CommitEntryText(i, text, current, range);
                bool within = true;
                if (IsBoundedRow(i)) {
                    const std::int64_t q = LimitQuantity(row.form, *ParseInteger(text));
                    within = q >= row.lower && q <= row.upper;
                }
                if (!within) {
                    EXPECT_EQ(r.action, CommitAction::PutBack) << i << " " << text;
                    continue;
                }
                ASSERT_EQ(r.action, CommitAction::Store) << i << " '" << text << "' R " << range;
                ASSERT_EQ(ParameterText(i, r.value, range), text) << i << " R " << range;
                if (CommitEntryText(i, text, value, range).action != CommitAction::Store)
                    ADD_FAILURE() << i << " '" << text << "' as the current value's own";
            }
        }
    }
}

}  // namespace
}  // namespace mk27x
