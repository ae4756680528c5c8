// JSON as the program writes it for people and scripts alike: a value on one
// line with ", " between items and ": " after each name ({"mm": 25.0}), where
// nlohmann's dump() writes neither space. Strings and numbers are nlohmann's;
// a figure that must show a fixed count of decimals goes in as its text.
//
// Plain functions; callable from any thread.
#pragma once

#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>

namespace mk27x {

// Members keep the order they were added in.
using Json = nlohmann::ordered_json;

// `value` on one line; text that is not UTF-8 is replaced, never refused.
std::string JsonLine(const Json& value);

// An object on one line from its members, each value already JSON text (a
// number with fixed decimals, "2.500", or another JsonLine).
std::string JsonObjectLine(std::initializer_list<std::pair<std::string_view, std::string>> members);

struct SensorIdentity;
// The sensor's identity: {"model": 27, "release": 2, "serial": 1234,
// "base_mm": 100, "range_mm": 50}.
Json IdentityJson(const SensorIdentity& id);

}  // namespace mk27x
