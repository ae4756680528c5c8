#include "session/parameter_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

#include "link/sample_file.h"
#include "params/parameter_text.h"
#include "session/texts.h"

namespace mk27x {
namespace {

constexpr int kMaxDepth = 8;
constexpr std::size_t kMaxString = 256;
constexpr std::size_t kMaxItems = 64;
constexpr const char* kProgramName = "MK27x-SP 0.1";

// --- a small, strict JSON reader ------------------------------------------------

struct Json {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0;
    std::string string;
    std::vector<Json> items;
    std::vector<std::pair<std::string, Json>> members;

    const Json* Member(std::string_view key) const {
        for (const auto& [k, v] : members)
            if (k == key) return &v;
        return nullptr;
    }
};

struct JsonError {
    std::string text;
};

class JsonReader {
public:
    explicit JsonReader(std::string_view text) : s_(text) {}

    Json Document() {
        Json value = Value(0);
        Space();
        if (i_ != s_.size()) Fail("unexpected text after the document");
        return value;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw JsonError{what + " at byte " + std::to_string(i_)};
    }

    void Space() {
        while (i_ < s_.size() &&
               (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r'))
            ++i_;
    }

    char Peek() {
        Space();
        if (i_ >= s_.size()) Fail("unexpected end of file");
        return s_[i_];
    }

    void Expect(char c) {
        if (Peek() != c) Fail(std::string("expected '") + c + "'");
        ++i_;
    }

    bool Word(std::string_view w) {
        if (s_.substr(i_, w.size()) != w) return false;
        i_ += w.size();
        return true;
    }

    Json Value(int depth) {
        if (depth > kMaxDepth) Fail("nesting too deep");
        Json v;
        const char c = Peek();
        if (c == '{') {
            v.kind = Json::Kind::Object;
            ++i_;
            if (Peek() == '}') {
                ++i_;
                return v;
            }
            for (;;) {
                if (Peek() != '"') Fail("expected a name");
                std::string key = String();
                Expect(':');
                if (v.members.size() >= kMaxItems) Fail("too many members");
                v.members.emplace_back(std::move(key), Value(depth + 1));
                if (Peek() == ',') {
                    ++i_;
                    continue;
                }
                Expect('}');
                return v;
            }
        }
        if (c == '[') {
            v.kind = Json::Kind::Array;
            ++i_;
            if (Peek() == ']') {
                ++i_;
                return v;
            }
            for (;;) {
                if (v.items.size() >= kMaxItems) Fail("too many items");
                v.items.push_back(Value(depth + 1));
                if (Peek() == ',') {
                    ++i_;
                    continue;
                }
                Expect(']');
                return v;
            }
        }
        if (c == '"') {
            v.kind = Json::Kind::String;
            v.string = String();
            return v;
        }
        if (Word("true") || Word("false")) {
            v.kind = Json::Kind::Bool;
            v.boolean = s_[i_ - 1] == 'e' && s_[i_ - 2] == 'u';
            return v;
        }
        if (Word("null")) return v;
        if (c == '-' || (c >= '0' && c <= '9')) {
            v.kind = Json::Kind::Number;
            const char* begin = s_.data() + i_;
            const char* end = s_.data() + s_.size();
            const auto [ptr, ec] = std::from_chars(begin, end, v.number);
            if (ec != std::errc() || !std::isfinite(v.number)) Fail("bad number");
            i_ += static_cast<std::size_t>(ptr - begin);
            return v;
        }
        Fail("unexpected character");
    }

    std::string String() {
        ++i_;  // the opening quote
        std::string out;
        for (;;) {
            if (i_ >= s_.size()) Fail("unterminated string");
            const char c = s_[i_++];
            if (c == '"') return out;
            if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
            if (out.size() >= kMaxString) Fail("string too long");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (i_ >= s_.size()) Fail("unterminated string");
            const char e = s_[i_++];
            switch (e) {
                case '"':
                case '\\':
                case '/':
                    out += e;
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    if (i_ + 4 > s_.size()) Fail("bad escape");
                    unsigned code = 0;
                    const auto [ptr, ec] =
                        std::from_chars(s_.data() + i_, s_.data() + i_ + 4, code, 16);
                    if (ec != std::errc() || ptr != s_.data() + i_ + 4) Fail("bad escape");
                    i_ += 4;
                    // Names and texts here are plain ASCII; others are kept as '?'.
                    out += code < 0x80 ? static_cast<char>(code) : '?';
                    break;
                }
                default:
                    Fail("bad escape");
            }
        }
    }

    std::string_view s_;
    std::size_t i_ = 0;
};

// A whole number within [lo, hi] from a member, or the reason it is not one.
std::optional<std::int64_t> Integer(const Json* v, std::int64_t lo, std::int64_t hi) {
    if (!v || v->kind != Json::Kind::Number) return std::nullopt;
    if (v->number != std::floor(v->number) || v->number < static_cast<double>(lo) ||
        v->number > static_cast<double>(hi))
        return std::nullopt;
    return static_cast<std::int64_t>(v->number);
}

struct Refused {
    std::string text;
};

SensorIdentity ReadSensor(const Json& s) {
    if (s.kind != Json::Kind::Object) throw Refused{"\"sensor\" is not an object"};
    auto field = [&](const char* key, std::int64_t hi) {
        const auto n = Integer(s.Member(key), 0, hi);
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

ParameterFile ReadDocument(const Json& doc) {
    if (doc.kind != Json::Kind::Object) throw Refused{"not a parameter file"};
    const Json* format = doc.Member("format");
    if (!format || format->kind != Json::Kind::String || format->string != kParameterFileFormat)
        throw Refused{"not a parameter file"};
    const auto version = Integer(doc.Member("version"), 0, 1 << 30);
    if (!version) throw Refused{"\"version\" is missing or not a whole number"};
    if (*version != kParameterFileVersion)
        throw Refused{"unknown format version " + std::to_string(*version)};

    ParameterFile file;
    file.version = static_cast<int>(*version);
    if (const Json* p = doc.Member("program"); p && p->kind == Json::Kind::String)
        file.program = p->string;
    if (const Json* t = doc.Member("time"); t && t->kind == Json::Kind::String)
        file.time = t->string;
    if (const Json* s = doc.Member("sensor"); s && s->kind != Json::Kind::Null)
        file.sensor = ReadSensor(*s);

    const Json* list = doc.Member("parameters");
    if (!list || list->kind != Json::Kind::Array) throw Refused{"\"parameters\" is not a list"};
    if (list->items.size() != static_cast<std::size_t>(kParameterCount))
        throw Refused{"\"parameters\" holds " + std::to_string(list->items.size()) +
                      " entries, not " + std::to_string(kParameterCount)};
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        const std::string name(ParameterTable[k].name);
        const Json& e = list->items[k];
        const std::string who = "Parameter '" + name + "'";
        if (e.kind != Json::Kind::Object) throw Refused{who + ": the entry is not an object"};
        const auto index = Integer(e.Member("index"), 0, kParameterCount - 1);
        if (!index || *index != i) throw Refused{who + ": \"index\" is not " + std::to_string(i)};
        const Json* n = e.Member("name");
        if (!n || n->kind != Json::Kind::String || n->string != name)
            throw Refused{who + ": \"name\" does not match"};
        const Json* v = e.Member("value");
        if (!v || v->kind != Json::Kind::Number) throw Refused{who + ": \"value\" is not a number"};
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

std::string JsonQuoted(std::string_view s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            out += esc;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

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
    const std::int16_t range = sensor ? sensor->SignedRange() : 0;
    std::ostringstream out;
    out << "{\n  \"format\": " << JsonQuoted(kParameterFileFormat)
        << ",\n  \"version\": " << kParameterFileVersion
        << ",\n  \"program\": " << JsonQuoted(kProgramName) << ",\n  \"time\": " << JsonQuoted(time)
        << ",\n  \"sensor\": ";
    if (sensor) {
        out << "{\"model\": " << +sensor->Model << ", \"release\": " << +sensor->Release
            << ", \"serial\": " << sensor->SerialNumber << ", \"base_mm\": " << sensor->BaseDistance
            << ", \"range_mm\": " << sensor->MeasuringRange << "}";
    } else {
        out << "null";
    }
    out << ",\n  \"parameters\": [\n";
    for (int i = 0; i < kParameterCount; ++i) {
        const auto k = static_cast<std::size_t>(i);
        out << "    {\"index\": " << i << ", \"name\": " << JsonQuoted(ParameterTable[k].name)
            << ", \"value\": " << values[k]
            << ", \"text\": " << JsonQuoted(ParameterText(i, values[k], range)) << "}"
            << (i + 1 < kParameterCount ? ",\n" : "\n");
    }
    out << "  ]\n}\n";
    return out.str();
}

ParameterFileResult ParseParameterFile(std::string_view text) {
    ParameterFileResult result;
    if (text.size() > kMaxParameterFileBytes) {
        result.error =
            "the file is larger than " + std::to_string(kMaxParameterFileBytes) + " bytes";
        return result;
    }
    try {
        const Json doc = JsonReader(text).Document();
        result.file = ReadDocument(doc);
        result.ok = true;
    } catch (const JsonError& e) {
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
                        ParameterSet& values, MessageBox& messages) {
    if (file.sensor && current && file.sensor->Model != current->Model) {
        if (messages.Show(OtherModelQuestion(file.sensor->Model, current->Model), kLinkCaption,
                          MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK)
            return false;
    }
    for (std::size_t k = 0; k < static_cast<std::size_t>(kParameterCount); ++k)
        values[k] = file.values[k];
    return true;
}

}  // namespace mk27x
