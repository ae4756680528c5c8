#include "params/parameter_entry.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace mk27x
