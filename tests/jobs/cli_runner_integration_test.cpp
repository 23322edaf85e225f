#include "jobs/cli_runner.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>
#include <tuple>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;

const std::string kFixture = VANTOREL_TEST_FIXTURE_DIR "/cli_fixture";

class CliRunnerTest : public test::ScratchTest {
protected:
    // The fixture in place of Node.js; `mode` takes the entry script's place.
    CliCommand fixture(const std::string& mode) const { return CliCommand{kFixture, root, mode}; }
};

// The child gets exactly what it is given: the arguments byte for byte and never through a shell,
// the repository folder, a relative program path counted from this process, and no descriptor of
// a running bridge nor one a library opened without close-on-exec.
TEST_F(CliRunnerTest, EntryThenArgumentsArriveUnalteredInTheRepositoryFolderAndNothingElse) {
    const std::vector<std::string> args{"",   "two words", "say \"hi\" 'there'", "$HOME;|&`id` *?>x", "line\nbreak",
                                        "\\", "-o"};
    std::string expected("args\0", 5);
    for (const auto& arg : args) expected.append(arg).push_back('\0');
    fs::path saved = fs::current_path();
    fs::current_path(VANTOREL_TEST_FIXTURE_DIR);
    for (const CliCommand& command : {fixture("args"), CliCommand{"./cli_fixture", root, "args"}}) {
        CliResult result = runCli(command, args);
        EXPECT_EQ(result.exitCode, 0) << result.stderr;
        EXPECT_EQ(result.stdout, expected);
        EXPECT_EQ(result.stderr, root);
    }
    fs::current_path(saved);
    EXPECT_FALSE(fs::exists(root + "/x")) << "no shell may see the arguments";

    auto bridge = std::make_shared<NerixBridge>(kFixture, root);
    bridge->start();
    int careless = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(runCli(fixture("fds"), {}).stdout, "") << "descriptors the child could see";
    ::close(careless);
}

// The exit status, or the number of the signal that ended the child, comes back, and each stream
// as it is, or empty when it is not UTF-8. The bridge's queue thread runs with the stop signals
// blocked and a host may ignore some: a child must still be stoppable by them.
TEST_F(CliRunnerTest, ExitStatusOrSignalAndEachStreamComeBackAsTheyAreOrEmptyWhenNotUtf8) {
    sigset_t block, savedMask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &savedMask);
    struct sigaction ignore {
    }, savedAction{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &savedAction);
    for (const auto& [args, exit, out, err] :
         std::vector<std::tuple<std::vector<std::string>, int, std::string, std::string>>{
             {{"emit", "6f757420c3a9", "657272", "3"}, 3, "out \xc3\xa9", "err"},
             {{"emit", "6f6bff", "7374696c6c", "0"}, 0, "", "still"},  // one bad byte on stdout only
             {{"emit", "6f6b", "c3", "4"}, 4, "ok", ""},               // a truncated sequence on stderr
             {{"raise", std::to_string(SIGTERM)}, SIGTERM, "", ""},    // blocked here
             {{"raise", std::to_string(SIGINT)}, SIGINT, "", ""},      // ignored here
         }) {
        CliResult result = runCli(fixture(args[0]), {args.begin() + 1, args.end()});
        EXPECT_EQ(result.exitCode, exit) << args[1];
        EXPECT_EQ(result.stdout, out) << args[1];
        EXPECT_EQ(result.stderr, err) << args[1];
    }
    sigaction(SIGINT, &savedAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
}

// Both pipes are drained together: megabytes on each, in interleaved pieces, neither stalls the
// tool nor loses, repeats or reorders a byte.
TEST_F(CliRunnerTest, MegabytesOnBothStreamsComeBackWhole) {
    const std::size_t sizes[2] = {6 * 1024 * 1024 + 123, 5 * 1024 * 1024 + 77};
    CliResult result = runCli(fixture("flood"), {std::to_string(sizes[0]), std::to_string(sizes[1])});
    EXPECT_EQ(result.exitCode, 0);
    for (int stream : {0, 1}) {
        const std::string& text = stream ? result.stderr : result.stdout;
        std::string expected(sizes[stream], '\0');
        for (std::size_t i = 0; i < expected.size(); ++i)
            expected[i] = static_cast<char>('0' + (i * 31 + i / 1000 + stream) % 62);
        EXPECT_TRUE(text == expected) << "stream " << stream << " differs, " << text.size() << " bytes";
    }
}

}  // namespace
}  // namespace nerix
