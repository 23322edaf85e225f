#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <csignal>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "jobs/job_endpoint_fixture.h"

namespace nerix::platform {
namespace {

namespace fs = std::filesystem;
using test::contentOf;
using test::entriesOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using FilesTest = test::ScratchTest;

TEST_F(FilesTest, CreatesFoldersWithTheirParentsAndNamesAFileInTheWay) {
    EXPECT_EQ(createDirectories(root + "/Music//Nerix/a/"), std::nullopt);
    EXPECT_TRUE(fs::is_directory(root + "/Music/Nerix/a"));
    EXPECT_EQ(createDirectories(root + "/Music/Nerix"), std::nullopt);
    EXPECT_EQ(createDirectories("/"), std::nullopt);

    std::ofstream(root + "/File") << "x";
    EXPECT_EQ(createDirectories(root + "/File/Nerix"), root + "/File: Not a directory");
    EXPECT_THAT(createDirectories(root + "/File").value_or(""), StartsWith(root + "/File: "));
    EXPECT_EQ(contentOf(root + "/File"), "x");
}

TEST_F(FilesTest, AtomicWriteGivesExactlyTheBytesAndReplacesTheOldFile) {
    std::string path = root + "/song.morvane";
    std::ofstream(path) << "an older and much longer text";
    const std::string text("caf\xC3\xA9\n\0end", 10);
    EXPECT_EQ(writeTextAtomically(path, text), std::nullopt);
    EXPECT_EQ(contentOf(path), text);
    EXPECT_THAT(entriesOf(root), ElementsAre("song.morvane")) << "no side file is left behind";
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // A host without standard input hands descriptor 0 to the side file.
    const int savedIn = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
    ::close(0);
    auto withoutInput = writeTextAtomically(path, text);
    ::dup2(savedIn, 0), ::close(savedIn);
    EXPECT_EQ(withoutInput, std::nullopt);

    // The side file sits beside the target, so a folder on another file system than the root
    // folder's (a runtime folder on tmpfs) works too.
    std::string shm = "/dev/shm/vantorel-test-XXXXXX";
    if (::mkdtemp(shm.data()) == nullptr) return;
    EXPECT_EQ(writeTextAtomically(shm + "/song.morvane", "x"), std::nullopt);
    EXPECT_EQ(contentOf(shm + "/song.morvane"), "x");
    fs::remove_all(shm);
}

TEST_F(FilesTest, AFailedAtomicWriteSaysWhyAndLeavesNothing) {
    EXPECT_EQ(writeTextAtomically(root + "/none/song.morvane", "x"),
              root + "/none/song.morvane: No such file or directory");

    // A folder where the file should go: the rename fails after the side file was written.
    fs::create_directory(root + "/taken.morvane");
    std::ofstream(root + "/taken.morvane/keep") << "x";
    EXPECT_THAT(writeTextAtomically(root + "/taken.morvane", "x").value_or(""), StartsWith(root + "/taken.morvane: "));
    EXPECT_THAT(entriesOf(root), ElementsAre("taken.morvane"));
    EXPECT_THAT(entriesOf(root + "/taken.morvane"), ElementsAre("keep"));

    // A write the system stops part way (here at the file size limit) is a failure, not a
    // shorter file.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small{4, old.rlim_max};
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto cutShort = writeTextAtomically(root + "/long.morvane", "more than four bytes");
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(cutShort, root + "/long.morvane: File too large");
    EXPECT_THAT(entriesOf(root), ElementsAre("taken.morvane"));
}

TEST_F(FilesTest, WithoutARuntimeFolderAPrivateFolderIsMadeOnceAndAgainOnlyWhenItIsGone) {
    saveAndSet("XDG_RUNTIME_DIR", std::nullopt);
    std::string blocked = root + "/file";
    std::ofstream(blocked) << "x";
    saveAndSet("TMPDIR", blocked);
    TemporaryFolder failed = userTemporaryFolder();
    EXPECT_EQ(failed.path, "");
    EXPECT_THAT(failed.error.value_or(""), HasSubstr(blocked));

    saveAndSet("TMPDIR", root + "/");
    TemporaryFolder first = userTemporaryFolder();
    ASSERT_EQ(first.error, std::nullopt);
    EXPECT_THAT(first.path, StartsWith(root + "/vantorel-"));
    EXPECT_EQ(fs::status(first.path).permissions(), fs::perms::owner_all);
    EXPECT_EQ(userTemporaryFolder().path, first.path);

    fs::remove(first.path);
    TemporaryFolder second = userTemporaryFolder();
    ASSERT_EQ(second.error, std::nullopt);
    EXPECT_TRUE(fs::is_directory(second.path));
    // And it goes when the process ends, so no launch leaves a folder behind.
    EXPECT_EXIT(std::exit(0), ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(fs::exists(second.path));
}

}  // namespace
}  // namespace nerix::platform
