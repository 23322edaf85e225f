// The three job endpoints over real loopback sockets, with a tool that records what it was
// given: one request per path through each handler. The body decoders' own tests go through
// every refusal and argument text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http/json_writer.h"
#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using test::post;
using Json = nlohmann::json;

using JobEndpoints = test::JobEndpointTest;

TEST_F(JobEndpoints, RefusedBodiesRunNothingAndWriteNothing) {
    struct Case {
        std::string path, body, error;
    };
    for (const Case& c : std::vector<Case>{
             // A format with a "/" would put the output outside the output folder.
             {"/compose", R"({"source":"C4","name":"x","format":"\/..\/..\/.bashrc"})", "invalid 'format'"},
             {"/master", R"({"manifest":"a\u0000.master.json"})", "missing 'manifest' (path to .master.json)"},
             {"/verify", R"({"wav":"a.wav","seed":"42","carrier":"4\u00000"})", "missing 'wav' or 'seed'"},
         }) {
        auto answer = postJob(c.path, c.body);
        EXPECT_EQ(answer.status, 400) << c.body;
        EXPECT_EQ(bodyOf(answer), (Json{{"error", c.error}})) << c.body;
    }
    EXPECT_FALSE(toolRan());
    EXPECT_FALSE(fs::exists(home + "/Music"));
    EXPECT_THAT(test::entriesOf(runtime), IsEmpty());
}

// Master sends the exit code on failure and drops stderr on success; verify sends both streams
// and "ok" either way, never the exit code.
TEST_F(JobEndpoints, MasterAndVerifyPassTheBodyOnAndAnswerInTheirShapes) {
    saveAndSet("RECORD_TOOL_STDOUT", "out");
    saveAndSet("RECORD_TOOL_STDERR", "err");
    struct Case {
        std::string path, body, exit;
        std::vector<std::string> args;
        int status;
        Json answer;
    };
    for (const Case& c : std::vector<Case>{
             {"/master", R"({"output":"out/a b.wav","manifest":"album.master.json"})", "0",
              {"master", "run", "album.master.json", "-o", "out/a b.wav"}, 200, {{"ok", true}, {"stdout", "out"}}},
             {"/master", R"({"manifest":"","output":12})", "2", {"master", "run", ""}, 500,
              {{"error", "master failed"}, {"exitCode", 2}, {"stdout", "out"}, {"stderr", "err"}}},
             {"/verify", R"({"nullTrials":200,"mixDb":-6.5,"carrier":440,"wav":"t.wav","seed":"7"})", "0",
              {"master", "verify", "t.wav", "--seed", "7", "--carrier", "440", "--mix-db", "-6.5", "--null-trials",
               "200"},
              200, {{"ok", true}, {"stdout", "out"}, {"stderr", "err"}}},
             {"/verify", R"({"wav":"take 1.wav","seed":"7","mixDb":null})", "1",
              {"master", "verify", "take 1.wav", "--seed", "7", "--mix-db", "null"}, 500,
              {{"ok", false}, {"stdout", "out"}, {"stderr", "err"}}},
         }) {
        fs::remove(recordPath());
        saveAndSet("RECORD_TOOL_EXIT", c.exit);
        auto answer = postJob(c.path, c.body);
        EXPECT_EQ(answer.status, c.status) << c.body;
        EXPECT_EQ(answer.body, writeJson(c.answer)) << "byte for byte as the JSON writer writes it";
        EXPECT_EQ(toolArgs(), c.args) << c.body;
    }
}

// The JSON lines of a chunked body, each checked to come in a chunk of its own.
std::vector<Json> liveLines(std::string_view body) {
    std::vector<Json> lines;
    for (;;) {
        std::size_t end = body.find("\r\n");
        std::size_t size = std::stoul(std::string(body.substr(0, end)), nullptr, 16);
        if (size == 0) {
            EXPECT_EQ(body.substr(end), "\r\n\r\n");
            return lines;
        }
        std::string_view chunk = body.substr(end + 2, size);
        EXPECT_TRUE(chunk.ends_with("\n") && body.substr(end + 2 + size, 2) == "\r\n") << chunk;
        lines.push_back(Json::parse(chunk, nullptr, false));
        body.remove_prefix(end + 4 + size);
    }
}

TEST_F(JobEndpoints, ALiveAnswerStreamsTheOutputThenTheAnswersOtherMembers) {
    saveAndSet("RECORD_TOOL_STDOUT", "out \xff/");
    saveAndSet("RECORD_TOOL_STDERR", "err");
    auto live = [&](const std::string& path, const std::string& body) {
        std::string request = post(path, bridge->token(), body);
        request.insert(request.find("\r\n") + 2, "Accept: text/html, Application/X-NDJSON; q=0.9\r\n");
        return test::roundTrip(bridge->port(), request);
    };
    struct Case {
        std::string path, body, exit;
        Json last;
    };
    for (const Case& c : std::vector<Case>{
             {"/master", R"({"manifest":"m"})", "2", {{"status", 500}, {"error", "master failed"}, {"exitCode", 2}}},
             {"/verify", R"({"wav":"w","seed":"7"})", "0", {{"status", 200}, {"ok", true}}},
         }) {
        saveAndSet("RECORD_TOOL_EXIT", c.exit);
        auto answer = live(c.path, c.body);
        EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
        EXPECT_EQ(answer.headerLines, (std::vector<std::string>{
                                          "Content-Type: application/x-ndjson",
                                          "Access-Control-Allow-Origin: *",
                                          "Access-Control-Allow-Headers: Content-Type, X-Nerix-Token",
                                          "Access-Control-Allow-Methods: GET, POST, OPTIONS",
                                          "Connection: close",
                                          "Transfer-Encoding: chunked",
                                      }));
        auto lines = liveLines(answer.body);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.last);
        std::string out, err;
        for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
            EXPECT_EQ(lines[i].size(), 1u) << lines[i].dump();
            out += lines[i].value("stdout", "");
            err += lines[i].value("stderr", "");
        }
        EXPECT_EQ(out, "out \xEF\xBF\xBD/") << "a byte that is not UTF-8 becomes U+FFFD";
        EXPECT_EQ(err, "err");
    }
    // A refusal before the tool runs is the plain answer.
    auto refused = live("/master", "{}");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.headers["Content-Type"], "application/json");
}

TEST_F(JobEndpoints, AMissingNodeExecutableIsASpawnFailureOnEveryEndpoint) {
    startBridge(root + "/no/such/node");
    struct Case {
        std::string path, body;
        Json answer;  // without stderr
    };
    for (const Case& c : std::vector<Case>{
             {"/compose", R"({"source":"C4","name":"song"})",
              {{"error", "compose failed"}, {"exitCode", -1}, {"stdout", ""}}},
             {"/master", R"({"manifest":"album.master.json"})",
              {{"error", "master failed"}, {"exitCode", -1}, {"stdout", ""}}},
             {"/verify", R"({"wav":"t.wav","seed":"7"})", {{"ok", false}, {"stdout", ""}}},
         }) {
        auto answer = postJob(c.path, c.body);
        EXPECT_EQ(answer.status, 500) << c.path;
        Json body = bodyOf(answer);
        EXPECT_THAT(body.value("stderr", ""), StartsWith("spawn failed: ")) << answer.body;
        body.erase("stderr");
        EXPECT_EQ(body, c.answer) << c.path;
    }
    EXPECT_THAT(test::entriesOf(runtime), IsEmpty()) << "compose's source file is gone";
}

}  // namespace
}  // namespace nerix
