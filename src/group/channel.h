// Computed channels: named expressions over the sensors' values,
// "thickness = 120 - A - B", "runout = max(A, B, C, D) - min(A, B, C, D)", with
// the operators + - * / ^, parentheses, numbers and the functions abs, min,
// max, sqrt (and the others the expression parser knows).
//
// An expression is compiled once, against the names of the group's sensors:
// one that does not parse, or names something that is not a sensor, is refused
// with the parser's message and the position (0-based) in the expression.
// Evaluation is the compiled form run on a row of sensor values; a channel
// whose sensors are not all present in the row is empty (NaN), and so is one
// whose expression has no finite value there (A / (A - B) with A equal to B).
//
// Threading: a compiled channel belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mk27x {

struct ChannelSpec {
    std::string name;
    std::string expression;
};

// "NAME=EXPR" (spaces around both allowed); on failure nothing, and why.
std::optional<ChannelSpec> ParseChannelSpec(const std::string& text, std::string& error);

struct ChannelError {
    std::string message;  // the parser's, with a note for an unknown sensor
    int position = -1;    // in the expression, 0-based; -1 when none
};

// True when `name` is one of the parser's functions or constants, which a
// sensor or a channel may not be called.
bool IsReservedChannelName(const std::string& name);

class Channel {
public:
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Compiles `spec` over sensors named `sensors` (the order of the row
    // values); null with `error` filled when refused.
    static std::unique_ptr<Channel> Compile(const ChannelSpec& spec,
                                            const std::vector<std::string>& sensors,
                                            ChannelError& error);

    const std::string& Name() const { return name_; }
    const std::string& Expression() const { return expression_; }
    // The sensors the expression uses, by index, ascending.
    const std::vector<std::size_t>& UsedSensors() const { return used_; }
    // The channel's value for one row of sensor values; NaN when a used value
    // is, or when the result is not a finite number.
    double Evaluate(std::span<const double> sensor_values);

private:
    Channel();
    struct Parser;

    std::string name_;
    std::string expression_;
    std::vector<std::size_t> used_;
    std::vector<double> values_;
    std::unique_ptr<Parser> parser_;
};

// The whole error as one line of text: "Unexpected token ... at position 4."
std::string ChannelErrorText(const ChannelSpec& spec, const ChannelError& error);

}  // namespace mk27x
