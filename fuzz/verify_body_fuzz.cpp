// The verify job's body: any bytes are either refused with the one verify refusal or turned
// into "master", "verify", the wav, "--seed", the seed and then, in this fixed order, each
// optional setting that is present, with the value's text: a string's characters, a number's
// decimal text that reads back as the same number, anything else as JSON text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "body_oracle.h"
#include "jobs/job_body.h"

using nerix::fuzz::BodyOracle;
using nerix::fuzz::check;

namespace {

bool isRefusal(const std::variant<std::vector<std::string>, nerix::Response>& decoded) {
    const auto* response = std::get_if<nerix::Response>(&decoded);
    return response && response->status == 400 && response->json &&
           *response->json == nlohmann::json{{"error", nerix::kVerifyRefusal}};
}

bool holdsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// Whether `text` is a fair text for the setting's value.
bool textFits(const simdjson::dom::element& value, const std::string& text) {
    switch (value.type()) {
        case simdjson::dom::element_type::STRING: return text == value.get_string().value_unsafe();
        case simdjson::dom::element_type::INT64: return text == std::to_string(value.get_int64().value_unsafe());
        case simdjson::dom::element_type::UINT64: return text == std::to_string(value.get_uint64().value_unsafe());
        case simdjson::dom::element_type::DOUBLE: {
            char* end = nullptr;
            double read = std::strtod(text.c_str(), &end);
            return !text.empty() && end == text.c_str() + text.size() && read == value.get_double().value_unsafe();
        }
        default: {
            // true, false, null, an array or an object: JSON text of the same kind.
            simdjson::dom::parser parser;
            simdjson::dom::element back;
            if (parser.parse(text).get(back)) return false;
            return back.type() == value.type();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto decoded = nerix::decodeVerifyBody(body);

    if (const auto* args = std::get_if<std::vector<std::string>>(&decoded)) {
        check(args->size() >= 5 && args->size() <= 11 && args->size() % 2 == 1);
        check((*args)[0] == "master" && (*args)[1] == "verify" && (*args)[3] == "--seed");
        for (const auto& arg : *args) check(!holdsNul(arg));
    } else {
        check(isRefusal(decoded));
    }

    BodyOracle oracle(body);
    if (!readAsObject(oracle, isRefusal(decoded))) return 0;
    auto wav = oracle.string("wav");
    auto seed = oracle.string("seed");
    if (!wav || !seed || holdsNul(*wav) || holdsNul(*seed)) {
        check(isRefusal(decoded));
        return 0;
    }
    const auto* args = std::get_if<std::vector<std::string>>(&decoded);
    if (args == nullptr) {
        // Only a setting whose text would hold a NUL may still refuse the body.
        check(isRefusal(decoded));
        bool nulSetting = false;
        for (const char* key : {"carrier", "mixDb", "nullTrials"}) {
            auto value = oracle.member(key);
            nulSetting = nulSetting || (value && value->is_string() && holdsNul(value->get_string().value_unsafe()));
        }
        check(nulSetting);
        return 0;
    }
    check((*args)[2] == *wav && (*args)[4] == *seed);
    std::size_t at = 5;
    for (auto [key, option] : {std::pair{"carrier", "--carrier"}, std::pair{"mixDb", "--mix-db"},
                               std::pair{"nullTrials", "--null-trials"}}) {
        auto value = oracle.member(key);
        if (!value) continue;
        check(at + 1 < args->size() && (*args)[at] == option);
        check(textFits(*value, (*args)[at + 1]));
        at += 2;
    }
    check(at == args->size());
    return 0;
}
