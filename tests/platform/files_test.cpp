#include "platform/posix/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

namespace nerix::platform {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vantorel-files-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = fs::canonical(pattern).string();
    }
    void TearDown() override { fs::remove_all(root); }

    static std::string contentOf(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static std::vector<std::string> entriesOf(const std::string& folder) {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string root;
};

TEST_F(FilesTest, CreatesFoldersWithTheirParentsAndAcceptsExistingOnes) {
    std::string deep = root + "/Music//Nerix/a/";
    EXPECT_EQ(createDirectories(deep), std::nullopt);
    EXPECT_TRUE(fs::is_directory(root + "/Music/Nerix/a"));
    EXPECT_EQ(createDirectories(root + "/Music/Nerix"), std::nullopt);
    EXPECT_EQ(createDirectories("/"), std::nullopt);
}

TEST_F(FilesTest, AFileInTheWayIsAFailureThatNamesIt) {
    std::ofstream(root + "/Music") << "x";
    auto asParent = createDirectories(root + "/Music/Nerix");
    ASSERT_TRUE(asParent);
    EXPECT_EQ(*asParent, root + "/Music: Not a directory");
    auto asTarget = createDirectories(root + "/Music");
    ASSERT_TRUE(asTarget);
    EXPECT_THAT(*asTarget, StartsWith(root + "/Music: "));
    EXPECT_EQ(contentOf(root + "/Music"), "x");
}

TEST_F(FilesTest, AtomicWriteGivesExactlyTheBytesAndReplacesTheOldFile) {
    std::string path = root + "/song.morvane";
    std::ofstream(path) << "an older and much longer text";
    const std::string text("caf\xC3\xA9\n\0end", 10);
    EXPECT_EQ(writeTextAtomically(path, text), std::nullopt);
    EXPECT_EQ(contentOf(path), text);
    EXPECT_THAT(entriesOf(root), ElementsAre("song.morvane")) << "no side file is left behind";
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    EXPECT_EQ(writeTextAtomically(path, ""), std::nullopt);
    EXPECT_EQ(contentOf(path), "");
}

TEST_F(FilesTest, AFailedAtomicWriteSaysWhyAndLeavesNothing) {
    auto missingFolder = writeTextAtomically(root + "/none/song.morvane", "x");
    ASSERT_TRUE(missingFolder);
    EXPECT_EQ(*missingFolder, root + "/none/song.morvane: No such file or directory");

    // A folder where the file should go: the rename fails after the side file was written.
    fs::create_directory(root + "/taken.morvane");
    std::ofstream(root + "/taken.morvane/keep") << "x";
    auto folderInTheWay = writeTextAtomically(root + "/taken.morvane", "x");
    ASSERT_TRUE(folderInTheWay);
    EXPECT_THAT(*folderInTheWay, StartsWith(root + "/taken.morvane: "));
    EXPECT_THAT(entriesOf(root), ElementsAre("taken.morvane"));
    EXPECT_THAT(entriesOf(root + "/taken.morvane"), ElementsAre("keep"));
}

// Restores an environment variable when the test ends.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }

private:
    std::string name_;
    std::optional<std::string> old_;
};

TEST_F(FilesTest, OtherwiseAPrivateFolderIsMadeOnceAndAgainOnlyWhenItIsGone) {
    ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    std::string blocked = root + "/file";
    std::ofstream(blocked) << "x";
    {
        ScopedEnv tmpdir("TMPDIR", blocked.c_str());
        TemporaryFolder folder = userTemporaryFolder();
        EXPECT_EQ(folder.path, "");
        ASSERT_TRUE(folder.error);
        EXPECT_THAT(*folder.error, HasSubstr(blocked));
    }

    ScopedEnv tmpdir("TMPDIR", (root + "/").c_str());
    TemporaryFolder first = userTemporaryFolder();
    ASSERT_EQ(first.error, std::nullopt);
    EXPECT_EQ(fs::path(first.path).parent_path(), root);
    EXPECT_THAT(fs::path(first.path).filename().string(), StartsWith("vantorel-"));
    struct stat info {};
    ASSERT_EQ(::stat(first.path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(userTemporaryFolder().path, first.path);

    fs::remove(first.path);
    TemporaryFolder second = userTemporaryFolder();
    ASSERT_EQ(second.error, std::nullopt);
    EXPECT_TRUE(fs::is_directory(second.path));
}

}  // namespace
}  // namespace nerix::platform
