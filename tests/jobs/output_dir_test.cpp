#include "jobs/output_dir.h"

#include <gtest/gtest.h>

#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;

// HOME is the scratch folder and XDG_CONFIG_HOME unset, for the test only.
class OutputDirTest : public test::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        saveAndSet("HOME", root);
        saveAndSet("XDG_CONFIG_HOME", std::nullopt);
    }

    void writeUserDirs(const fs::path& configHome, const std::string& text) {
        fs::create_directories(configHome);
        std::ofstream(configHome / "user-dirs.dirs") << text;
    }
};

TEST_F(OutputDirTest, WithoutUserFoldersItIsMusicInTheHomeFolder) {
    EXPECT_EQ(userNerixOutputDir(), root + "/Music/Nerix");
    EXPECT_FALSE(fs::exists(root + "/Music")) << "nothing is created";

    // A file without a usable music line changes nothing.
    writeUserDirs(root + "/.config",
                  "# XDG_MUSIC_DIR=\"$HOME/Commented\"\n"
                  "XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
                  "XDG_MUSIC_DIR=\"Relative\"\n"
                  "XDG_MUSIC_DIR=\"$HOME\"\n"
                  "XDG_MUSIC_DIR=$HOME/Unquoted\n");
    EXPECT_EQ(userNerixOutputDir(), root + "/Music/Nerix");
}

TEST_F(OutputDirTest, TheMusicLineOfUserDirsDecides) {
    writeUserDirs(root + "/.config", "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n  XDG_MUSIC_DIR = \"$HOME/Musik\"\n");
    EXPECT_EQ(userNerixOutputDir(), root + "/Musik/Nerix");

    // Read afresh at every call; an absolute path is taken as it is, backslashes quote.
    writeUserDirs(root + "/.config", "XDG_MUSIC_DIR=\"/srv/shared \\\"tunes\\\"\"\n");
    EXPECT_EQ(userNerixOutputDir(), "/srv/shared \"tunes\"/Nerix");

    // The last valid line wins.
    writeUserDirs(root + "/.config", "XDG_MUSIC_DIR=\"$HOME/One\"\nXDG_MUSIC_DIR=\"$HOME/Two\"\nXDG_MUSIC_DIR=\"bad\"\n");
    EXPECT_EQ(userNerixOutputDir(), root + "/Two/Nerix");
}

TEST_F(OutputDirTest, XdgConfigHomeIsWhereUserDirsLives) {
    writeUserDirs(root + "/.config", "XDG_MUSIC_DIR=\"$HOME/FromDefault\"\n");
    writeUserDirs(root + "/elsewhere", "XDG_MUSIC_DIR=\"$HOME/FromXdg\"\n");
    saveAndSet("XDG_CONFIG_HOME", root + "/elsewhere");
    EXPECT_EQ(userNerixOutputDir(), root + "/FromXdg/Nerix");

    // A relative XDG_CONFIG_HOME is not valid and counts as unset.
    saveAndSet("XDG_CONFIG_HOME", "elsewhere");
    EXPECT_EQ(userNerixOutputDir(), root + "/FromDefault/Nerix");
}

}  // namespace
}  // namespace nerix
