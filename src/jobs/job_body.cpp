#include "jobs/job_body.h"

#include <charconv>

#include <nlohmann/json.hpp>

namespace nerix {
namespace {

using Json = nlohmann::json;

Response refusal(std::string_view message) { return errorResponse(400, std::string(message)); }

// A body the jobs can use is exactly one JSON object; anything else comes back as null.
// The parser reports failure by its result, never by an exception.
std::optional<Json> parseObject(std::string_view body) {
    if (body.empty()) return std::nullopt;
    // A NUL byte is never part of JSON text, but the parser takes it for the end of the input
    // and would accept `{...}` followed by a NUL and anything at all.
    if (body.find('\0') != std::string_view::npos) return std::nullopt;
    Json parsed = Json::parse(body.begin(), body.end(), nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
    return parsed;
}

// The string under `key`, or nothing when the key is absent or holds another JSON type.
const std::string* stringMember(const Json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end() || !found->is_string()) return nullptr;
    return &found->get_ref<const std::string&>();
}

// The operating system reads arguments and paths up to the first NUL, so such a string would
// reach the tool cut short.
bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

void appendNumber(std::string& out, const Json& value) {
    char digits[32];
    std::to_chars_result written{};
    if (value.is_number_unsigned())
        written = std::to_chars(digits, digits + sizeof digits, value.get<std::uint64_t>());
    else if (value.is_number_integer())
        written = std::to_chars(digits, digits + sizeof digits, value.get<std::int64_t>());
    else  // shortest text that reads back as the same double: -6.5, not -6.500000
        written = std::to_chars(digits, digits + sizeof digits, value.get<double>());
    out.append(digits, written.ptr);
}

void appendQuoted(std::string& out, const std::string& text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
}

void appendScalar(std::string& out, const Json& value) {
    if (value.is_string()) return appendQuoted(out, value.get_ref<const std::string&>());
    if (value.is_number()) return appendNumber(out, value);
    if (value.is_boolean()) {
        out += value.get<bool>() ? "true" : "false";
        return;
    }
    out += "null";
}

// Compact JSON text of any value. Walks with a stack of its own rather than by recursion: a
// body may nest arrays millions deep, and that must not overflow the queue thread's stack.
std::string compactText(const Json& root) {
    struct Frame {
        const Json* container;
        Json::const_iterator next;
    };
    std::string out;
    std::vector<Frame> stack;
    const Json* value = &root;
    for (;;) {
        if (value != nullptr) {
            if (value->is_array() || value->is_object()) {
                out += value->is_array() ? '[' : '{';
                stack.push_back({value, value->cbegin()});
            } else {
                appendScalar(out, *value);
            }
            value = nullptr;
        }
        if (stack.empty()) return out;
        Frame& top = stack.back();
        if (top.next == top.container->cend()) {
            out += top.container->is_array() ? ']' : '}';
            stack.pop_back();
            continue;
        }
        if (top.next != top.container->cbegin()) out += ',';
        if (top.container->is_object()) {
            appendQuoted(out, top.next.key());
            out += ':';
        }
        value = &*top.next;
        ++top.next;
    }
}

// An optional verify value as one argument: a string's own characters, a number's decimal
// text, anything else its compact JSON text.
std::string optionText(const Json& value) {
    if (value.is_string()) return value.get<std::string>();
    std::string out;
    if (value.is_number()) {
        appendNumber(out, value);
        return out;
    }
    return compactText(value);
}

}  // namespace

std::variant<ComposeInput, Response> decodeComposeBody(std::string_view body) {
    auto object = parseObject(body);
    if (!object) return refusal(kComposeInvalidJson);

    const std::string* source = stringMember(*object, "source");
    if (source == nullptr || source->empty()) return refusal(kComposeMissingSource);

    ComposeInput input;
    input.source = *source;
    input.format = "mid";
    if (const std::string* format = stringMember(*object, "format")) {
        // The format goes into the output file's name: a "/" would lead it out of the output
        // folder and a NUL would cut the name short.
        if (format->find('/') != std::string::npos || holdsNul(*format)) return refusal(kComposeInvalidFormat);
        input.format = *format;
    }
    if (const std::string* name = stringMember(*object, "name")) input.name = *name;
    return input;
}

std::vector<std::string> composeArguments(const std::string& sourcePath, const std::string& outputPath) {
    return {"compose", "build", sourcePath, "-o", outputPath};
}

std::variant<MasterInput, Response> decodeMasterBody(std::string_view body) {
    auto object = parseObject(body);
    if (!object) return refusal(kMasterRefusal);

    const std::string* manifest = stringMember(*object, "manifest");
    if (manifest == nullptr || holdsNul(*manifest)) return refusal(kMasterRefusal);

    MasterInput input{*manifest, std::nullopt};
    if (const std::string* output = stringMember(*object, "output")) {
        if (holdsNul(*output)) return refusal(kMasterRefusal);
        input.output = *output;
    }
    return input;
}

std::vector<std::string> masterArguments(const MasterInput& input) {
    std::vector<std::string> args{"master", "run", input.manifest};
    if (input.output) {
        args.push_back("-o");
        args.push_back(*input.output);
    }
    return args;
}

std::variant<std::vector<std::string>, Response> decodeVerifyBody(std::string_view body) {
    auto object = parseObject(body);
    if (!object) return refusal(kVerifyRefusal);

    const std::string* wav = stringMember(*object, "wav");
    if (wav == nullptr || holdsNul(*wav)) return refusal(kVerifyRefusal);
    const std::string* seed = stringMember(*object, "seed");
    if (seed == nullptr || holdsNul(*seed)) return refusal(kVerifyRefusal);

    std::vector<std::string> args{"master", "verify", *wav, "--seed", *seed};
    // Always in this order, whatever the order of the keys in the body; null counts as present.
    static constexpr std::pair<const char*, const char*> kOptions[] = {
        {"carrier", "--carrier"}, {"mixDb", "--mix-db"}, {"nullTrials", "--null-trials"}};
    for (const auto& [key, option] : kOptions) {
        auto found = object->find(key);
        if (found == object->end()) continue;
        std::string text = optionText(*found);
        if (holdsNul(text)) return refusal(kVerifyRefusal);
        args.push_back(option);
        args.push_back(std::move(text));
    }
    return args;
}

}  // namespace nerix
