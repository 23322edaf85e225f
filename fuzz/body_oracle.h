#pragma once

// A second, independent reading of a job body for the body fuzzers: simdjson's strict parser.
// Where it and the body decoders disagree on whether a body is one JSON object, or on what a
// key holds, one of them is wrong.
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include <simdjson.h>

namespace nerix::fuzz {

inline void check(bool condition) {
    if (!condition) std::abort();
}

class BodyOracle {
public:
    enum class Verdict {
        Object,     // one JSON object: members can be looked at
        NotObject,  // not JSON, or JSON whose top level is not an object: the body is refused
        Unsure,     // the two parsers may rightly differ (a number past 64 bits, very deep
                    // nesting, a byte-order mark, a key given twice): nothing to compare
    };

    explicit BodyOracle(std::string_view body) {
        if (body.starts_with("\xEF\xBB\xBF")) return;  // a BOM: one parser may skip it
        simdjson::padded_string padded(body);
        simdjson::dom::element root;
        auto error = parser_.parse(padded).get(root);
        // This simdjson refuses integers past 64 bits that the other parser reads as doubles,
        // and cannot tell them from malformed numbers.
        if (error == simdjson::NUMBER_ERROR || error == simdjson::NUMBER_OUT_OF_RANGE ||
            error == simdjson::DEPTH_ERROR || error == simdjson::CAPACITY || error == simdjson::MEMALLOC)
            return;
        if (error) {
            verdict_ = Verdict::NotObject;
            return;
        }
        if (!root.is_object()) {
            verdict_ = Verdict::NotObject;
            return;
        }
        simdjson::dom::object object = root.get_object().value_unsafe();
        std::set<std::string_view> keys;
        for (auto field : object)
            if (!keys.insert(field.key).second) return;  // a key given twice
        object_ = object;
        verdict_ = Verdict::Object;
    }
    BodyOracle(const BodyOracle&) = delete;
    BodyOracle& operator=(const BodyOracle&) = delete;

    Verdict verdict() const { return verdict_; }

    std::optional<simdjson::dom::element> member(const char* key) const {
        simdjson::dom::element value;
        if (object_.at_key(key).get(value)) return std::nullopt;
        return value;
    }

    // The member's string, or nothing when it is absent or of another JSON type.
    std::optional<std::string> string(const char* key) const {
        auto value = member(key);
        if (!value || !value->is_string()) return std::nullopt;
        return std::string(value->get_string().value_unsafe());
    }

private:
    simdjson::dom::parser parser_;
    simdjson::dom::object object_;
    Verdict verdict_ = Verdict::Unsure;
};

// True when the oracle read the body as one JSON object, so that its members can be compared;
// a body it read as anything else must have been refused.
inline bool readAsObject(const BodyOracle& oracle, bool refused) {
    if (oracle.verdict() == BodyOracle::Verdict::NotObject) check(refused);
    return oracle.verdict() == BodyOracle::Verdict::Object;
}

}  // namespace nerix::fuzz
