#include "session/parameter_file.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fstream>

#include "params/parameter_text.h"
#include "recording/json_line.h"
#include "recording/sample_file.h"

namespace mk27x {
namespace {

constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxString = 256;
constexpr const char* kProgramName = "MK27x-SP 0.1";

using Document = nlohmann::json;

// A document beyond the reader's bounds (nesting, string length).
struct JsonLimit {
    std::string text;
};

// Strict JSON within the bounds: containers nested at most kMaxDepth deep,
// strings at most kMaxString bytes.
Document ParseDocument(std::string_view text) {
    return Document::parse(text, [](int depth, Document::parse_event_t event, Document& parsed) {
        using Event = Document::parse_event_t;
        if ((event == Event::object_start || event == Event::array_start) && depth > kMaxDepth)
            throw JsonLimit{"nesting too deep"};
        if ((event == Event::key || event == Event::value) && parsed.is_string() &&
            parsed.get_ref<const std::string&>().size() > kMaxString)
            throw JsonLimit{"string too long"};
        return true;
    });
}

// nlohmann's reason for a syntax error, as "unexpected end of file at byte 17"
// (bytes counted from 0).
std::string SyntaxError(const nlohmann::json::parse_error& e) {
    std::string reason = e.what();
    if (const auto dash = reason.find(" - "); dash != std::string::npos) reason.erase(0, dash + 3);
    if (const auto semicolon = reason.find(';'); semicolon != std::string::npos)
        reason.erase(semicolon);
    if (reason == "unexpected end of input") reason = "unexpected end of file";
    return reason + " at byte " + std::to_string(e.byte > 0 ? e.byte - 1 : 0);
}

// A whole number within [lo, hi], or nothing when the member is missing, not a
// number or out of bounds.
std::optional<std::int64_t> Integer(const Document* v, std::int64_t lo, std::int64_t hi) {
    if (!v || !v->is_number()) return std::nullopt;
    const double n = v->get<double>();
    if (n != std::floor(n) || n < static_cast<double>(lo) || n > static_cast<double>(hi))
        return std::nullopt;
    return static_cast<std::int64_t>(n);
}

// The member `key` of an object, null when it has none.
const Document* Member(const Document& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

struct Refused {
    std::string text;
};

SensorIdentity ReadSensor(const Document& s) {
    if (!s.is_object()) throw Refused{"\"sensor\" is not an object"};
    auto field = [&](const char* key, std::int64_t hi) {
        const auto n = Integer(Member(s, key), 0, hi);
        if (!n)
            throw Refused{std::string("sensor \"") + key + "\" is missing or not a number 0 to " +
                          std::to_string(hi)};
        return *n;
    };
    SensorIdentity id;
    id.Model = static_cast<std::uint8_t>(field("model", 255));
    id.Release = static_cast<std::uint8_t>(field("release", 255));
    id.SerialNumber = static_cast<std::uint16_t>(field("serial", 65535));
    id.BaseDistance = static_cast<std::uint16_t>(field("base_mm", 65535));
    id.MeasuringRange = static_cast<std::uint16_t>(field("range_mm", 65535));
    return id;
}

ParameterFile ReadDocument(const Document& doc) {
    if (!doc.is_object()) throw Refused{"not a parameter file"};
    const Document* format = Member(doc, "format");
    if (!format || !format->is_string() ||
        format->get_ref<const std::string&>() != kParameterFileFormat)
        throw Refused{"not a parameter file"};
    const auto version = Integer(Member(doc, "version"), 0, 1 << 30);
    if (!version) throw Refused{"\"version\" is missing or not a whole number"};
    if (*version != kParameterFileVersion)
        throw Refused{"unknown format version " + std::to_string(*version)};

    ParameterFile file;
    file.version = static_cast<int>(*version);
    if (const Document* p = Member(doc, "program"); p && p->is_string())
        file.program = p->get<std::string>();
    if (const Document* t = Member(doc, "time"); t && t->is_string())
        file.time = t->get<std::string>();
    if (const Document* s = Member(doc, "sensor"); s && !s->is_null()) file.sensor = ReadSensor(*s);

    const Document* list = Member(doc, "parameters");
    if (!list || !list->is_array()) throw Refused{"\"parameters\" is not a list"};
    if (list->size() != static_cast<std::size_t>(kParameterCount))
        throw Refused{"\"parameters\" holds " + std::to_string(list->size()) + " entries, not " +
                      std::to_string(kParameterCount)};
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const std::string name(ParameterTable[k].name);
        const Document& e = (*list)[k];
        const std::string who = "Parameter '" + name + "'";
        if (!e.is_object()) throw Refused{who + ": the entry is not an object"};
        const auto index = Integer(Member(e, "index"), 0, kParameterCount - 1);
        if (!index || *index != i) throw Refused{who + ": \"index\" is not " + std::to_string(i)};
        const Document* n = Member(e, "name");
        if (!n || !n->is_string() || n->get_ref<const std::string&>() != name)
            throw Refused{who + ": \"name\" does not match"};
        const Document* v = Member(e, "value");
        if (!v || !v->is_number()) throw Refused{who + ": \"value\" is not a number"};
        const auto value = Integer(v, 0, 65535);
        if (!value) throw Refused{who + ": \"value\" is not a whole number 0 to 65535"};
        const auto raw = static_cast<std::uint16_t>(*value);
        if (std::string problem = ParameterValueProblem(i, raw); !problem.empty())
            throw Refused{who + ": " + problem};
        file.values[k] = raw;
    }
    return file;
}

}  // namespace

std::string ParameterValueProblem(int index, std::uint16_t value) {
    const ParameterRow& row = ParameterTable[static_cast<std::size_t>(index)];
    const std::string shown = std::to_string(value);
    if (row.edit_style == EditStyle::PickList) {
        if (value == row.default_value) return {};
        const auto items = PickListItems(index);
        const std::string text = ParameterText(index, value, 0);
        if (std::find(items.begin(), items.end(), text) == items.end())
            return "value " + shown + " is not one the row offers";
        return {};
    }
    if (index == kSynchronization || index == kOutLogic) {
        if (value > 255) return "value " + shown + " does not fit one byte";
        return {};
    }
    const std::int32_t v = row.form == DisplayForm::SignedDecimal
                               ? static_cast<std::int32_t>(static_cast<std::int16_t>(value))
                               : static_cast<std::int32_t>(value);
    if (v < row.lower || v > row.upper)
        return "value " + std::to_string(v) + " is out of range (" + std::to_string(row.lower) +
               " to " + std::to_string(row.upper) + ")";
    return {};
}

std::string ParameterFileTime() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string ParameterFileText(const ParameterSet& values,
                              const std::optional<SensorIdentity>& sensor,
                              const std::string& time) {
    // One member a line, the sensor and each parameter on a line of their own.
    const std::int16_t range = sensor ? sensor->SignedRange() : 0;
    const Json head = {{"format", kParameterFileFormat},
                       {"version", kParameterFileVersion},
                       {"program", kProgramName},
                       {"time", time},
                       {"sensor", sensor ? IdentityJson(*sensor) : Json()}};
    std::string text = "{\n";
    for (const auto& [name, value] : head.items())
        text += "  " + JsonLine(name) + ": " + JsonLine(value) + ",\n";
    text += "  \"parameters\": [\n";
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        text += "    " +
                JsonLine({{"index", i},
                          {"name", ParameterTable[k].name},
                          {"value", values[k]},
                          {"text", ParameterText(i, values[k], range)}}) +
                (i + 1 < kParameterCount ? ",\n" : "\n");
    }
    return text + "  ]\n}\n";
}

