// The compose job's body: any bytes are either refused with one of the compose refusals or
// give the source, format and name that a second JSON parser reads; and the file name built
// from them is always one path component inside the output folder.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>

#include <simdjson.h>

#include "body_oracle.h"
#include "jobs/job_body.h"
#include "jobs/stem.h"

using nerix::fuzz::BodyOracle;
using nerix::fuzz::check;

namespace {

bool isRefusal(const std::variant<nerix::ComposeInput, nerix::Response>& decoded, std::string_view message) {
    const auto* response = std::get_if<nerix::Response>(&decoded);
    return response && response->status == 400 && response->json &&
           *response->json == nlohmann::json{{"error", message}};
}

// The stem and the output file's name: one non-empty path component, never "." or "..",
// valid UTF-8, without NUL.
void checkFileName(const nerix::ComposeInput& input) {
    auto stem = nerix::sanitizeStem(input.name);
    if (!input.name) check(!stem);
    if (!stem) return;
    check(!stem->empty() && stem->front() != '-');
    check(stem->find('/') == std::string::npos && stem->find('\0') == std::string::npos);
    check(simdjson::validate_utf8(stem->data(), stem->size()));
    std::string file = *stem + "." + input.format;
    check(file.find('/') == std::string::npos && file.find('\0') == std::string::npos);
    check(file != "." && file != "..");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto decoded = nerix::decodeComposeBody(body);

    if (const auto* input = std::get_if<nerix::ComposeInput>(&decoded)) {
        check(!input->source.empty());
        check(input->format.find('/') == std::string::npos && input->format.find('\0') == std::string::npos);
        checkFileName(*input);
    } else {
        check(isRefusal(decoded, nerix::kComposeInvalidJson) || isRefusal(decoded, nerix::kComposeMissingSource) ||
              isRefusal(decoded, nerix::kComposeInvalidFormat));
    }

    BodyOracle oracle(body);
    if (!readAsObject(oracle, isRefusal(decoded, nerix::kComposeInvalidJson))) return 0;
    auto source = oracle.string("source");
    if (!source || source->empty()) {
        check(isRefusal(decoded, nerix::kComposeMissingSource));
        return 0;
    }
    auto format = oracle.string("format");
    if (format && (format->find('/') != std::string::npos || format->find('\0') != std::string::npos)) {
        check(isRefusal(decoded, nerix::kComposeInvalidFormat));
        return 0;
    }
    const auto* input = std::get_if<nerix::ComposeInput>(&decoded);
    check(input != nullptr);
    check(input->source == *source);
    check(input->format == (format ? *format : "mid"));
    check(input->name == oracle.string("name"));
    return 0;
}
