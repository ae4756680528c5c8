// The command line of a group's command (mk27x monitor, mk27x serve), read by
// CLI11 as every other command is: the program's options that may come before
// the command (--simulator, --json for a command that takes it; --port,
// --baud, --address and --trace are refused: a group names its sensors), then
// the command with the group's options and its own:
//
//   --sensor NAME=PORT[@RATE][#ADDRESS]...  --channel NAME=EXPR...
//   --poll-rate HZ  --publish URL  --mqtt-qos Q  --mqtt-buffer-seconds S
//   --mqtt-cafile FILE  --mqtt-password-file FILE
//
// A command adds an option of its own in one line: Value(name, take) has
// `take` called with every value given when the line is checked (after the
// parse, so that asking whether a line is the command refuses nothing), and
// `take` throws a UsageError for a value it refuses.
//
// Threading: the calling thread.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli_options.h"
#include "group/channel.h"
#include "group/sensor_spec.h"
#include "publish/publish_options.h"

namespace mk27x {

// The group's options as given (nothing checked across them: CheckGroup).
struct GroupChoice {
    std::vector<SensorSpec> sensors;
    std::vector<ChannelSpec> channels;
    std::optional<double> poll_rate_hz;
    PublishOptions publish;
    bool simulator = false;
    bool json = false;
    bool help = false;
};

class GroupCommandLine {
public:
    // `command`: its name; `json`: whether it takes --json.
    GroupCommandLine(std::string command, bool json);
    GroupCommandLine(const GroupCommandLine&) = delete;
    GroupCommandLine& operator=(const GroupCommandLine&) = delete;

    // An option of the command with a value, given any number of times; `take`
    // gets each value in turn at Checked.
    void Value(const std::string& name, std::function<void(const std::string&)> take);
    void Flag(const std::string& name, bool& flag);

    // Where the command stands in `args` when the line is this command, else
    // nothing (a refused line of the command is still the command).
    std::optional<std::size_t> CommandAt(const std::vector<std::string>& args);
    // Parses `args` (without the program name) as this command and checks
    // every value: the group's options and the command's own taken in. Throws
    // UsageError.
    const GroupChoice& Checked(const std::vector<std::string>& args);

private:
    // False when the line is not this command; UsageError when it is, refused.
    bool Parse(const std::vector<std::string>& args);

    std::string name_;
    CLI::App app_{"", "mk27x"};
    CLI::App* command_ = nullptr;
    GroupChoice choice_;
    std::vector<std::string> link_options_;
    // Every value given, with what takes it in, in the order CLI11 hands them.
    std::vector<std::pair<std::function<void(const std::string&)>*, std::string>> given_;
    std::vector<std::unique_ptr<std::function<void(const std::string&)>>> takers_;
};

// `text` as a number for `option` ("invalid value for --poll-rate: x").
double NumberValue(const std::string& text, const std::string& option);

// The parse of a value by one of the parsers that leave their reason in an
// error text (ParseRotate, ParseListen...): its result, or a UsageError.
template <typename Parser>
auto ParsedValue(Parser parse, const std::string& text) {
    std::string error;
    auto value = parse(text, error);
    if (!value) throw UsageError{error};
    return *value;
}

}  // namespace mk27x
