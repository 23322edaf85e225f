// The job endpoints over loopback with a tool that records what it was given: one request per path
// through the handlers; the body decoders' and the stem's own tests go through every text and name.
#include <chrono>
#include <csignal>
#include <set>
#include <thread>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http/json_writer.h"
#include "jobs/job_endpoint_fixture.h"
#include "jobs/stem.h"
#include "platform/posix/files.h"
#include "support/bridge_process.h"
#include "support/process_probe.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using support::post;
using test::contentOf;
using test::entriesOf;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Json = nlohmann::json;

using JobEndpoints = test::JobEndpointTest;

// A refused body, or a folder compose cannot use, is answered before the tool runs and leaves
// nothing behind; a format with a "/" would put the output outside the output folder. Root may
// write anywhere, so a folder is made unusable by a file in its place.
TEST_F(JobEndpoints, RefusalsAndUnusableFoldersRunNothingAndWriteNothing) {
    struct Case {
        std::string path, body, error, blocked{}, envName{};
    };
    for (const Case& c : std::vector<Case>{
             {"/compose", R"({"source":"C4","name":"x","format":"\/..\/..\/.bashrc"})", "invalid 'format'"},
             {"/master", R"({"manifest":"a\u0000.master.json"})", "missing 'manifest' (path to .master.json)"},
             {"/verify", R"({"wav":"a.wav","seed":"42","carrier":"4\u00000"})", "missing 'wav' or 'seed'"},
             {"/compose", R"({"source":"C4"})", "could not create output dir: ", "/home/Music"},
             {"/compose", R"({"source":"C4"})", "could not write source: ", "/runtime-file", "XDG_RUNTIME_DIR"},
         }) {
        const bool refused = c.blocked.empty();
        if (!refused) std::ofstream(root + c.blocked) << "not a folder";
        if (!c.envName.empty()) saveAndSet(c.envName, root + c.blocked);
        auto answer = postJob(c.path, c.body);
        EXPECT_EQ(answer.status, refused ? 400 : 500) << c.body;
        Json body = bodyOf(answer);
        ASSERT_EQ(body.size(), 1u) << answer.body;
        const std::string error = body.value("error", "");
        EXPECT_TRUE(refused ? error == c.error : error.starts_with(c.error) && error.size() > c.error.size())
            << error << " (a folder's error gives the system's reason)";
        EXPECT_FALSE(toolRan());
        EXPECT_THAT(entriesOf(runtime), IsEmpty());
        EXPECT_TRUE(!refused || !fs::exists(home + "/Music")) << "a refused body made the output folder";
        if (!refused) fs::remove(root + c.blocked);
    }
}

std::string ideographs(int count) { return count ? "\xe6\xbc\xa2" + ideographs(count - 1) : ""; }

