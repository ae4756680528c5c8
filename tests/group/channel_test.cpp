// The computed channels: each operator and function, the refusals with the
// parser's message and position, and empty sensors making the channel empty.
#include "group/channel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace mk27x {
namespace {

const std::vector<std::string> kSensors = {"A", "B", "C", "D"};

double Value(const std::string& expression, std::vector<double> values = {30, 20, 25, 27}) {
    ChannelError error;
    auto channel = Channel::Compile({"x", expression}, kSensors, error);
    EXPECT_TRUE(channel) << expression << ": " << error.message;
    return channel ? channel->Evaluate(values) : std::nan("");
}

ChannelError Refusal(const std::string& expression) {
    ChannelError error;
    EXPECT_FALSE(Channel::Compile({"x", expression}, kSensors, error)) << expression;
    return error;
}

TEST(Channel, OperatorsFunctionsAndTheUsualChannels) {
    EXPECT_DOUBLE_EQ(Value("120 - A - B"), 70);
    EXPECT_DOUBLE_EQ(Value("A - B"), 10);
    EXPECT_DOUBLE_EQ(Value("(A + B + C + D) / 4"), 25.5);
    EXPECT_DOUBLE_EQ(Value("max(A, B, C, D) - min(A, B, C, D)"), 10);
    EXPECT_DOUBLE_EQ(Value("A * 2"), 60);
    EXPECT_DOUBLE_EQ(Value("B ^ 2"), 400);
    EXPECT_DOUBLE_EQ(Value("-A + 1.5"), -28.5);
    EXPECT_DOUBLE_EQ(Value("abs(B - A)"), 10);
    EXPECT_DOUBLE_EQ(Value("sqrt(D - 2)"), 5);
    EXPECT_DOUBLE_EQ(Value("2 * (A - (B + 5))"), 10);
}

TEST(Channel, RefusedWithTheParsersMessageAndPosition) {
    const ChannelError end = Refusal("120 - A -");
    EXPECT_EQ(end.position, 9);
    EXPECT_NE(end.message.find("end of expression"), std::string::npos) << end.message;

    const ChannelError paren = Refusal("(A + B");
    EXPECT_NE(paren.message.find("parenthes"), std::string::npos) << paren.message;
    EXPECT_EQ(paren.position, 6);

    const ChannelError unknown = Refusal("max(A, E) - B");
    EXPECT_EQ(unknown.position, 7);
    EXPECT_NE(unknown.message.find("There is no sensor named E."), std::string::npos)
        << unknown.message;
    EXPECT_EQ(ChannelErrorText({"r", "max(A, E) - B"}, unknown),
              "channel r = max(A, E) - B: " + unknown.message + "\n  max(A, E) - B\n         ^");

    const ChannelError function = Refusal("nosuch(A)");
    EXPECT_EQ(function.message.rfind("Unexpected token \"nosuch\" found at position 0.", 0), 0u);
    EXPECT_EQ(function.position, 0);
    std::string why;
    EXPECT_FALSE(ParseChannelSpec("min=A", why));
    EXPECT_FALSE(ParseChannelSpec("t=", why));
    const auto spec = ParseChannelSpec(" thickness = 120 - A - B ", why);
    ASSERT_TRUE(spec);
    EXPECT_EQ(spec->name, "thickness");
    EXPECT_EQ(spec->expression, "120 - A - B");
}

TEST(Channel, EmptyWhenASensorItUsesIsEmpty) {
    ChannelError error;
    auto step = Channel::Compile({"step", "A - C"}, kSensors, error);
    ASSERT_TRUE(step);
    EXPECT_EQ(step->UsedSensors(), (std::vector<std::size_t>{0, 2}));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_DOUBLE_EQ(step->Evaluate(std::vector<double>{30, nan, 25, nan}), 5);
    EXPECT_TRUE(std::isnan(step->Evaluate(std::vector<double>{30, 20, nan, 27})));
    // max() of the parser would pass over a NaN: the rule is kept before it.
    auto runout = Channel::Compile({"r", "max(A, B) - min(A, B)"}, kSensors, error);
    ASSERT_TRUE(runout);
    EXPECT_TRUE(std::isnan(runout->Evaluate(std::vector<double>{nan, 20, 0, 0})));
}

}  // namespace
}  // namespace mk27x
