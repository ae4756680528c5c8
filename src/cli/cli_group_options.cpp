#include "cli/cli_group_options.h"

#include <algorithm>
#include <charconv>

namespace mk27x {

GroupCommandLine::GroupCommandLine(std::string command, bool json) : name_(std::move(command)) {
    app_.set_help_flag();
    app_.allow_extras();
    for (const char* name : {"--port", "--baud", "--address", "--trace"})
        app_.add_option(name)->each(
            [this, name](const std::string&) { link_options_.push_back(name); });
    if (json) app_.add_flag("--json", choice_.json);
    app_.add_flag("--simulator", choice_.simulator);
    command_ = app_.add_subcommand(name_);
    command_->fallthrough();
    command_->allow_extras();
    command_->set_help_flag();
    command_->add_flag("-h,--help", choice_.help);
    Value("--sensor", [this](const std::string& v) {
        choice_.sensors.push_back(ParsedValue(ParseSensorSpec, v));
    });
    Value("--channel", [this](const std::string& v) {
        choice_.channels.push_back(ParsedValue(ParseChannelSpec, v));
    });
    Value("--poll-rate", [this](const std::string& v) {
        const double hz = NumberValue(v, "--poll-rate");
        if (!(hz > 0) || !(hz <= 10000))
            throw UsageError{"--poll-rate must be positive and at most 10000"};
        choice_.poll_rate_hz = hz;
    });
    for (const char* name : {"--publish", "--mqtt-qos", "--mqtt-buffer-seconds", "--mqtt-cafile",
                             "--mqtt-password-file"})
        Value(name, [this, name](const std::string& v) {
            std::string error;
            ParsePublishOption(
                name, [&v] { return v; }, choice_.publish, error);
            if (!error.empty()) throw UsageError{error};
        });
}

void GroupCommandLine::Value(const std::string& name,
                             std::function<void(const std::string&)> take) {
    takers_.push_back(std::make_unique<std::function<void(const std::string&)>>(std::move(take)));
    auto* taker = takers_.back().get();
    command_->add_option(name)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->allow_extra_args(false)
        ->each([this, taker](const std::string& v) { given_.emplace_back(taker, v); });
}

void GroupCommandLine::Flag(const std::string& name, bool& flag) {
    command_->add_flag(name, flag);
}

bool GroupCommandLine::Parse(const std::vector<std::string>& args) {
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    given_.clear();
    link_options_.clear();
    try {
        app_.parse(reversed);
    } catch (const CLI::ParseError& e) {
        if (!command_->parsed()) return false;
        const std::string text = e.what();
        if (e.get_name() == "ArgumentMismatch" && text.rfind("--", 0) == 0)
            throw UsageError{"option " + text.substr(0, text.find(':')) + " needs a value"};
        throw UsageError{text};
    }
    return command_->parsed();
}

std::optional<std::size_t> GroupCommandLine::CommandAt(const std::vector<std::string>& args) {
    try {
        if (!Parse(args)) return std::nullopt;
    } catch (const UsageError&) {
        // The command's own line, refused: Checked says why.
    }
    return static_cast<std::size_t>(std::find(args.begin(), args.end(), name_) - args.begin());
}

const GroupChoice& GroupCommandLine::Checked(const std::vector<std::string>& args) {
    Parse(args);
    for (const std::string& extra : app_.remaining(true)) {
        if (extra.size() > 1 && extra[0] == '-') throw UsageError{"unknown option " + extra};
        throw UsageError{name_ + " takes no operand '" + extra + "'"};
    }
    if (choice_.help) return choice_;
    if (!link_options_.empty())
        throw UsageError{name_ + " takes its sensors as --sensor NAME=PORT[@RATE][#ADDRESS]"};
    for (const auto& [take, value] : given_) (*take)(value);
    return choice_;
}

double NumberValue(const std::string& text, const std::string& option) {
    double n = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, n);
    if (text.empty() || ec != std::errc() || ptr != end)
        throw UsageError{"invalid value for " + option + ": " + text};
    return n;
}

}  // namespace mk27x
