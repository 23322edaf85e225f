#include "platform/posix/process.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace nerix::platform {
namespace {

const std::string kFixture = VANTOREL_TEST_FIXTURE_DIR "/cli_fixture";

// A host started without standard streams (a daemon, a launcher that closed them) hands out
// 0, 1 and 2 for the pipes: the child must still get its own output on 1 and 2.
TEST(RunProcess, WorksWhenThisProcessHasNoStandardStreams) {
    int saved[3];
    for (int fd = 0; fd < 3; ++fd) saved[fd] = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    for (int fd = 0; fd < 3; ++fd) ::close(fd);

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

TEST(RunProcess, StartErrorsAreTheSystemsErrorNumbers) {
    EXPECT_EQ(runProcess("/no/such/program", {"x"}, "/").startError, ENOENT);
    EXPECT_EQ(runProcess(kFixture, {kFixture}, "/no/such/folder").startError, ENOENT);
    EXPECT_EQ(runProcess("/", {"/"}, "/").startError, EACCES);
}

}  // namespace
}  // namespace nerix::platform
