#include "jobs/output_dir.h"

#include <pwd.h>

#include <gtest/gtest.h>

#include "common/scratch.h"

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

    static void writeUserDirs(const fs::path& configHome, const std::string& text) {
        test::writeFile(configHome / "user-dirs.dirs", text);
    }
};

// The last valid music line of user-dirs.dirs decides, read afresh at every call.
TEST_F(OutputDirTest, TheMusicLineOfUserDirsOrMusicInTheHomeFolder) {
    EXPECT_EQ(userNerixOutputDir(), root + "/Music/Nerix");
    EXPECT_FALSE(fs::exists(root + "/Music")) << "nothing is created";
    struct Case {
        std::string userDirs, folder;
    };
    for (const Case& c : std::vector<Case>{
             {"# XDG_MUSIC_DIR=\"$HOME/Commented\"\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\nXDG_MUSIC_DIR=\"Relative\"\n"
              "XDG_MUSIC_DIR=\"$HOME\"\nXDG_MUSIC_DIR=$HOME/Unquoted\nXDG_MUSIC_DIR \"$HOME/NoEquals\"\n",
              root + "/Music"},
             {"XDG_DESKTOP_DIR=\"$HOME/Desktop\"\n \tXDG_MUSIC_DIR\t= \"$HOME/Musik\"\n", root + "/Musik"},
             {"XDG_MUSIC_DIR=\"/srv/shared \\\"tunes\\\"\"\n", "/srv/shared \"tunes\""},  // backslashes quote
             {"XDG_MUSIC_DIR=\"$HOME/Unended\\\n", root + "/Unended\\"},
             {"XDG_MUSIC_DIR=\"$HOME//Doubled/\"\n", root + "/Doubled"},
             {"XDG_MUSIC_DIR=\"$HOME/One\"\nXDG_MUSIC_DIR=\"$HOME/Two\"\nXDG_MUSIC_DIR=\"bad\"\n", root + "/Two"},
         }) {
        writeUserDirs(root + "/.config", c.userDirs);
        EXPECT_EQ(userNerixOutputDir(), c.folder + "/Nerix") << c.userDirs;
    }

    // XDG_CONFIG_HOME is where user-dirs.dirs lives, when it is absolute.
    writeUserDirs(root + "/elsewhere", "XDG_MUSIC_DIR=\"$HOME/FromXdg\"\n");
    saveAndSet("XDG_CONFIG_HOME", root + "/elsewhere");
    EXPECT_EQ(userNerixOutputDir(), root + "/FromXdg/Nerix");
    saveAndSet("XDG_CONFIG_HOME", "elsewhere");
    EXPECT_EQ(userNerixOutputDir(), root + "/Two/Nerix");

    // Without HOME, the account's own folder; "/" for an account without an entry.
    saveAndSet("HOME", std::nullopt);
    saveAndSet("XDG_CONFIG_HOME", root);
    EXPECT_EQ(userNerixOutputDir(), std::string(::getpwuid(::getuid())->pw_dir) + "/Music/Nerix");
    if (::getuid() == 0) {  // root may become an account nobody defined
        EXPECT_EXIT(
            {
                if (::setuid(3'999'999) != 0) std::exit(1);
                std::fprintf(stderr, "%s", userNerixOutputDir().c_str());
                std::exit(0);
            },
            ::testing::ExitedWithCode(0), "^/Music/Nerix$");
    }
}

}  // namespace
}  // namespace nerix
