// Children as the bridge runs its tools: started under a JobReaper and watched by a ChildProcess on an
// io_context, with the cli_fixture program in the tool's place.
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

#include <gtest/gtest.h>

#include "common/scratch.h"
#include "support/process_probe.h"
#include "support/run_child.h"

namespace nerix::platform {
namespace {

const std::string kFixture = VANTOREL_TEST_FIXTURE_DIR "/cli_fixture";

using ChildProcessTest = test::ScratchTest;

// The flood fixture's bytes: position-dependent, so a lost, repeated or reordered piece shows.
std::string floodText(std::size_t size, int stream) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('0' + (i * 31 + i / 1000 + stream) % 62);
    return text;
}

// The child gets exactly what it is given: each argument byte for byte and never through a shell,
// the working folder, no descriptor but 0 to 2 (not even one a library opened without
// close-on-exec), and the default action for the stop signals, which the bridge's queue thread
// blocks and a host may ignore. Its exit status, or the number of the signal that ended it, comes
// back with both streams as they are: megabytes on each, interleaved, neither stalls the child
// nor loses, repeats or reorders a byte.
TEST_F(ChildProcessTest, GetsExactlyWhatItIsGivenAndHandsBackItsStatusAndBothStreamsWhole) {
    // Arguments too long for one message to the reaper (there the plan goes in a file of its
    // own) arrive whole too.
    const std::vector<std::string> tricky{"args",        "",   "two words", "say \"hi\" 'there'", "$HOME;|&`id` *?>x",
                                          "line\nbreak", "\\", "-o"},
        longArgs{"args", std::string(100 * 1024, 'a'), std::string(16 * 1024, 'b')};
    auto received = [](const std::vector<std::string>& given) {
        std::string text;
        for (const auto& arg : given) text.append(arg).push_back('\0');
        return text;
    };
    const std::size_t flood[2] = {6 * 1024 * 1024 + 123, 5 * 1024 * 1024 + 77};

    sigset_t block, savedMask;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &block, &savedMask);
    struct sigaction ignore {
    }, savedAction{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &savedAction);
    const int careless = ::socket(AF_INET, SOCK_STREAM, 0);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string out, err;
    };
    for (const Case& c : std::vector<Case>{
             {tricky, 0, received(tricky), root},
             {longArgs, 0, received(longArgs), root},
             {{"emit", "6f757420ff", "657272", "3"}, 3, "out \xff", "err"},  // bytes pass as they are
             {{"raise", std::to_string(SIGTERM)}, SIGTERM, "", ""},          // blocked here
             {{"raise", std::to_string(SIGINT)}, SIGINT, "", ""},            // ignored here
             {{"fds"}, 0, "", ""},
             {{"flood", std::to_string(flood[0]), std::to_string(flood[1])},
              0,
              floodText(flood[0], 0),
              floodText(flood[1], 1)},
         }) {
        std::vector<std::string> argv{kFixture};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto run = support::runChild(argv, root);
        ASSERT_TRUE(run) << run.error().message;
        EXPECT_EQ(run->status, c.status) << c.args[0];
        EXPECT_TRUE(run->out == c.out) << c.args[0] << ": stdout differs, " << run->out.size() << " bytes";
        EXPECT_TRUE(run->err == c.err) << c.args[0] << ": stderr differs, " << run->err.size() << " bytes";
    }
    ::close(careless);
    sigaction(SIGINT, &savedAction, nullptr);
    pthread_sigmask(SIG_SETMASK, &savedMask, nullptr);
    EXPECT_FALSE(std::filesystem::exists(root + "/x")) << "no shell may see the arguments";
}

// A host started without standard streams (a daemon, a launcher that closed them) hands out
// 0, 1 and 2 for the pipes: the child must still get its own output on 1 and 2.
TEST(ChildProcess, WorksWhenThisProcessHasNoStandardStreams) {
    const auto open = support::openDescriptors(::getpid());
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) {
        saved[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
        ::close(fd);
    }
    auto run = support::runChild({kFixture, "emit", "6f7574", "657272", "7"}, "/");
    for (int fd = 0; fd < 3; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    EXPECT_EQ(support::openDescriptors(::getpid()), open) << "a descriptor leaks";
    ASSERT_TRUE(run) << run.error().message;
    EXPECT_EQ(run->status, 7);
    EXPECT_EQ(run->out, "out");
    EXPECT_EQ(run->err, "err");
}

// A tool stopped while its output waits unread (a live reader fell behind) still ends, and says so.
TEST(ChildProcess, AStopEndsAToolWhoseOutputWaitsUnread) {
    asio::io_context context;
    auto reaper = support::makeReaper(context);
    auto child = ChildProcess::start(reaper, kFixture, {kFixture, "flood", "100000000", "0"}, "/").value();
    child->watch(
        support::kJobReadSize, [&](auto, auto) { child->pause(), child->stop({}); }, [&](int) { context.stop(); });
    context.run_for(std::chrono::seconds(20));
    EXPECT_TRUE(context.stopped()) << "the stopped tool's end was never reported";
}

// A tool whose reaper has gone (the bridge is stopping) can still be stopped: nothing is asked
// of the reaper that is no more.
TEST(ChildProcess, AStopAfterItsReaperHasGoneAsksNothingOfIt) {
    asio::io_context context;
    auto reaper = support::makeReaper(context);
    auto child = ChildProcess::start(reaper, kFixture, {kFixture, "flood", "100000000", "0"}, "/").value();
    reaper.reset();
    child->stop({});
    context.run_for(std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace nerix::platform
