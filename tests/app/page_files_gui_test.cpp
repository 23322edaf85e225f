// The page's channel in the real application, on an X server and a session bus of the test's own
// with stand-ins for the file chooser portal and the file manager: what a dialog chose, what was
// opened with the application (before and after the page listened) and what a job wrote reach
// the page or the desktop, and nothing else does. Every wait is for a condition.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/window_session.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::Child, test::firstLine, test::contentOf, test::waitFor, test::waitForJson, test::writeFile;
using ::testing::HasSubstr;

class PageFiles : public test::WindowSession {
protected:
    PageFiles() : WindowSession("page-files-gui") {}

    void SetUp() override {
        WindowSession::SetUp();
        fs::copy_file(VANTOREL_SOURCE_DIR "/tests/app/files_page/index.html", web_ / "index.html");
        writeFile(web_ / "folder.json", json(web_.string()).dump());
        writeInfoPlist(toolChain());
        // The portal's dialogs even outside a sandbox.
        env_["GDK_DEBUG"] = "portals";
    }

    // What the page reported under `name`, once it has.
    json reported(const std::string& name) { return waitForJson(home_ / "Music/Nerix" / (name + ".mid")); }
};

// A file given to the first launch waits for the page; the page finds its object and the bridge's;
// a dialog answers the paths the portal chose and null when cancelled, modal to the window with its
// title, folder and filters; a call with a wrong argument is refused; show and open reach the
// desktop for a file the user chose and not for another; a second launch's relative path reaches
// the page as an absolute one; what a job wrote is in Recent. Files dragged from a window of the
// test's own onto the page: the page's own drop handler still gets the drop, window.vantorel's drop
// event has their paths and the element they were dropped on, and the window stays on the page
// rather than showing the file.
TEST_F(PageFiles, DialogsOpenWithShowOpenAndDropsReachThePageAndTheDesktop) {
    const fs::path music = scratch_ / "music", wav = music / "take one.wav";
    writeFile(wav, "RIFF");
    writeFile(music / "theme.mid", "MThd");
    startStandIn({wav.string()});
    const fs::path opened = defaultApplication({"audio/x-wav", "audio/wav"}, "%f");  // the player

    app_ = Child({program_.string(), "theme.mid"}, env_, scratch_ / "app.log", music);
    EXPECT_EQ(reported("present"), (json{{"vantorel", "object"}, {"version", 1}, {"bridge", "object"}})) << log();
    EXPECT_EQ(reported("opened-1"), json::array({(music / "theme.mid").string()})) << log();

    const json dialogs = reported("dialogs");
    EXPECT_EQ(dialogs, (json{{"chosen", {wav.string()}},
                             {"cancelled", nullptr},
                             {"picked", music.string()},
                             {"refused", "openFiles: title is not a string"},
                             {"notGiven", false},
                             {"notServed", 403},
                             {"shown", true},
                             {"opened", true}}))
        << log();
    const std::vector<json> opens = calls("OpenFile"), saves = calls("SaveFile");
    ASSERT_EQ(opens.size(), 2u) << contentOf(record());
    ASSERT_EQ(saves.size(), 1u) << contentOf(record());
    EXPECT_THAT(opens[0]["args"][0].get<std::string>(), ::testing::StartsWith("x11:")) << "no parent window";
    EXPECT_EQ(opens[0]["args"][1], "Pick a WAV");
    const json& options = opens[0]["args"][2];
    EXPECT_EQ(options["modal"], true);
    EXPECT_EQ(options["multiple"], true);
    EXPECT_EQ(options["current_folder"], web_.string());
    EXPECT_EQ(options["filters"], json::parse(R"([["WAV audio", [[0, "*.wav"], [1, "audio/x-wav"]]]])"));
    EXPECT_EQ(opens[1]["args"][2]["directory"], true);
    EXPECT_EQ(saves[0]["args"][1], "Save the master");
    EXPECT_EQ(saves[0]["args"][2]["current_name"], "master.wav");
    EXPECT_EQ(saves[0]["args"][2]["current_folder"], web_.string());
    EXPECT_THAT(log(), HasSubstr("page channel: refused a message: openFiles: title is not a string\n"));
    EXPECT_THAT(log(),
                HasSubstr("page channel: refused to show or open /etc/hostname, not a file given to the page\n"));
    const std::vector<json> shown = calls("ShowItems");
    ASSERT_EQ(shown.size(), 1u) << contentOf(record());
    EXPECT_EQ(shown[0]["args"][0], json::array({"file://" + music.string() + "/take%20one.wav"}));
    EXPECT_TRUE(waitFor([&] { return contentOf(opened) == wav.string(); })) << contentOf(opened);

    // A second launch, started in another folder, hands its relative path over and ends.
    Child second({program_.string(), "../music/take one.wav"}, env_, scratch_ / "second.log", scratch_ / "repo");
    EXPECT_EQ(second.waitExit(), 0) << contentOf(scratch_ / "second.log");
    EXPECT_EQ(reported("opened-2"), json::array({wav.string()})) << log();

    // Every report was a compose job's file: each is in the desktop's recent files.
    const fs::path recent = home_ / ".local/share/recently-used.xbel";
    EXPECT_TRUE(waitFor([&] { return contentOf(recent).find("/Music/Nerix/opened-2.mid") != std::string::npos; }))
        << contentOf(recent);
    EXPECT_THAT(contentOf(recent), HasSubstr("/Music/Nerix/dialogs.mid"));

    const fs::path dropped = music / "dropped.wav";
    writeFile(dropped, "RIFF dropped");
    Child source({"/usr/bin/python3", VANTOREL_SOURCE_DIR "/tests/app/drag_source.py", dropped.string()}, env_,
                 scratch_ / "source.log");
    const std::string x = "export DISPLAY=" + env_["DISPLAY"] + "; ";
    std::string window;
    ASSERT_TRUE(waitFor([&] {
        return !(window = firstLine(x + "xdotool search --onlyvisible --name '^drag source$'")).empty();
    })) << contentOf(scratch_ / "source.log");
    const std::string vantorel = firstLine(x + "xdotool search --onlyvisible --name '^Vantorel$'");
    // Press in the source, move past the drag threshold, then over the page, and let go there.
    firstLine(x + "xdotool mousemove --window " + window + " 100 100 mousedown 1 mousemove_relative 20 20 sleep 0.3 " +
              "mousemove --window " + vantorel + " 600 400 sleep 0.3 mousemove --window " + vantorel +
              " 620 420 sleep 0.3 mouseup 1");
    const json pageDrop = reported("page-drop");
    EXPECT_THAT(pageDrop["types"].dump(), HasSubstr("text/uri-list")) << pageDrop << log();
    EXPECT_THAT(log(), ::testing::Not(HasSubstr("dropped.wav\n"))) << "the window left the page for the file";
    // A dropped file is the page's to play: the bridge serves it at the URL it gives.
    EXPECT_EQ(reported("dropped-1"),
              (json{{"paths", {dropped.string()}}, {"target", "zone"}, {"served", "RIFF dropped"}}))
        << log();
    source.stop();
    ::kill(app_.pid, SIGTERM);
    EXPECT_EQ(app_.waitExit(), 0) << log();
}

}  // namespace
}  // namespace nerix