// Each endpoint passes the body on as the tool's arguments and answers in its shape, byte for
// byte as the JSON writer writes it: compose gives the exit code on failure and drops stderr on
// success; verify gives both streams; a stream that is not UTF-8 is answered as the empty text,
// the other one as it is (master's arguments and each endpoint's members on success and failure:
// job_body_test). Compose's source file holds the text as UTF-8 with nothing added, and is gone
// after the run, failed or not.
TEST_F(JobEndpoints, EachEndpointPassesTheBodyOnAndAnswersInItsShape) {
    // Started by a host that ignores SIGCHLD, the bridge still learns each tool's exit code. A
    // relative program path counts from this process's folder, not from the tool's.
    struct sigaction ignore {
    }, saved{};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGCHLD, &ignore, &saved);
    const fs::path folder = fs::current_path();
    fs::current_path(VANTOREL_TEST_FIXTURE_DIR);
    startBridge("./record_tool");
    const std::string music = home + "/Music/Nerix/", source = "tempo 96\nC4 \xE2\x99\xAA caf\xC3\xA9";
    // Of 85, what fits beside the mark of a cut name, so that the source's side file name fits in 255 bytes.
    const std::string longName = sanitizeStem(ideographs(85)).value();
    struct Case {
        std::string path, body, exit;
        std::vector<std::string> args;
        int status;
        Json answer;
        std::string out = "out", err = "err";  // what the tool writes
    };
    for (const Case& c : std::vector<Case>{
             {"/compose",
              Json{{"source", source}, {"name", std::string("My\0Song", 7)}, {"format", ".."}}.dump(),
              "0",
              {"compose", "build", runtime + "/My-Song.morvane", "-o", music + "My-Song..."},
              200,
              {{"ok", true}, {"outputPath", music + "My-Song..."}, {"stdout", "out"}}},
             {"/compose",
              Json{{"source", source}, {"name", ideographs(85)}, {"format", "wav"}}.dump(),
              "3",
              {"compose", "build", runtime + "/" + longName + ".morvane", "-o", music + longName + ".wav"},
              500,
              {{"error", "compose failed"}, {"exitCode", 3}, {"stdout", "out"}, {"stderr", "err"}}},
             {"/verify",
              R"({"wav":"t.wav","seed":"7"})",
              "0",
              {"master", "verify", "t.wav", "--seed", "7"},
              200,
              {{"ok", true}, {"stdout", ""}, {"stderr", "caf\xC3\xA9"}},
              "ok \xff",
              "caf\xC3\xA9"},
         }) {
        fs::remove(recordPath());
        saveAndSet("RECORD_TOOL_EXIT", c.exit);
        saveAndSet("RECORD_TOOL_STDOUT", c.out);
        saveAndSet("RECORD_TOOL_STDERR", c.err);
        auto answer = postJob(c.path, c.body);
        EXPECT_EQ(answer.status, c.status) << c.body;
        EXPECT_EQ(answer.body, writeJson(c.answer).value()) << c.body;
        EXPECT_EQ(toolArgs(), c.args) << c.body;
        EXPECT_EQ(record()["source"], c.path == "/compose" ? Json(source) : Json()) << c.body;
        EXPECT_THAT(entriesOf(runtime), IsEmpty());
    }
    fs::current_path(folder);
    ::sigaction(SIGCHLD, &saved, nullptr);
}

// Without a name the stem comes from the clock at the request and the format is mid; without a
// runtime folder the source goes to the user's private temporary folder.
TEST_F(JobEndpoints, ComposeWithoutANameOrARuntimeFolder) {
    saveAndSet("XDG_RUNTIME_DIR", std::nullopt);
    fs::create_directories(root + "/tmp");
    saveAndSet("TMPDIR", root + "/tmp");
    auto now = [] { return std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()); };
    const std::int64_t before = now();
    fs::create_directories(home + "/Music/Nerix");  // pieces named for the coming minute: none is written over
    for (auto s = before; s < before + 60; ++s)
        std::ofstream(home + "/Music/Nerix/untitled-" + std::to_string(s) + ".mid");
    auto answer = postJob("/compose", R"({"source":"C4"})");
    const std::int64_t after = now();
    ASSERT_EQ(answer.status, 200) << answer.body;
    const std::string prefix = home + "/Music/Nerix/untitled-", path = bodyOf(answer).value("outputPath", "");
    ASSERT_THAT(path, StartsWith(prefix));
    const std::int64_t stamp = std::stoll(path.substr(prefix.size()));
    EXPECT_EQ(path, prefix + std::to_string(stamp) + "-2.mid");
    EXPECT_TRUE(stamp >= before && stamp <= after) << stamp;
    auto temporary = platform::userTemporaryFolder();  // under TMPDIR: files_test
    ASSERT_TRUE(temporary) << temporary.error().message;
    EXPECT_THAT(toolArgs(), ElementsAre("compose", "build",
                                        *temporary + "/untitled-" + std::to_string(stamp) + "-2.morvane", "-o", path));
    EXPECT_EQ(record()["source"], "C4");
    EXPECT_THAT(entriesOf(*temporary), IsEmpty());
}

