// The master job's body: any bytes are either refused with the one master refusal or turned
// into "master", "run", the manifest and, when "output" is a string, "-o" and the output,
// exactly as a second JSON parser reads them. A NUL in a path is always refused.
#include <cstddef>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "body_oracle.h"
#include "jobs/job_body.h"

using nerix::fuzz::BodyOracle;
using nerix::fuzz::check;

namespace {

bool isRefusal(const std::variant<nerix::MasterInput, nerix::Response>& decoded) {
    const auto* response = std::get_if<nerix::Response>(&decoded);
    return response && response->status == 400 && response->json &&
           *response->json == nlohmann::json{{"error", nerix::kMasterRefusal}};
}

bool holdsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto decoded = nerix::decodeMasterBody(body);

    if (const auto* input = std::get_if<nerix::MasterInput>(&decoded)) {
        const auto args = nerix::masterArguments(*input);
        check(args.size() == (input->output ? 5u : 3u));
        check(args[0] == "master" && args[1] == "run");
        if (args.size() == 5) check(args[3] == "-o");
        for (const auto& arg : args) check(!holdsNul(arg));
    } else {
        check(isRefusal(decoded));
    }

    BodyOracle oracle(body);
    if (!readAsObject(oracle, isRefusal(decoded))) return 0;
    auto manifest = oracle.string("manifest");
    auto output = oracle.string("output");
    if (!manifest || holdsNul(*manifest) || (output && holdsNul(*output))) {
        check(isRefusal(decoded));
        return 0;
    }
    std::vector<std::string> expected{"master", "run", *manifest};
    if (output) {
        expected.push_back("-o");
        expected.push_back(*output);
    }
    const auto* input = std::get_if<nerix::MasterInput>(&decoded);
    check(input != nullptr && nerix::masterArguments(*input) == expected);
    return 0;
}
