#include "group/channel.h"

#include <muParser.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "group/sensor_spec.h"

namespace mk27x {
namespace {

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

}  // namespace

struct Channel::Parser {
    mu::Parser parser;
};

Channel::Channel() : parser_(std::make_unique<Parser>()) {}
Channel::~Channel() = default;

std::optional<ChannelSpec> ParseChannelSpec(const std::string& text, std::string& error) {
    const auto eq = text.find('=');
    if (eq == std::string::npos) {
        error = "expected NAME=EXPRESSION, got '" + text + "'";
        return std::nullopt;
    }
    ChannelSpec spec{Trimmed(text.substr(0, eq)), Trimmed(text.substr(eq + 1))};
    if (!IsGroupName(spec.name) || IsReservedChannelName(spec.name)) {
        error = "'" + spec.name + "' is not a channel name (a letter, then letters, digits or _)";
        return std::nullopt;
    }
    if (spec.expression.empty()) {
        error = "channel " + spec.name + " has no expression";
        return std::nullopt;
    }
    return spec;
}

bool IsReservedChannelName(const std::string& name) {
    static const mu::Parser reference;
    return reference.GetFunDef().count(name) != 0 || reference.GetConst().count(name) != 0;
}

std::unique_ptr<Channel> Channel::Compile(const ChannelSpec& spec,
                                          const std::vector<std::string>& sensors,
                                          ChannelError& error) {
    std::unique_ptr<Channel> channel(new Channel());
    channel->name_ = spec.name;
    channel->expression_ = spec.expression;
    channel->values_.assign(sensors.size(), 1.0);
    mu::Parser& p = channel->parser_->parser;
    try {
        for (std::size_t i = 0; i < sensors.size(); ++i)
            p.DefineVar(sensors[i], &channel->values_[i]);
        p.SetExpr(spec.expression);
        // Parses strictly (an unknown name is refused here)...
        p.Eval();
        // ...names every sensor the expression uses, and compiles it into its
        // fast form once more.
        const mu::varmap_type used = p.GetUsedVar();
        for (std::size_t i = 0; i < sensors.size(); ++i)
            if (used.count(sensors[i]) != 0) channel->used_.push_back(i);
        p.Eval();
    } catch (const mu::Parser::exception_type& e) {
        error.message = e.GetMsg();
        // The parser counts the end of the expression one past it.
        error.position = std::min(e.GetPos(), static_cast<int>(spec.expression.size()));
        const std::string token = e.GetToken();
        if (e.GetCode() == mu::ecUNASSIGNABLE_TOKEN && IsGroupName(token))
            error.message += " There is no sensor named " + token + ".";
        return nullptr;
    }
    return channel;
}

double Channel::Evaluate(std::span<const double> sensor_values) {
    for (const std::size_t i : used_) {
        const double v = sensor_values[i];
        if (std::isnan(v)) return std::numeric_limits<double>::quiet_NaN();
        values_[i] = v;
    }
    try {
        const double value = parser_->parser.Eval();
        return std::isfinite(value) ? value : std::numeric_limits<double>::quiet_NaN();
    } catch (const mu::Parser::exception_type&) {
        return std::numeric_limits<double>::quiet_NaN();
    }
}

std::string ChannelErrorText(const ChannelSpec& spec, const ChannelError& error) {
    std::string text = "channel " + spec.name + " = " + spec.expression + ": " + error.message;
    if (error.position >= 0) {
        // The expression again with a mark under the position.
        text += "\n  " + spec.expression + "\n  " +
                std::string(static_cast<std::size_t>(error.position), ' ') + "^";
    }
    return text;
}

}  // namespace mk27x