// A tool that cannot start (missing, not executable, a bare name, which is never looked up on the
// PATH, or a repository folder that is gone) is a failure, never "ok", whose text names what could
// not be used and why, logged once with the endpoint; the source is removed.
TEST_F(JobEndpoints, AToolThatCannotStartIsAFailureWithItsReason) {
    std::ofstream(root + "/not-executable") << "#!/bin/sh\n";
    saveAndSet("PATH", VANTOREL_TEST_FIXTURE_DIR);
    const std::string tool = VANTOREL_TEST_FIXTURE_DIR "/record_tool", here = fs::current_path().string();
    for (const auto& [node, folder, reason] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {root + "/no/such/node", repo, root + "/no/such/node: No such file or directory"},
             {root + "/not-executable", repo, root + "/not-executable: Permission denied"},
             {"record_tool", repo, here + "/record_tool: No such file or directory"},
             {tool, root + "/gone", "working folder " + root + "/gone: No such file or directory"}}) {
        std::vector<std::string> lines;
        BridgeOptions options;
        options.log = [&](std::string_view line) { lines.emplace_back(line); };
        bridge = std::make_shared<NerixBridge>(node, folder, options);
        bridge->start();
        auto answer = postJob("/compose", R"({"source":"C4","name":"song"})");
        EXPECT_EQ(answer.status, 500);
        EXPECT_EQ(
            bodyOf(answer),
            (Json{
                {"error", "compose failed"}, {"exitCode", -1}, {"stdout", ""}, {"stderr", "spawn failed: " + reason}}))
            << node << " in " << folder;
        bridge.reset();
        EXPECT_THAT(lines, ElementsAre(StartsWith("NerixBridge listening on "),
                                       "NerixBridge could not start the tool for /compose: " + reason));
        EXPECT_THAT(entriesOf(runtime), IsEmpty());
    }
    EXPECT_FALSE(toolRan());
}

// Jobs run one at a time in arrival order, beside the queue: while one runs, everything else is
// answered at once, and a waiting compose job has written nothing yet.
TEST_F(JobEndpoints, JobsWaitTheirTurnWhileEverythingElseIsAnswered) {
    std::string release = root + "/release";
    saveAndSet("RECORD_TOOL_WAIT_FOR", release);
    support::LoopbackClient first(bridge->port());
    first.send(post("/compose", bridge->token(), R"({"source":"C4","name":"song"})"));
    ASSERT_TRUE(support::waitFor([&] { return toolRan(); })) << "the tool never started";
    support::LoopbackClient second(bridge->port());
    second.send(post("/compose", bridge->token(), R"({"source":"D4","name":"later"})"));

    EXPECT_EQ(support::roundTrip(bridge->port(), "GET /health HTTP/1.1\r\n\r\n").status, 200);
    EXPECT_EQ(support::roundTrip(bridge->port(), "OPTIONS /compose HTTP/1.1\r\n\r\n").status, 204);
    EXPECT_EQ(postJob("/compose", "{}").status, 400);
    EXPECT_EQ(support::roundTrip(bridge->port(), post("/master", "", "{}")).status, 401);
    EXPECT_THAT(entriesOf(runtime), ElementsAre("song.morvane"));

    std::ofstream(release) << "go";
    EXPECT_EQ(support::parseAnswer(first.readAll()).status, 200);
    EXPECT_EQ(support::parseAnswer(second.readAll()).status, 200);
    EXPECT_EQ(record()["source"], "D4") << "the second job ran after the first";
    EXPECT_THAT(entriesOf(runtime), IsEmpty());
}

// The JSON lines of a chunked body, each checked to come in a chunk of its own, up to the last chunk.
std::vector<Json> liveLines(std::string_view body) {
    std::vector<Json> lines;
    for (;;) {
        std::size_t end = body.find("\r\n");
        std::size_t size = std::stoul(std::string(body.substr(0, end)), nullptr, 16);
        if (size == 0) return lines;
        std::string_view chunk = body.substr(end + 2, size);
        EXPECT_TRUE(chunk.ends_with("\n") && body.substr(end + 2 + size, 2) == "\r\n") << chunk;
        lines.push_back(Json::parse(chunk, nullptr, false));
        body.remove_prefix(end + 4 + size);
    }
}

