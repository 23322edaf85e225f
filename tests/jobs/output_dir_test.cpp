#include "jobs/output_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

namespace nerix {
namespace {

namespace fs = std::filesystem;

// Points HOME and XDG_CONFIG_HOME at a scratch folder for the test and puts them back after.
class OutputDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        save("HOME", savedHome_);
        save("XDG_CONFIG_HOME", savedConfig_);
        std::string pattern = (fs::temp_directory_path() / "output-dir-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        home_ = pattern;
        ::setenv("HOME", home_.c_str(), 1);
        ::unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        restore("HOME", savedHome_);
        restore("XDG_CONFIG_HOME", savedConfig_);
        fs::remove_all(home_);
    }

    void writeUserDirs(const fs::path& configHome, const std::string& text) {
        fs::create_directories(configHome);
        std::ofstream(configHome / "user-dirs.dirs") << text;
    }

    std::string home_;

private:
    static void save(const char* name, std::optional<std::string>& slot) {
        if (const char* value = std::getenv(name)) slot = value;
    }
    static void restore(const char* name, const std::optional<std::string>& slot) {
        if (slot)
            ::setenv(name, slot->c_str(), 1);
        else
            ::unsetenv(name);
    }
    std::optional<std::string> savedHome_, savedConfig_;
};

TEST_F(OutputDirTest, WithoutUserFoldersItIsMusicInTheHomeFolder) {
    EXPECT_EQ(userNerixOutputDir(), home_ + "/Music/Nerix");
    EXPECT_FALSE(fs::exists(home_ + "/Music")) << "nothing is created";

    // A file without a usable music line changes nothing.
    writeUserDirs(home_ + "/.config",
                  "# XDG_MUSIC_DIR=\"$HOME/Commented\"\n"
                  "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                  "XDG_MUSIC_DIR=\"Relative\"\n"
                  "XDG_MUSIC_DIR=\"$HOME\"\n"
                  "XDG_MUSIC_DIR=$HOME/Unquoted\n");
    EXPECT_EQ(userNerixOutputDir(), home_ + "/Music/Nerix");
}

TEST_F(OutputDirTest, TheMusicLineOfUserDirsDecides) {
    writeUserDirs(home_ + "/.config", "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n  XDG_MUSIC_DIR = \"$HOME/Musik\"\n");
    EXPECT_EQ(userNerixOutputDir(), home_ + "/Musik/Nerix");

    // Read afresh at every call; an absolute path is taken as it is, backslashes quote.
    writeUserDirs(home_ + "/.config", "XDG_MUSIC_DIR=\"/srv/shared \\\"tunes\\\"\"\n");
    EXPECT_EQ(userNerixOutputDir(), "/srv/shared \"tunes\"/Nerix");

    // The last valid line wins.
    writeUserDirs(home_ + "/.config", "XDG_MUSIC_DIR=\"$HOME/One\"\nXDG_MUSIC_DIR=\"$HOME/Two\"\nXDG_MUSIC_DIR=\"bad\"\n");
    EXPECT_EQ(userNerixOutputDir(), home_ + "/Two/Nerix");
}

TEST_F(OutputDirTest, XdgConfigHomeIsWhereUserDirsLives) {
    writeUserDirs(home_ + "/.config", "XDG_MUSIC_DIR=\"$HOME/FromDefault\"\n");
    writeUserDirs(home_ + "/elsewhere", "XDG_MUSIC_DIR=\"$HOME/FromXdg\"\n");
    ::setenv("XDG_CONFIG_HOME", (home_ + "/elsewhere").c_str(), 1);
    EXPECT_EQ(userNerixOutputDir(), home_ + "/FromXdg/Nerix");

    // A relative XDG_CONFIG_HOME is not valid and counts as unset.
    ::setenv("XDG_CONFIG_HOME", "elsewhere", 1);
    EXPECT_EQ(userNerixOutputDir(), home_ + "/FromDefault/Nerix");
}

}  // namespace
}  // namespace nerix
