// The page's channel in the real application, on an X server and a session bus of the test's own
// with stand-ins for the file chooser portal and the file manager: what a dialog chose, what was
// opened with the application (before and after the page listened) and what a job wrote reach
// the page or the desktop, and nothing else does. Every wait is for a condition.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "jobs/job_endpoint_fixture.h"
#include "support/process_probe.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Env = std::map<std::string, std::string>;
using ::testing::HasSubstr;

bool waitFor(const std::function<bool()>& condition) { return support::waitFor(condition, std::chrono::minutes(2)); }
std::string readText(const fs::path& file) { return test::contentOf(file); }
void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}
std::string firstLine(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe && (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    if (pipe) ::pclose(pipe);
    return out.substr(0, out.find('\n'));
}

// A program in a process group of its own, started in `folder`, its output in a log.
struct Child {
    pid_t pid = -1;
    Child() = default;
    Child(std::vector<std::string> argv, const Env& env, const fs::path& log, const fs::path& folder = "/") {
        if ((pid = ::fork()) == 0) {  // this test program runs no other thread
            ::setpgid(0, 0);
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0), ::dup2(out, 1), ::dup2(out, 2);
            if (::chdir(folder.c_str()) != 0) ::_exit(126);
            ::clearenv();
            for (auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::setpgid(pid, pid);
    }
    int waitExit() {
        int status = 0;
        if (!waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void stop(int signal = SIGKILL) {
        if (pid <= 0) return;
        ::kill(-pid, signal);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

std::string waitForMatch(const fs::path& file, const std::string& pattern) {
    std::string text;
    std::smatch m;
    waitFor([&] { return std::regex_search(text = readText(file), m, std::regex(pattern)); });
    return m.size() > 1 ? m[1].str() : "";
}

class PageFiles : public ::testing::Test {
protected:
    void SetUp() override {
        // Under the build folder, not /tmp: WebKit's sandbox gives its processes a /tmp of their own.
        scratch_ = fs::path(VANTOREL_BINARY_DIR "/tests/page-files-gui") /
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(scratch_);
        const fs::path bundle = scratch_ / "bundle";
        fs::create_directories(web_ = bundle / "share/vantorel/Web");
        fs::create_directories(home_ = scratch_ / "home");
        fs::create_directories(bundle / "bin");
        fs::create_directories(bundle / "libexec/vantorel");
        const char* tree = std::getenv("VANTOREL_TEST_BUNDLE_DIR");
        const fs::path from = tree && *tree ? tree : VANTOREL_BINARY_DIR "/bundle";
        fs::copy_file(from / "bin/vantorel", program_ = bundle / "bin/vantorel");
        fs::copy_file(from / "libexec/vantorel/vantorel-reaper", bundle / "libexec/vantorel/vantorel-reaper");
        fs::copy_file(VANTOREL_SOURCE_DIR "/tests/app/files_page/index.html", web_ / "index.html");
        writeText(web_ / "folder.json", json(web_.string()).dump());
        const fs::path tool = scratch_ / "repo/packages/cli/dist/index.js";
        fs::create_directories(tool.parent_path());
        fs::copy_file(VANTOREL_SOURCE_DIR "/tests/app/fixture_tool.js", tool);
        writeText(bundle / "share/vantorel/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
                  "<key>NerixNodePath</key><string>" +
                      firstLine("command -v node") + "</string>\n<key>NerixRepoRoot</key><string>" +
                      (scratch_ / "repo").string() + "</string>\n</dict>\n</plist>\n");
        std::string runtime = "/tmp/vantorel-files-XXXXXX";
        ASSERT_NE(::mkdtemp(runtime.data()), nullptr);
        runtime_ = runtime;

        for (char** entry = environ; *entry; ++entry)
            if (char* equals = std::strchr(*entry, '=')) env_[std::string(*entry, equals)] = equals + 1;
        for (const char* name :
             {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "WAYLAND_DISPLAY", "GDK_BACKEND"})
            env_.erase(name);
        env_["HOME"] = home_.string();
        env_["XDG_RUNTIME_DIR"] = runtime_.string();
        if (std::system("bwrap --ro-bind / / --dev /dev --proc /proc true >/dev/null 2>&1") != 0)
            env_["WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS"] = "1";
        xvfb_ = Child({"Xvfb", "-displayfd", "1", "-screen", "0", "1920x1200x24", "-nolisten", "tcp", "-noreset"}, env_,
                      scratch_ / "xvfb.log");
        env_["DISPLAY"] = ":" + waitForMatch(scratch_ / "xvfb.log", R"((?:^|\n)(\d+)\n)");
        bus_ = Child({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, env_, scratch_ / "bus.log");
        env_["DBUS_SESSION_BUS_ADDRESS"] = waitForMatch(scratch_ / "bus.log", R"((unix:\S+))");
        // The portal's dialogs even outside a sandbox.
        env_["GDK_DEBUG"] = "portals";
    }

    void TearDown() override {
        app_.stop(), standIn_.stop(), bus_.stop();
        xvfb_.stop(SIGTERM);
        if (!runtime_.empty()) fs::remove_all(runtime_);
    }

    // The stand-ins; their dialogs choose `chosen`.
    void startStandIn(const std::vector<std::string>& chosen) {
        std::string list;
        for (const auto& path : chosen) list += (list.empty() ? "" : ",") + path;
        standIn_ =
            Child({"/usr/bin/python3", VANTOREL_SOURCE_DIR "/tests/app/portal_stand_in.py", record().string(), list},
                  env_, scratch_ / "stand-in.log");
        ASSERT_TRUE(waitFor([&] { return readText(record()).starts_with("{\"ready\": true}\n"); }))
            << readText(scratch_ / "stand-in.log");
    }
    fs::path record() const { return scratch_ / "desktop.jsonl"; }
    std::vector<json> calls(const std::string& member) {
        std::vector<json> found;
        std::istringstream lines(readText(record()));
        for (std::string line; std::getline(lines, line);)
            if (json call = json::parse(line, nullptr, false); call.value("member", "") == member)
                found.push_back(call);
        return found;
    }

    // What the page reported under `name`, once it has.
    json reported(const std::string& name) {
        json value;
        waitFor([&] {
            return !(value = json::parse(readText(home_ / "Music/Nerix" / (name + ".mid")), nullptr, false))
                        .is_discarded();
        });
        return value;
    }
    std::string log() { return readText(scratch_ / "app.log"); }

    fs::path scratch_, web_, home_, runtime_, program_;
    Env env_;
    Child xvfb_, bus_, standIn_, app_;
};

// A file given to the first launch waits for the page; the page finds its object and the bridge's;
// a dialog answers the paths the portal chose and null when cancelled, modal to the window with its
// title, folder and filters; a call with a wrong argument is refused; show and open reach the
// desktop for a file the user chose and not for another; a second launch's relative path reaches
// the page as an absolute one; what a job wrote is in Recent.
TEST_F(PageFiles, DialogsOpenWithShowAndOpenReachThePageAndTheDesktop) {
    const fs::path music = scratch_ / "music", wav = music / "take one.wav";
    writeText(wav, "RIFF");
    writeText(music / "theme.mid", "MThd");
    startStandIn({wav.string()});
    // The default application for WAV files: a script that notes what it opens.
    const fs::path opened = scratch_ / "opened", player = scratch_ / "player.sh";
    writeText(player, "#!/bin/sh\nprintf '%s' \"$1\" > " + opened.string() + "\n");
    fs::permissions(player, fs::perms::owner_all);
    writeText(home_ / ".local/share/applications/test-player.desktop",
              "[Desktop Entry]\nType=Application\nName=Test player\nExec=" + player.string() +
                  " %f\nMimeType=audio/x-wav;audio/wav;\nNoDisplay=true\n");
    writeText(home_ / ".config/mimeapps.list",
              "[Default Applications]\naudio/x-wav=test-player.desktop\naudio/wav=test-player.desktop\n");

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
    ASSERT_EQ(opens.size(), 2u) << readText(record());
    ASSERT_EQ(saves.size(), 1u) << readText(record());
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
    ASSERT_EQ(shown.size(), 1u) << readText(record());
    EXPECT_EQ(shown[0]["args"][0], json::array({"file://" + music.string() + "/take%20one.wav"}));
    EXPECT_TRUE(waitFor([&] { return readText(opened) == wav.string(); })) << readText(opened);

    // A second launch, started in another folder, hands its relative path over and ends.
    Child second({program_.string(), "../music/take one.wav"}, env_, scratch_ / "second.log", scratch_ / "repo");
    EXPECT_EQ(second.waitExit(), 0) << readText(scratch_ / "second.log");
    EXPECT_EQ(reported("opened-2"), json::array({wav.string()})) << log();

    // Every report was a compose job's file: each is in the desktop's recent files.
    const fs::path recent = home_ / ".local/share/recently-used.xbel";
    EXPECT_TRUE(waitFor([&] { return readText(recent).find("/Music/Nerix/opened-2.mid") != std::string::npos; }))
        << readText(recent);
    EXPECT_THAT(readText(recent), HasSubstr("/Music/Nerix/dialogs.mid"));
    ::kill(app_.pid, SIGTERM);
    EXPECT_EQ(app_.waitExit(), 0) << log();
}

// Files dragged from a window of the test's own onto the page: the page's own drop handler still
// gets the drop, window.vantorel's drop event has their paths and the element they were dropped
// on, and the window stays on the page rather than showing the file.
TEST_F(PageFiles, FilesDroppedOnThePageReachItWithTheirPathsAndThePagesOwnDropStillWorks) {
    const fs::path wav = scratch_ / "music/dropped.wav";
    writeText(wav, "RIFF dropped");
    startStandIn({wav.string()});
    app_ = Child({program_.string()}, env_, scratch_ / "app.log");
    ASSERT_EQ(reported("dialogs")["shown"], true) << log();  // the page has done its first part
    Child source({"/usr/bin/python3", VANTOREL_SOURCE_DIR "/tests/app/drag_source.py", wav.string()}, env_,
                 scratch_ / "source.log");
    const std::string x = "export DISPLAY=" + env_["DISPLAY"] + "; ";
    std::string window;
    ASSERT_TRUE(waitFor([&] {
        return !(window = firstLine(x + "xdotool search --onlyvisible --name '^drag source$'")).empty();
    })) << readText(scratch_ / "source.log");
    const std::string vantorel = firstLine(x + "xdotool search --onlyvisible --name '^Vantorel$'");
    // Press in the source, move past the drag threshold, then over the page, and let go there.
    firstLine(x + "xdotool mousemove --window " + window + " 100 100 mousedown 1 mousemove_relative 20 20 sleep 0.3 " +
              "mousemove --window " + vantorel + " 600 400 sleep 0.3 mousemove --window " + vantorel +
              " 620 420 sleep 0.3 mouseup 1");
    const json pageDrop = reported("page-drop");
    EXPECT_THAT(pageDrop["types"].dump(), HasSubstr("text/uri-list")) << pageDrop << log();
    EXPECT_THAT(log(), ::testing::Not(HasSubstr("dropped.wav\n"))) << "the window left the page for the file";
    // A dropped file is the page's to play: the bridge serves it at the URL it gives.
    EXPECT_EQ(reported("dropped-1"), (json{{"paths", {wav.string()}}, {"target", "zone"}, {"served", "RIFF dropped"}}))
        << log();
    source.stop();
}

}  // namespace
}  // namespace nerix