ParameterFileResult ParseParameterFile(std::string_view text) {
    ParameterFileResult result;
    if (text.size() > kMaxParameterFileBytes) {
        result.error =
            "the file is larger than " + std::to_string(kMaxParameterFileBytes) + " bytes";
        return result;
    }
    try {
        result.file = ReadDocument(ParseDocument(text));
        result.ok = true;
    } catch (const nlohmann::json::parse_error& e) {
        result.error = "not valid JSON: " + SyntaxError(e);
    } catch (const nlohmann::json::out_of_range&) {
        result.error = "not valid JSON: bad number";
    } catch (const JsonLimit& e) {
        result.error = "not valid JSON: " + e.text;
    } catch (const Refused& e) {
        result.error = e.text;
    }
    return result;
}

ParameterFileResult ReadParameterFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {false, "cannot open the file", {}};
    std::string text(kMaxParameterFileBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (in.bad()) return {false, "cannot read the file", {}};
    return ParseParameterFile(text);
}

bool WriteParameterFile(const std::string& path, const std::string& text, std::string& error) {
    return ReplaceFileContents(path, text, &error);
}

bool ApplyParameterFile(const ParameterFile& file, const std::optional<SensorIdentity>& current,
                        ParameterSet& values,
                        const std::function<bool(int file_model, int sensor_model)>& other_model) {
    if (file.sensor && current && file.sensor->Model != current->Model && other_model &&
        !other_model(file.sensor->Model, current->Model))
        return false;
    for (std::size_t k = 0; k < static_cast<std::size_t>(kParameterCount); ++k)
        values[k] = file.values[k];
    return true;
}

}  // namespace mk27x
