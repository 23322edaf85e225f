#include "platform/posix/files.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/scratch.h"
#include "platform/posix/kept_file.h"

namespace nerix::platform {
namespace {

namespace fs = std::filesystem;
using test::contentOf;
using test::entriesOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using FilesTest = test::ScratchTest;

template <class T>
std::string failureOf(const Result<T>& result) {
    return result ? std::string() : result.error().message;
}

TEST_F(FilesTest, CreatesFoldersWithTheirParentsAndNamesAFileInTheWay) {
    EXPECT_TRUE(createDirectories(root + "/Music//Nerix/a/"));
    EXPECT_TRUE(fs::is_directory(root + "/Music/Nerix/a"));
    EXPECT_TRUE(createDirectories(root + "/Music/Nerix"));
    EXPECT_TRUE(createDirectories("/"));
    // A relative path whose first folder is new: no errno left by an earlier call counts.
    const fs::path cwd = fs::current_path();
    fs::current_path(root);
    errno = 0;
    EXPECT_TRUE(createDirectories("fresh/a"));
    fs::current_path(cwd);
    EXPECT_TRUE(fs::is_directory(root + "/fresh/a"));

    std::ofstream(root + "/File") << "x";
    EXPECT_EQ(failureOf(createDirectories(root + "/File/Nerix")), root + "/File: Not a directory");
    EXPECT_EQ(createDirectories(root + "/File/Nerix").error().code, ENOTDIR);
    EXPECT_THAT(failureOf(createDirectories(root + "/File")), StartsWith(root + "/File: "));
    EXPECT_EQ(contentOf(root + "/File"), "x");
}

TEST_F(FilesTest, AtomicWriteGivesExactlyTheBytesAndReplacesTheOldFile) {
    std::string path = root + "/song.morvane";
    std::ofstream(path) << "an older and much longer text";
    const std::string text("caf\xC3\xA9\n\0end", 10);
    EXPECT_TRUE(writeTextAtomically(path, text));
    EXPECT_EQ(contentOf(path), text);
    EXPECT_THAT(entriesOf(root), ElementsAre("song.morvane")) << "no side file is left behind";
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    // A host without standard input hands descriptor 0 to the side file.
    const int savedIn = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
    ::close(0);
    auto withoutInput = writeTextAtomically(path, text);
    ::dup2(savedIn, 0), ::close(savedIn);
    EXPECT_TRUE(withoutInput);

    // The side file sits beside the target, so a folder on another file system than the root
    // folder's (a runtime folder on tmpfs) works too.
    std::string shm = "/dev/shm/vantorel-test-XXXXXX";
    if (::mkdtemp(shm.data()) == nullptr) return;
    EXPECT_TRUE(writeTextAtomically(shm + "/song.morvane", "x"));
    EXPECT_EQ(contentOf(shm + "/song.morvane"), "x");
    fs::remove_all(shm);
}

TEST_F(FilesTest, AFailedAtomicWriteSaysWhyAndLeavesNothing) {
    EXPECT_EQ(failureOf(writeTextAtomically(root + "/none/song.morvane", "x")),
              root + "/none/song.morvane: No such file or directory");

    // A folder where the file should go: the rename fails after the side file was written.
    fs::create_directory(root + "/taken.morvane");
    std::ofstream(root + "/taken.morvane/keep") << "x";
    EXPECT_THAT(failureOf(writeTextAtomically(root + "/taken.morvane", "x")), StartsWith(root + "/taken.morvane: "));
    EXPECT_THAT(entriesOf(root), ElementsAre("taken.morvane"));

    // A write the system stops part way (here at the file size limit) is a failure, not a
    // shorter file.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small{4, old.rlim_max};
    auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    auto cutShort = writeTextAtomically(root + "/long.morvane", "more than four bytes");
    EXPECT_FALSE(KeptFile::keepAside(root + "/taken.morvane/keep"));  // nor is a file kept aside without its record
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(failureOf(cutShort), root + "/long.morvane: File too large");
    EXPECT_THAT(entriesOf(root), ElementsAre("taken.morvane"));
    EXPECT_THAT(entriesOf(root + "/taken.morvane"), ElementsAre("keep"));
}

TEST_F(FilesTest, WithoutARuntimeFolderAPrivateFolderIsMadeOnceAndAgainOnlyWhenItIsGone) {
    saveAndSet("XDG_RUNTIME_DIR", std::nullopt);
    std::string blocked = root + "/file";
    std::ofstream(blocked) << "x";
    saveAndSet("TMPDIR", blocked);
    EXPECT_THAT(failureOf(userTemporaryFolder()), HasSubstr(blocked));

    saveAndSet("TMPDIR", root + "/");
    const int savedIn = ::fcntl(0, F_DUPFD_CLOEXEC, 10);
    ::close(0);  // a host without standard input: the folder's lock is descriptor 0
    auto first = userTemporaryFolder();
    ASSERT_TRUE(first) << first.error().message;
    EXPECT_THAT(*first, StartsWith(root + "/vantorel-"));
    EXPECT_EQ(fs::status(*first).permissions(), fs::perms::owner_all);
    EXPECT_EQ(userTemporaryFolder().value(), *first);

    fs::remove(*first);
    auto second = userTemporaryFolder();
    EXPECT_EQ(::fcntl(0, F_GETFD), -1) << "the lock on the folder that went is still held";
    ::dup2(savedIn, 0), ::close(savedIn);
    ASSERT_TRUE(second) << second.error().message;
    EXPECT_TRUE(fs::is_directory(*second));
    fs::create_directory(root + "/vantorel-dead00", *second);  // a dead run's, with its source: removed
    std::ofstream(root + "/vantorel-dead00/song.morvane");
    removeAbandonedTemporaryFolders();
    EXPECT_THAT(entriesOf(root), ElementsAre("file", fs::path(*second).filename().string()));
    // And it goes when the process ends, so no launch leaves a folder behind.
    EXPECT_EXIT(std::exit(0), ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(fs::exists(*second));
}

}  // namespace
}  // namespace nerix::platform
