// The JSON writer, which every answer passes through with the tool's output in it: any bytes,
// as a string value, as a key and nested in an array, are either refused (not valid UTF-8) or
// written as compact JSON text that reads back as the same value, holds no raw control byte
// and no "/" that is not escaped.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <simdjson.h>
#include <nlohmann/json.hpp>

#include "http/json_writer.h"

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Every "/" of the text is the second character of an escape, and no byte is a control byte.
bool solidusEscapedAndNoControls(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x20) return false;
        if (c == '\\') {
            ++i;  // the escaped character
            continue;
        }
        if (c == '/') return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const bool valid = simdjson::validate_utf8(text.data(), text.size());

    // The tool's output as the answers carry it, and the same bytes as a key and deeper down.
    const nlohmann::json answer{{"ok", false}, {"exitCode", -1}, {"stdout", text}, {"stderr", ""}};
    const nlohmann::json nested{{text, nlohmann::json::array({text, nlohmann::json{{"x", text}}, 1.5})}};
    for (const nlohmann::json* value : {&answer, &nested}) {
        auto written = nerix::writeJson(*value);
        check(written.ok() == valid);
        if (!written) continue;
        check(solidusEscapedAndNoControls(*written));
        auto back = nlohmann::json::parse(*written, nullptr, false);
        check(!back.is_discarded() && back == *value);
    }
    return 0;
}
