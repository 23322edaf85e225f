#include "jobs/cli_runner.h"

#include <csignal>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using ::testing::StartsWith;

const std::string kFixture = VANTOREL_TEST_FIXTURE_DIR "/cli_fixture";

// Same bytes as the fixture's flood mode.
char floodByte(std::size_t i, int stream) {
    static const char alphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    return alphabet[(i * 31 + i / 1000 + static_cast<std::size_t>(stream)) % 62];
}

std::string floodText(std::size_t size, int stream) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = floodByte(i, stream);
    return text;
}

class CliRunnerTest : public test::ScratchTest {
protected:
    // The fixture in place of Node.js; `mode` takes the entry script's place.
    CliCommand fixture(const std::string& mode) const { return CliCommand{kFixture, root, mode}; }
};

TEST_F(CliRunnerTest, EntryThenArgumentsArriveUnalteredInTheRepositoryFolder) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"", "two words", "say \"hi\" 'there'", "$HOME;|&`id` *?>x",
                                                  "line\nbreak", "\\", "-o"}}) {
        CliResult result = runCli(fixture("args"), args);
        std::string expected("args\0", 5);
        for (const auto& arg : args) expected.append(arg).push_back('\0');
        EXPECT_EQ(result.exitCode, 0);
        EXPECT_EQ(result.stdout, expected);
        EXPECT_EQ(result.stderr, root);
    }
    EXPECT_FALSE(fs::exists(root + "/x")) << "no shell may see the arguments";
}

TEST_F(CliRunnerTest, ExitStatusAndEachStreamComeBackAsTheyAreOrEmptyWhenNotUtf8) {
    struct Case {
        std::string outHex, errHex, exit, out, err;
    };
    for (const Case& c : std::vector<Case>{
             {"", "", "0", "", ""},
             {"6f757420c3a9", "657272", "3", "out \xc3\xa9", "err"},
             {"6f6bff", "7374696c6c20676f6f64", "0", "", "still good"},  // one bad byte on stdout only
             {"6f6b", "c3", "4", "ok", ""},                              // a truncated sequence on stderr
             {"eda080", "", "0", "", ""},                                // an encoded surrogate
         }) {
        CliResult result = runCli(fixture("emit"), {c.outHex, c.errHex, c.exit});
        EXPECT_EQ(result.exitCode, std::stoi(c.exit)) << c.outHex;
        EXPECT_EQ(result.stdout, c.out) << c.outHex;
        EXPECT_EQ(result.stderr, c.err) << c.outHex;
    }
}

TEST_F(CliRunnerTest, AChildThatCannotStartIsASpawnFailure) {
    std::string plainFile = root + "/not-executable";
    fs::copy_file(kFixture, plainFile);
    fs::permissions(plainFile, fs::perms::owner_read | fs::perms::owner_write);
    // A bare name is not looked up on the PATH, even when the PATH holds it.
    saveAndSet("PATH", VANTOREL_TEST_FIXTURE_DIR);
    for (const CliCommand& command : {CliCommand{root + "/no-such-node", root, "args"},
                                      CliCommand{plainFile, root, "args"},
                                      CliCommand{kFixture, root + "/no-such-folder", "args"},
                                      CliCommand{"cli_fixture", root, "args"}}) {
        CliResult result = runCli(command, {});
        EXPECT_EQ(result.exitCode, -1) << command.nodePath << " in " << command.repoRoot;
        EXPECT_EQ(result.stdout, "");
        EXPECT_THAT(result.stderr, StartsWith("spawn failed: "));
        EXPECT_GT(result.stderr.size(), std::string("spawn failed: ").size());
    }
    EXPECT_EQ(runCli(CliCommand{root + "/no-such-node", root, "args"}, {}).stderr,
              "spawn failed: No such file or directory");
}

TEST_F(CliRunnerTest, ARelativeProgramPathCountsFromThisProcessNotFromTheRepository) {
    fs::path saved = fs::current_path();
    fs::current_path(VANTOREL_TEST_FIXTURE_DIR);
    CliResult result = runCli(CliCommand{"./cli_fixture", root, "args"}, {});
    fs::current_path(saved);
    EXPECT_EQ(result.exitCode, 0) << result.stderr;
    EXPECT_EQ(result.stderr, root);
}