// A live answer: its head, one line per piece of output (bytes that are not UTF-8 become
// U+FFFD), then the plain answer's other members; a refusal before the tool runs stays plain.
TEST_F(JobEndpoints, ALiveAnswerStreamsTheOutputThenTheAnswersOtherMembers) {
    saveAndSet("RECORD_TOOL_STDOUT", "out \xff/");
    saveAndSet("RECORD_TOOL_STDERR", "err");
    auto live = [&](const std::string& path, const std::string& body) {
        std::string request = post(path, bridge->token(), body);
        request.insert(request.find("\r\n") + 2, "Accept: text/html,\tApplication/X-NDJSON ; q=0.9\r\n");
        return support::roundTrip(bridge->port(), request);
    };
    saveAndSet("RECORD_TOOL_EXIT", "2");
    auto answer = live("/master", R"({"manifest":"m"})");
    EXPECT_EQ(answer.statusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(answer.headerLines,
              (std::vector<std::string>{"Content-Type: application/x-ndjson", "Access-Control-Allow-Origin: *",
                                        "Access-Control-Allow-Headers: Content-Type, X-Nerix-Token",
                                        "Access-Control-Allow-Methods: GET, POST, OPTIONS", "Connection: close",
                                        "Transfer-Encoding: chunked"}));
    EXPECT_TRUE(answer.body.ends_with("\r\n0\r\n\r\n")) << "nothing after the last chunk";
    auto lines = liveLines(answer.body);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), (Json{{"status", 500}, {"error", "master failed"}, {"exitCode", 2}}));
    std::string out, err;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        EXPECT_EQ(lines[i].size(), 1u) << lines[i].dump();
        out += lines[i].value("stdout", "");
        err += lines[i].value("stderr", "");
    }
    EXPECT_EQ(out, "out \xEF\xBF\xBD/");
    EXPECT_EQ(err, "err");
    auto refused = live("/master", "{}");
    EXPECT_EQ(refused.status, 400);
    EXPECT_EQ(refused.headers["Content-Type"], "application/json");

    // A reader that falls behind makes the tool wait, and the tool goes on once the reader has
    // caught up: every byte still arrives. The reader first lets far more pile up than the
    // socket buffers hold.
    const std::size_t total = 24u << 20;
    saveAndSet("RECORD_TOOL_STDOUT", std::nullopt);
    saveAndSet("RECORD_TOOL_STDOUT_BYTES", std::to_string(total));
    saveAndSet("RECORD_TOOL_PROGRESS", "1");  // stderr between the pieces, also while the tool waits
    saveAndSet("RECORD_TOOL_EXIT", "0");
    std::string request = post("/master", bridge->token(), R"({"manifest":"m"})");
    request.insert(request.find("\r\n") + 2, "Accept: application/x-ndjson\r\n");
    support::LoopbackClient slow(bridge->port());
    slow.send(request);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    auto slowAnswer = support::parseAnswer(slow.readAll(std::chrono::seconds(60)));
    ASSERT_TRUE(slowAnswer.body.ends_with("\r\n0\r\n\r\n")) << "the answer stopped after " << slowAnswer.body.size();
    lines = liveLines(slowAnswer.body);
    std::size_t received = 0, progress = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i)
        received += lines[i].value("stdout", "").size(), progress += lines[i].value("stderr", "").size();
    EXPECT_EQ(received, total);
    EXPECT_EQ(progress, (total >> 20) * 9 + 3) << "every progress line, and \"err\" at the end";
    EXPECT_EQ(lines.back().value("ok", false), true);
}

