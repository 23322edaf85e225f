#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "http/response.h"

namespace nerix {

// The decoding of each job's request body: pure functions, body bytes in, either what the job
// needs or the one refusal the request is answered with. Nothing here touches a file or runs a
// process.

// What a compose request asks for, before any path is formed.
struct ComposeInput {
    std::string source;               // the piece's text, non-empty, written as it is
    std::string format;               // the output file's extension: "mid" unless a string was sent
    std::optional<std::string> name;  // given to the stem sanitiser; absent unless a string was sent
};

std::variant<ComposeInput, Response> decodeComposeBody(std::string_view body);

// The tool's arguments for a compose run, in order.
std::vector<std::string> composeArguments(const std::string& sourcePath, const std::string& outputPath);

// What a master request asks for.
struct MasterInput {
    std::string manifest;
    std::optional<std::string> output;  // absent unless a string was sent
};

std::variant<MasterInput, Response> decodeMasterBody(std::string_view body);

// The tool's arguments for a master run: "master", "run", the manifest, then "-o" and the
// output when there is one.
std::vector<std::string> masterArguments(const MasterInput& input);

// The tool's arguments for a verify run: "master", "verify", the wav, "--seed", the seed, then
// "--carrier", "--mix-db", "--null-trials" with the text of each optional value that is present.
std::variant<std::vector<std::string>, Response> decodeVerifyBody(std::string_view body);

// The refusals, shared with the handlers and the tests.
inline constexpr std::string_view kComposeInvalidJson = "invalid JSON";
inline constexpr std::string_view kComposeMissingSource = "missing 'source'";
inline constexpr std::string_view kComposeInvalidFormat = "invalid 'format'";
inline constexpr std::string_view kMasterRefusal = "missing 'manifest' (path to .master.json)";
inline constexpr std::string_view kVerifyRefusal = "missing 'wav' or 'seed'";

}  // namespace nerix
