#include "jobs/cli_runner.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bridge/nerix_bridge.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;

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

class CliRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "cli-runner-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        repo_ = fs::canonical(pattern).string();
    }
    void TearDown() override { fs::remove_all(repo_); }

    // The fixture in place of Node.js; `mode` takes the entry script's place.
    CliCommand fixture(const std::string& mode) const { return CliCommand{kFixture, repo_, mode}; }

    std::string repo_;
};

TEST_F(CliRunnerTest, EntryThenArgumentsArriveUnalteredInTheRepositoryFolder) {
    CliResult alone = runCli(fixture("args"), {});
    EXPECT_EQ(alone.exitCode, 0);
    EXPECT_EQ(alone.stdout, std::string("args\0", 5));
    EXPECT_EQ(alone.stderr, repo_);

    std::vector<std::string> args = {"", "two words", "say \"hi\" 'there'", "$HOME;|&`id` *?>x", "line\nbreak", "\\", "-o"};
    CliResult result = runCli(fixture("args"), args);
    std::string expected("args\0", 5);
    for (const auto& arg : args) expected.append(arg).push_back('\0');
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.stdout, expected);
    EXPECT_FALSE(fs::exists(fs::path(repo_) / "x")) << "no shell may see the arguments";
}

TEST_F(CliRunnerTest, ExitStatusAndOutputComeBackAsTheyAre) {
    CliResult quiet = runCli(fixture("emit"), {"", "", "0"});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(quiet.stdout, "");
    EXPECT_EQ(quiet.stderr, "");

    // "out é", "err"; status 3 is returned like any other.
    CliResult failed = runCli(fixture("emit"), {"6f757420c3a9", "657272", "3"});
    EXPECT_EQ(failed.exitCode, 3);
    EXPECT_EQ(failed.stdout, "out \xc3\xa9");
    EXPECT_EQ(failed.stderr, "err");

    CliResult high = runCli(fixture("emit"), {"", "", "255"});
    EXPECT_EQ(high.exitCode, 255);
}

TEST_F(CliRunnerTest, EachStreamIsEmptyWhenItIsNotUtf8) {
    // One bad byte on stdout only.
    CliResult badOut = runCli(fixture("emit"), {"6f6bff", "7374696c6c20676f6f64", "0"});
    EXPECT_EQ(badOut.exitCode, 0);
    EXPECT_EQ(badOut.stdout, "");
    EXPECT_EQ(badOut.stderr, "still good");

    // A truncated sequence on stderr only; an encoded surrogate is not UTF-8 either.
    CliResult badErr = runCli(fixture("emit"), {"6f6b", "c3", "4"});
    EXPECT_EQ(badErr.exitCode, 4);
    EXPECT_EQ(badErr.stdout, "ok");
    EXPECT_EQ(badErr.stderr, "");
    EXPECT_EQ(runCli(fixture("emit"), {"eda080", "", "0"}).stdout, "");
}

TEST_F(CliRunnerTest, AChildThatCannotStartIsASpawnFailure) {
    auto expectSpawnFailure = [](const CliResult& result, const std::string& what) {
        EXPECT_EQ(result.exitCode, -1) << what;
        EXPECT_EQ(result.stdout, "") << what;
        EXPECT_EQ(result.stderr.rfind("spawn failed: ", 0), 0u) << what << ": " << result.stderr;
        EXPECT_GT(result.stderr.size(), std::string("spawn failed: ").size()) << what;
    };

    expectSpawnFailure(runCli(CliCommand{repo_ + "/no-such-node", repo_, "args"}, {}), "missing program");
    EXPECT_EQ(runCli(CliCommand{repo_ + "/no-such-node", repo_, "args"}, {}).stderr,
              "spawn failed: No such file or directory");

    std::string plainFile = repo_ + "/not-executable";
    fs::copy_file(kFixture, plainFile);
    fs::permissions(plainFile, fs::perms::owner_read | fs::perms::owner_write);
    expectSpawnFailure(runCli(CliCommand{plainFile, repo_, "args"}, {}), "program without execute permission");

    expectSpawnFailure(runCli(CliCommand{kFixture, repo_ + "/no-such-folder", "args"}, {}), "missing working folder");

    // A bare name is not looked up on the PATH, even when the PATH holds it.
    std::string savedPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", VANTOREL_TEST_FIXTURE_DIR, 1);
    CliResult bare = runCli(CliCommand{"cli_fixture", repo_, "args"}, {});
    ::setenv("PATH", savedPath.c_str(), 1);
    expectSpawnFailure(bare, "bare program name");
}

TEST_F(CliRunnerTest, ARelativeProgramPathCountsFromThisProcessNotFromTheRepository) {
    fs::path saved = fs::current_path();
    fs::current_path(VANTOREL_TEST_FIXTURE_DIR);
    CliResult result = runCli(CliCommand{"./cli_fixture", repo_, "args"}, {});
    fs::current_path(saved);
    EXPECT_EQ(result.exitCode, 0) << result.stderr;
    EXPECT_EQ(result.stderr, repo_);
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

TEST_F(CliRunnerTest, AChildEndedByASignalReportsTheSignalNumber) {
    CliResult result = runCli(fixture("raise"), {std::to_string(SIGTERM)});
    EXPECT_EQ(result.exitCode, SIGTERM);
    EXPECT_EQ(result.stdout, "");
}

// The bridge's queue thread runs with the stop signals blocked, and a host may ignore some
// signals: a child must still be stoppable by them.
TEST_F(CliRunnerTest, AChildStartsWithNoBlockedOrIgnoredSignals) {
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
    EXPECT_EQ(ignored.exitCode, SIGINT) << ignored.stdout;
}

TEST_F(CliRunnerTest, AChildSeesNoDescriptorOfTheBridge) {
    // A running bridge (listener, queue) plus descriptors opened carelessly, without
    // close-on-exec, as a library might.
    auto bridge = std::make_shared<NerixBridge>(kFixture, repo_);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    int careless[2];
    ASSERT_EQ(::pipe(careless), 0);
    int socketFd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(socketFd, 0);
    int fileFd = ::open(kFixture.c_str(), O_RDONLY);
    ASSERT_GE(fileFd, 0);

    CliResult result = runCli(fixture("fds"), {});

    ::close(careless[0]);
    ::close(careless[1]);
    ::close(socketFd);
    ::close(fileFd);
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