// A render never destroys the file that was there: a tool that fails, a requester that leaves
// and a bridge that stops each leave it byte for byte (a link stays a link), and only a tool that
// succeeds replaces it. A link at the output path is replaced by the new file, never written
// through. Nothing of the keeping is left beside the output, nor the source in the runtime
// folder, however the job ended. Unnamed composes never share a file.
TEST_F(JobEndpoints, ARenderNeverDestroysTheFileThatWasThere) {
    const std::string music = home + "/Music/Nerix", piece = music + "/piece.mid", target = root + "/target";
    fs::create_directories(music);
    saveAndSet("RECORD_TOOL_OUTPUT", "half");
    enum class End { Succeeds, Fails, Leaves, Stops };
    for (bool link : {false, true}) {
        for (End end : {End::Fails, End::Leaves, End::Stops, End::Succeeds}) {
            SCOPED_TRACE(std::string(link ? "link" : "file") + " " + std::to_string(static_cast<int>(end)));
            fs::remove(piece), fs::remove(recordPath());
            std::ofstream(target, std::ios::trunc) << "target";
            if (link)
                fs::create_symlink(target, piece);
            else
                std::ofstream(piece) << "old\n\xff";
            saveAndSet("RECORD_TOOL_EXIT", end == End::Fails ? "3" : "0");
            const std::string release = root + "/release";
            fs::remove(release);
            saveAndSet("RECORD_TOOL_WAIT_FOR", release);
            if (end == End::Stops) startBridge(VANTOREL_TEST_FIXTURE_DIR "/record_tool");
            {
                support::LoopbackClient client(bridge->port());
                client.send(post("/compose", bridge->token(), R"({"source":"C4","name":"piece"})"));
                ASSERT_TRUE(support::waitFor([&] { return contentOf(piece) == "half"; }))
                    << "the tool writes its own file, not through a link";
                if (end == End::Stops) bridge->stop();
                if (end == End::Fails || end == End::Succeeds) {
                    std::ofstream(release) << "go";
                    EXPECT_EQ(support::parseAnswer(client.readAll()).status, end == End::Fails ? 500 : 200);
                }
            }
            std::ofstream(release) << "go";
            auto settled = [&] { return entriesOf(music) == std::vector<std::string>{"piece.mid"}; };
            ASSERT_TRUE(support::waitFor(settled)) << testing::PrintToString(entriesOf(music));
            EXPECT_EQ(contentOf(target), "target");
            EXPECT_THAT(entriesOf(runtime), IsEmpty()) << "the source outlived its job";
            if (end == End::Succeeds) {
                EXPECT_FALSE(fs::is_symlink(piece));
                EXPECT_EQ(contentOf(piece), "half");
            } else {
                EXPECT_EQ(fs::is_symlink(piece), link);
                EXPECT_EQ(contentOf(piece), link ? "target" : "old\n\xff");
            }
            if (end == End::Stops) startBridge(VANTOREL_TEST_FIXTURE_DIR "/record_tool");
        }
    }
    saveAndSet("RECORD_TOOL_WAIT_FOR", std::nullopt);
    std::set<std::string> outputs;
    for (int i = 0; i < 3; ++i)
        outputs.insert(bodyOf(postJob("/compose", R"({"source":"C4"})")).value("outputPath", ""));
    EXPECT_EQ(outputs.size(), 3u);
}

// A bridge killed while a compose runs: its reaper puts the kept file back and removes the
// source, and the next start removes the private folder the killed bridge left.
TEST_F(JobEndpoints, AKilledBridgeLeavesNothingBehind) {
    saveAndSet("XDG_RUNTIME_DIR", std::nullopt);
    const std::string tmp = root + "/tmp", music = home + "/Music/Nerix";
    fs::create_directories(tmp), fs::create_directories(music);
    saveAndSet("TMPDIR", tmp);
    std::ofstream(music + "/piece.mid") << "old";
    saveAndSet("RECORD_TOOL_OUTPUT", "half");
    saveAndSet("RECORD_TOOL_WAIT_FOR", root + "/never");
    {
        support::BridgeProcess killed(VANTOREL_TEST_FIXTURE_DIR "/record_tool", repo);
        support::LoopbackClient client(killed.port());
        client.send(post("/compose", killed.token(), R"({"source":"C4","name":"piece"})"));
        ASSERT_TRUE(support::waitFor([&] { return toolRan(); }));
        killed.stop(SIGKILL);
    }
    ASSERT_TRUE(support::waitFor([&] { return entriesOf(music) == std::vector<std::string>{"piece.mid"}; }));
    EXPECT_EQ(contentOf(music + "/piece.mid"), "old");
    auto leftovers = entriesOf(tmp);
    ASSERT_EQ(leftovers.size(), 1u) << "the killed bridge's private folder";
    EXPECT_THAT(entriesOf(tmp + "/" + leftovers[0]), IsEmpty()) << "its source is gone";
    startBridge(VANTOREL_TEST_FIXTURE_DIR "/record_tool");
    EXPECT_TRUE(support::waitFor([&] { return entriesOf(tmp).empty(); })) << testing::PrintToString(entriesOf(tmp));
}

}  // namespace
}  // namespace nerix