TEST_F(CliRunnerTest, MegabytesOnBothStreamsComeBackWhole) {
    constexpr std::size_t kOut = 6 * 1024 * 1024 + 123;
    constexpr std::size_t kErr = 5 * 1024 * 1024 + 77;
    CliResult result = runCli(fixture("flood"), {std::to_string(kOut), std::to_string(kErr)});
    EXPECT_EQ(result.exitCode, 0);
    ASSERT_EQ(result.stdout.size(), kOut);
    ASSERT_EQ(result.stderr.size(), kErr);
    EXPECT_TRUE(result.stdout == floodText(kOut, 0)) << "stdout differs";
    EXPECT_TRUE(result.stderr == floodText(kErr, 1)) << "stderr differs";
}

// A child ended by a signal reports its number. The bridge's queue thread runs with the stop
// signals blocked, and a host may ignore some signals: a child must still be stoppable by them.
TEST_F(CliRunnerTest, AChildEndedByASignalReportsItEvenWhenThisProcessBlocksOrIgnoresIt) {
    sigset_t block, savedMask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &savedMask);
    struct sigaction ignore{}, savedAction{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &savedAction);

    CliResult blocked = runCli(fixture("raise"), {std::to_string(SIGTERM)});
    CliResult ignored = runCli(fixture("raise"), {std::to_string(SIGINT)});

    sigaction(SIGINT, &savedAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
    EXPECT_EQ(blocked.exitCode, SIGTERM) << blocked.stdout;
    EXPECT_EQ(blocked.stdout, "");
    EXPECT_EQ(ignored.exitCode, SIGINT) << ignored.stdout;
}

TEST_F(CliRunnerTest, AChildSeesNoDescriptorOfTheBridge) {
    // A running bridge (listener, queue) plus a socket opened carelessly, without close-on-exec,
    // as a library might.
    auto bridge = std::make_shared<NerixBridge>(kFixture, root);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    int careless = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(careless, 0);
    CliResult result = runCli(fixture("fds"), {});
    ::close(careless);
    EXPECT_EQ(result.exitCode, 0) << result.stderr;
    EXPECT_EQ(result.stdout, "") << "descriptors the child could see";
}

// The check runs on each stretch as it arrives; wherever the reads happen to split the
// stream, the answer must be the one for the whole text.
TEST(Utf8Check, GivesTheWholeTextsAnswerWhereverTheStreamIsSplit) {
    const std::pair<std::string, bool> samples[] = {
        {"plain ascii", true},
        {"a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z", true},  // a é € 😀 z
        {"\xf0\x9f\x98\x80\xf0\x9f\x98\x80", true},
        {"ab\x80" "cd", false},                          // stray continuation byte
        {"ab\xe2\x82", false},                          // cut short at the end
        {"\xe2\x82" "a\xac", false},                    // lead byte interrupted
        {"\xc0\xaf", false},                            // overlong "/"
        {"\xed\xa0\x80", false},                        // surrogate
        {"\xf4\x90\x80\x80", false},                    // beyond U+10FFFF
        {"x\xff", false},
        {"\xf0\x9f\x98\x80\x80\x80\x80\x80", false},  // a character, then four continuation bytes
    };
    for (const auto& [text, valid] : samples) {
        for (std::size_t i = 0; i <= text.size(); ++i) {
            for (std::size_t j = i; j <= text.size(); ++j) {
                Utf8Check check;
                check.advance(std::string_view(text).substr(0, i));
                check.advance(std::string_view(text).substr(0, j));
                EXPECT_EQ(check.valid(text), valid) << testing::PrintToString(text) << " split at " << i << ", " << j;
            }
        }
        Utf8Check byteByByte;
        for (std::size_t i = 1; i <= text.size(); ++i) byteByByte.advance(std::string_view(text).substr(0, i));
        EXPECT_EQ(byteByByte.valid(text), valid) << testing::PrintToString(text) << " byte by byte";
    }
}

}  // namespace
}  // namespace nerix
