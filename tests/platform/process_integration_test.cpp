#include "platform/posix/process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fstream>

#include <gtest/gtest.h>

namespace nerix::platform {
namespace {

const std::string kFixture = VANTOREL_TEST_FIXTURE_DIR "/cli_fixture";

// A host started without standard streams (a daemon, a launcher that closed them) hands out
// 0, 1 and 2 for the pipes: the child must still get its own output on 1 and 2.
TEST(RunProcess, WorksWhenThisProcessHasNoStandardStreams) {
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) {
        saved[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
        ::close(fd);
    }
    ProcessOutcome outcome = runProcess(kFixture, {kFixture, "emit", "6f7574", "657272", "7"}, "/");
    for (int fd = 0; fd < 3; ++fd) {
        ::dup2(saved[fd], fd);
        ::close(saved[fd]);
    }
    EXPECT_EQ(outcome.startError, 0);
    EXPECT_EQ(outcome.status, 7);
    EXPECT_EQ(outcome.out, "out");
    EXPECT_EQ(outcome.err, "err");
}

// Run out of memory while a child writes: the child must still be drained to its end (never
// left blocked on a full pipe), and a stream cut short must come back empty, never as part.
TEST(RunProcess, AStreamThatCannotBeHeldComesBackEmptyAndTheChildRunsToItsEnd) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own address space reservations do not bear a tight limit";
#endif
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // Room for the first few growth steps of a stream, not for 192 MiB of it.
        std::size_t mapped = 0;
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);)
            if (line.starts_with("VmSize:")) mapped = std::stoull(line.substr(7)) * 1024;
        rlimit limit{mapped + 96 * 1024 * 1024, mapped + 96 * 1024 * 1024};
        if (::setrlimit(RLIMIT_AS, &limit) != 0) ::_exit(10);
        ProcessOutcome outcome = runProcess(kFixture, {kFixture, "spew", std::to_string(192u * 1024 * 1024)}, "/");
        ::_exit(outcome.startError != 0 ? 11 : outcome.status != 0 ? 12 : outcome.out.empty() ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << WEXITSTATUS(status) << "; 10: no limit, 11: no start, 12: child failed, 13: a partial stream";
}

}  // namespace
}  // namespace nerix::platform
