// The real application, end to end, on an X server, a session bus and a headless Wayland
// compositor of the test's own: a page that calls the bridge with fetch (every job through a real
// preflight) and a tool that records what it was asked. Every wait is for a condition.
#include <algorithm>
#include <chrono>
#include <cmath>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/window_session.h"
#include "support/loopback_client.h"

// Last: Xlib's names (None, Status, Bool...) must not shadow anything above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace nerix {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::capture, test::Child, test::Env, test::contentOf, test::waitFor, test::waitForJson, test::waitForMatch,
    test::writeFile;
using ::testing::AllOf;
using ::testing::HasSubstr;

// No process of the group is left but those that have ended and wait for their parent.
bool groupEnded(pid_t group) {
    return capture("ps -e -o pgid=,stat= | awk '$1 == " + std::to_string(group) + " && $2 !~ /^Z/'").empty();
}

// Ends every web content process below `parent` (under bubblewrap when sandboxed); the number ended.
int killWebProcesses(pid_t parent) {
    int ended = 0;
    for (pid_t child : support::childrenOf(parent))
        ended += contentOf("/proc/" + std::to_string(child) + "/comm") == "WebKitWebProces\n"
                     ? ::kill(child, SIGKILL) == 0
                     : killWebProcesses(child);
    return ended;
}

// Pixels as 0xRRGGBB; near when each channel is.
bool near(unsigned long p, unsigned long c) {
    return std::abs(int(p >> 16) - int(c >> 16)) < 24 && std::abs(int(p >> 8 & 0xff) - int(c >> 8 & 0xff)) < 24 &&
           std::abs(int(p & 0xff) - int(c & 0xff)) < 24;
}
constexpr int kWidth = 1240, kHeight = 820;
// Without a compositor GTK draws the window's frame inside it: a 1-pixel border and 4 of padding.
constexpr int kFrame = 5;
constexpr unsigned long kGreen = 0x00ff00, kMagenta = 0xff00ff;

class AppWindow : public test::WindowSession {
protected:
    AppWindow() : WindowSession("app-gui") {}

    void SetUp() override {
        WindowSession::SetUp();
        // A window may go while the test looks at it: that must not end the test program.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        ASSERT_TRUE(x_ = XOpenDisplay(env_["DISPLAY"].c_str())) << contentOf(scratch_ / "xvfb.log");
    }

    void TearDown() override {
        app_.stop(), weston_.stop();
        if (x_) XCloseDisplay(x_);
        WindowSession::TearDown();
    }

    // The bundle's configuration and, unless told otherwise, the test page with a file beside it.
    void install(const std::string& plistEntries, bool page = true) {
        writeInfoPlist(plistEntries);
        for (const char* file : {"index.html", "sibling.json"})
            if (page) fs::copy_file(fs::path(VANTOREL_SOURCE_DIR "/tests/app/page") / file, web_ / file);
    }

    // A headless Wayland compositor in the runtime folder; the application logs its protocol.
    Env wayland() {
        weston_ = Child({"weston", "--backend=headless-backend.so", "--socket=wayland-test", "--idle-time=0"}, env_,
                        scratch_ / "weston.log");
        EXPECT_TRUE(waitFor([&] { return fs::exists(runtime_ / "wayland-test"); }));
        Env env = env_;
        env.erase("DISPLAY");
        env.insert({{"WAYLAND_DISPLAY", "wayland-test"}, {"GDK_BACKEND", "wayland"}, {"WAYLAND_DEBUG", "client"}});
        return env;
    }

    std::string x11(const std::string& command) {
        return capture("export DISPLAY=" + env_["DISPLAY"] + "; " + command);
    }

    // Starts the application; on X11, the window it shows, checked for its title, class (the
    // application's ID), size, minimum size and place (centred, with no window manager to do it).
    // The first launch gives the page 1240 x 820 below the header bar, inside the frame GTK
    // draws without a compositor; a remembered window has the size it was closed at.
    Window launch(const Env& env, int rememberedWidth = 0, int rememberedHeight = 0) {
        app_ = Child({program_.string()}, env, scratch_ / "app.log");
        Window window = 0;
        if (env.count("WAYLAND_DISPLAY")) return window;
        EXPECT_TRUE(waitFor([&] {
            std::string ids = x11("xdotool search --onlyvisible --name '^Vantorel$'");
            return !ids.empty() && (window = std::stoul(ids));
        })) << "no window; the application said: "
            << log();
        // GTK sets the size hints with the window's first frame, which may come after it is shown.
        const std::string id = std::to_string(window), command = "xwininfo -id " + id + "; xprop -id " + id;
        std::string props;
        waitFor([&] { return (props = x11(command)).find("minimum size") != std::string::npos; });
        std::smatch height;
        if (!std::regex_search(props, height, std::regex(R"(Height: (\d+))"))) {
            ADD_FAILURE() << "no size in " << props;
            return window;
        }
        const int width = rememberedWidth ? rememberedWidth : kWidth + 2 * kFrame;
        frameHeight_ = std::stoi(height[1]);
        pageTop_ = frameHeight_ - kHeight - kFrame;
        if (rememberedHeight)
            EXPECT_EQ(frameHeight_, rememberedHeight);
        else
            EXPECT_TRUE(pageTop_ > 30 && pageTop_ < 80) << "no header bar above the page: " << props;
        for (const std::string& expected :
             {"Width: " + std::to_string(width) + "\n", "Absolute upper-left X:  " + std::to_string((1920 - width) / 2),
              "Absolute upper-left Y:  " + std::to_string((1200 - frameHeight_) / 2) + "\n",
              std::string("_NET_WM_NAME(UTF8_STRING) = \"Vantorel\""),
              std::string("WM_CLASS(STRING) = \"vantorel\", \"org.vantorel.Vantorel\""),
              std::string("program specified minimum size: 1040 by 680")})
            EXPECT_NE(props.find(expected), std::string::npos) << expected << " in\n" << props;
        return window;
    }

    void press(Window window, const std::string& keys) {
        x11("xdotool windowfocus --sync " + std::to_string(window) + "; xdotool key " + keys);
    }

    std::vector<unsigned long> grab(Window window) {
        std::vector<unsigned long> pixels;
        XImage* image = XGetImage(x_, window, kFrame, pageTop_, kWidth, kHeight, AllPlanes, ZPixmap);
        for (int y = 0; image && y < kHeight; ++y)
            for (int x = 0; x < kWidth; ++x) pixels.push_back(XGetPixel(image, x, y) & 0xffffff);
        if (image) XDestroyImage(image);
        return pixels;
    }

    bool waitForState(Window window, unsigned long colour) {
        return waitFor([&] {
            auto pixels = grab(window);
            return !pixels.empty() && near(pixels[270 * kWidth + 240], colour);
        });
    }

    bool barShown(Window window) {
        auto pixels = grab(window);
        return !pixels.empty() && near(pixels[4 * kWidth + 4], 0xf8e45c);
    }

    // Closes the window as a window manager does when the user clicks its close button.
    void closeAndExpectCleanExit(Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(x_, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(x_, "WM_DELETE_WINDOW", False));
        XSendEvent(x_, window, False, NoEventMask, &event);
        XFlush(x_);
        const int status = app_.waitExit();
        EXPECT_EQ(status, 0) << log() << (status == 0 ? "" : x11("xwininfo -root -tree | grep '\"'"));
    }

    int frameHeight_ = 0, pageTop_ = 0;
    Child weston_;
    Display* x_ = nullptr;
};

class AppWindowOn : public AppWindow, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(X11AndWayland, AppWindowOn, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& backend) {
                             return backend.param ? "Wayland" : "X11";
                         });

// Every job from the page reaches the tool as asked and its answer the page, live lines while the
// tool runs and a cancel that stops it; a second start hands over; the app ID holds on both backends.
TEST_P(AppWindowOn, ThePageDrivesEveryJobThroughTheBridgeASecondStartHandsOverAndTheWindowClosesCleanly) {
    install(toolChain());
    const Env env = GetParam() ? wayland() : env_;
    Window window = launch(env);

    // The page hands its findings to the last compose job; the tool writes them to -o.
    const std::string out = (home_ / "Music/Nerix").string() + "/";
    const json report = waitForJson(out + "report.json");
    ASSERT_FALSE(report.is_discarded()) << log();
    // The page saw the bridge the application started, on the port it logged, read the files
    // beside it and nothing outside its folder; without the token a job is refused.
    const std::string port = waitForMatch(scratch_ / "app.log", R"(NerixBridge listening on 127\.0\.0\.1:(\d+))");
    json expected = json::parse(R"({"sibling": "{\"sibling\":true}\n", "outside": 404, "file": "refused",
        "health": {"status": 200, "json": {"ok": true, "version": "0.2.0"}},
        "master": {"status": 200, "json": {"ok": true, "stdout": "fixture master run ok\n"}},
        "verify": {"status": 200,
                   "json": {"ok": true, "stdout": "fixture master verify ok\n", "stderr": "fixture verify notes\n"}},
        "live": {"type": "application/x-ndjson", "first": {"stdout": "fixture waits\n"}}})");
    expected["bridge"] = {
        {"port", std::stoi(port)}, {"origin", "http://127.0.0.1:" + port}, {"token", report["bridge"]["token"]}};
    expected["compose"] = {
        {"status", 200},
        {"json", {{"ok", true}, {"outputPath", out + "e2e-piece.mid"}, {"stdout", "fixture compose build ok\n"}}}};
    expected["withoutToken"] = {{"status", 401}, {"json", report["withoutToken"]["json"]}};
    EXPECT_EQ(report, expected);

    // What the tool was asked, in order, in the repository root; the temporary source gone after
    // its job. (The arguments of each endpoint: job_body_test and job_endpoints_integration_test.)
    std::vector<json> calls;
    std::istringstream lines(contentOf(repo() / "packages/cli/dist/calls.jsonl"));
    for (std::string line; std::getline(lines, line);) calls.push_back(json::parse(line));
    ASSERT_EQ(calls.size(), 5u);
    for (const json& call : calls) EXPECT_EQ(call["cwd"], repo().string());
    const fs::path source = calls[0]["args"][2].get<std::string>();
    EXPECT_TRUE(source.is_absolute() && source.filename() == "e2e-piece.morvane" && !fs::exists(source)) << source;
    EXPECT_EQ(calls[0]["source"], "C4 D4 E4\n");
    EXPECT_EQ(calls[0]["args"], (json{"compose", "build", source.string(), "-o", out + "e2e-piece.mid"}));
    EXPECT_NE(::kill(calls[3]["pid"].get<pid_t>(), 0), 0) << "the cancelled tool still runs";
    EXPECT_EQ(calls[4]["args"][4], out + "report.json");
    EXPECT_NE(log().find("page loaded: vantorel://app/\n"), std::string::npos) << log();

    // A second start hands over to this one and ends without a bridge or a window of its own.
    Child second({program_.string()}, env, scratch_ / "second.log");
    EXPECT_EQ(second.waitExit(), 0);
    EXPECT_EQ(contentOf(scratch_ / "second.log").find("NerixBridge"), std::string::npos);
    if (GetParam()) {
        // Without weston's screenshot protocol the pixels are left to the X11 run.
        EXPECT_NE(log().find(".set_app_id(\"org.vantorel.Vantorel\")"), std::string::npos);
        ::kill(app_.pid, SIGTERM);
        EXPECT_EQ(app_.waitExit(), 0);
        return;
    }
    EXPECT_EQ(x11("xdotool search --onlyvisible --name '^Vantorel$'"), std::to_string(window) + "\n");
    EXPECT_TRUE(waitForState(window, kGreen)) << "the finished page is not on screen";
    closeAndExpectCleanExit(window);
}

// A Node.js that is not there: a bar above the page and a log line say so, while the bridge
// still starts. A second launch with settings switches the running window to them: a new bridge on
// a new port whose token only the chosen web folder's page gets, the old port closed, the bar gone,
// and the page's jobs run by the new tool chain.
TEST_F(AppWindow, AWrongNodeShowsTheBarAndASecondLaunchWithSettingsSwitchesTheToolChain) {
    const fs::path web = scratch_ / "mine/web";
    startStandIn();  // the launcher count tells when the jobs are over
    toolChain();     // the tool in place, the wrong Node.js named below
    for (const char* file : {"index.html", "sibling.json"})
        fs::create_directories(web), fs::copy_file(fs::path(VANTOREL_SOURCE_DIR "/tests/app/page") / file, web / file);
    writeFile(web.parent_path() / "Info.plist", "not for the page");
    install("<key>NerixNodePath</key><string>/opt/nowhere/node</string>\n<key>NerixRepoRoot</key><string>" +
            repo().string() + "</string>\n");
    Window window = launch(env_);
    const std::string oldPort = waitForMatch(scratch_ / "app.log", R"(NerixBridge listening on 127\.0\.0\.1:(\d+))");
    EXPECT_THAT(log(), HasSubstr("Setting node = \"/opt/nowhere/node\" (from Info.plist): not found\n"));
    EXPECT_TRUE(waitFor([&] { return barShown(window); })) << "no bar above the page";

    // The page's jobs first, the last its report's compose: a switch while a job runs would ask first.
    const std::string composeFailed = "could not start the tool for /compose";
    ASSERT_TRUE(waitFor([&] {
        const std::string text = log();
        const auto first = text.find(composeFailed);
        return first != std::string::npos && text.find(composeFailed, first + 1) != std::string::npos;
    })) << log();
    // Its end reaches the window's count: every job the bridge could not start was counted once
    // (each queued before its log line), and the count is back at 0 after the last of them.
    EXPECT_TRUE(waitFor([&] {
        const std::string text = log();
        std::size_t failed = 0, counted = 0;
        for (auto at = text.find("could not start"); at != std::string::npos; at = text.find("could not start", at + 1))
            ++failed;
        const auto updates = calls("Update");
        for (const json& update : updates) counted += update["args"][1]["count"] == 1;
        return counted >= failed && !updates.empty() && updates.back()["args"][1]["count"] == 0;
    })) << contentOf(record());
    const std::string node = test::firstLine("command -v node");
    Child second({program_.string(), "--node", node, "--web", web.string()}, env_, scratch_ / "second.log");
    EXPECT_EQ(second.waitExit(), 0);
    const std::string newPort =
        waitForMatch(scratch_ / "app.log", "NerixBridge listening on 127\\.0\\.0\\.1:" + oldPort +
                                               "\n[^]*listening on 127\\.0\\.0\\.1:(\\d+)");
    ASSERT_FALSE(newPort.empty()) << log();
    EXPECT_NE(newPort, oldPort);
    EXPECT_THROW(support::LoopbackClient(static_cast<std::uint16_t>(std::stoi(oldPort))), std::runtime_error)
        << "the old port still answers";

    json report = waitForJson(home_ / "Music/Nerix/report.json");
    ASSERT_FALSE(report.is_discarded()) << log();
    EXPECT_EQ(report["bridge"]["port"], std::stoi(newPort));
    EXPECT_EQ(report["outside"], 404);
    EXPECT_EQ(report["health"]["status"], 200);
    EXPECT_THAT(contentOf(repo() / "packages/cli/dist/calls.jsonl"), HasSubstr("\"compose\""));
    EXPECT_THAT(log(), HasSubstr("page loaded: vantorel://app/\n"));
    EXPECT_TRUE(waitFor([&] { return !barShown(window); })) << "the bar stayed";

    // Preferences (Ctrl+comma) shows what is in use; Save (Alt+S) writes what Info.plist does not
    // give and switches again: a third port, the second one closed, the page's jobs run again.
    fs::remove(home_ / "Music/Nerix/report.json");
    x11("xdotool windowfocus --sync " + std::to_string(window) + " key ctrl+comma");
    std::string preferences;
    ASSERT_TRUE(
        waitFor([&] { return !(preferences = x11("xdotool search --onlyvisible --name '^Preferences$'")).empty(); }));
    x11("xdotool windowfocus --sync " + preferences.substr(0, preferences.find('\n')) + " key alt+s");
    const std::string savedPort = waitForMatch(
        scratch_ / "app.log", "listening on 127\\.0\\.0\\.1:" + newPort + "\n[^]*listening on 127\\.0\\.0\\.1:(\\d+)");
    ASSERT_FALSE(savedPort.empty()) << log();
    EXPECT_EQ(contentOf(home_ / ".config/vantorel/settings.ini"),
              "[toolchain]\nnode=" + node + "\n\n[web]\nfolder=" + web.string() + "\n");
    EXPECT_THROW(support::LoopbackClient(static_cast<std::uint16_t>(std::stoi(newPort))), std::runtime_error);
    report = waitForJson(home_ / "Music/Nerix/report.json");
    ASSERT_FALSE(report.is_discarded()) << log();
    EXPECT_EQ(report["bridge"]["port"], std::stoi(savedPort));
    // The report is the page's last job: the window closes at once once it has ended.
    EXPECT_TRUE(waitForState(window, kGreen));
    closeAndExpectCleanExit(window);
}

// Without a bridge the page still loads; a link to another site goes to the user's browser; a
// content process that dies is replaced twice, then a plain page says so. With no job Ctrl+Q ends
// the application at once; the size it had is the size of the next launch, and a state file that
// cannot be read is logged and the window opens as on a first launch.
TEST_F(AppWindow, WithoutConfigurationThePageLoadsLinksOpenInTheBrowserAndTheSizeIsKept) {
    install("<key>CFBundleName</key><string>Vantorel</string>\n");
    const fs::path opened =
        defaultApplication({"x-scheme-handler/http", "x-scheme-handler/https"}, "%u");  // the browser
    Window window = launch(env_);
    EXPECT_TRUE(waitForState(window, kMagenta));
    x11("xdotool mousemove --window " + std::to_string(window) + " 750 " + std::to_string(pageTop_ + 170) + " click 1");
    ASSERT_TRUE(waitFor([&] { return !contentOf(opened).empty(); })) << log();
    EXPECT_EQ(contentOf(opened), "https://example.invalid/vantorel-link?x=1");
    EXPECT_TRUE(waitForState(window, kMagenta)) << "the window left the page";
    x11("xdotool windowsize " + std::to_string(window) + " 1400 900");
    // Resized once the page's white reaches the new corner.
    ASSERT_TRUE(waitFor([&] {
        XImage* image = XGetImage(x_, window, 1380, 880, 1, 1, AllPlanes, ZPixmap);
        const bool white = image && near(XGetPixel(image, 0, 0) & 0xffffff, 0xffffff);
        if (image) XDestroyImage(image);
        return white;
    }));

    auto loads = [&] {
        std::string text = log(), pages;
        for (std::size_t at = 0; (at = text.find("page loaded: ", at)) != std::string::npos; at = text.find('\n', at))
            pages += text.substr(at, text.find('\n', at) + 1 - at);
        return pages;
    };
    const std::string page = "page loaded: vantorel://app/\n";
    for (const std::string& loaded :
         {page + page, page + page + page, page + page + page + "page loaded: about:blank\n"}) {
        ASSERT_GT(killWebProcesses(app_.pid), 0);
        ASSERT_TRUE(waitFor([&] { return loads() == loaded; })) << log();
    }
    EXPECT_THAT(log(), AllOf(HasSubstr("crashed or was killed: loading the page again"),
                             HasSubstr("the third time within a minute: showing a plain page instead")));
    press(window, "ctrl+q");
    EXPECT_EQ(app_.waitExit(), 0) << log();
    EXPECT_EQ(log().find("NerixBridge"), std::string::npos) << "something said about a bridge there is not";
    const fs::path state = home_ / ".local/state/vantorel/state.ini";
    EXPECT_THAT(contentOf(state), AllOf(HasSubstr("width=1400\n"), HasSubstr("height=900\n")));

    window = launch(env_, 1400, 900);
    press(window, "ctrl+w");
    EXPECT_EQ(app_.waitExit(), 0) << log();

    writeFile(state, "[window\n");
    window = launch(env_);
    EXPECT_THAT(log(), HasSubstr("window state " + state.string() + ": "));
    closeAndExpectCleanExit(window);
}

// The options answer without a display; with no session bus and no page the window still opens,
// showing one heading line of fallback text at the top and nothing below. A build whose script is
// not in the folder: the log names the file and who asked for it, once, and the bar shows.
TEST_F(AppWindow, WithoutIndexTheFallbackTextIsShownAndAMissingScriptIsNamed) {
    install("", false);
    EXPECT_EQ(capture("env -u DISPLAY -u WAYLAND_DISPLAY " + program_.string() + " --version"), "vantorel 0.2.0\n");
    EXPECT_NE(capture(program_.string() + " --help").find("--inspect"), std::string::npos);
    EXPECT_NE(std::system((program_.string() + " --no-such-option 2>/dev/null").c_str()), 0);
    Env env = env_;
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (scratch_ / "no-bus").string();
    Window window = launch(env);
    // The bar above the page says what is missing; below it, "Vantorel resources missing." at a
    // heading's size is a few hundred pixels wide.
    EXPECT_THAT(log(), HasSubstr("Setting web folder = \"" + web_.string() +
                                 "\" (from the bundle's default): holds no "
                                 "index.html\n"));
    // The whole window as it is now, header bar included: the bar is the first yellow row.
    int rightmost = -1, below = 0, top = -1, bar = 0;
    EXPECT_TRUE(waitFor([&] {
        XWindowAttributes shape{};
        XGetWindowAttributes(x_, window, &shape);
        XImage* image = XGetImage(x_, window, kFrame, 0, kWidth, shape.height - 1, AllPlanes, ZPixmap);
        if (!image) return false;
        auto at = [&](int x, int y) { return XGetPixel(image, x, y) & 0xffffff; };
        top = -1, bar = 0, rightmost = -1, below = 0;
        for (int y = 0; y < shape.height - 1 && top < 0; ++y)
            if (near(at(800, y), 0xf8e45c)) top = y;
        if (top >= 0)
            while (top + bar < shape.height - 1 && near(at(800, top + bar), 0xf8e45c)) ++bar;
        for (int y = top + bar + 2; top >= 0 && y < shape.height - 2; ++y)
            for (int x = 0; x < kWidth; ++x)
                if (near(at(x, y), 0)) y - top - bar < 90 ? rightmost = std::max(rightmost, x) : ++below;
        XDestroyImage(image);
        return top > 30 && bar > 0 && rightmost > 250 && rightmost < 800 && below == 0;
    })) << "bar at "
        << top << ", " << bar << " high, heading ends at " << rightmost << ", " << below << " dark pixels below it";
    closeAndExpectCleanExit(window);

    writeFile(web_ / "index.html",
              "<!doctype html><html><head><script type=\"module\" crossorigin src=\"/assets/index-3b9e.js\"></script>"
              "</head><body style=\"background:#fff\"></body></html>");
    window = launch(env_);
    const std::string line =
        "web interface " + web_.string() + ": no file assets/index-3b9e.js, asked for by index.html\n";
    ASSERT_TRUE(waitFor([&] { return log().find(line) != std::string::npos; })) << log();
    EXPECT_TRUE(waitFor([&] { return barShown(window); })) << "no bar above the page";
    closeAndExpectCleanExit(window);
    EXPECT_EQ(log().find(line), log().rfind(line)) << log();
}

// A page laid out as a bundler builds one (root-relative module scripts with crossorigin, a chunk,
// a module worker, WebAssembly by streaming, a WAV in an <audio> element, its own JSON) works
// under the sandbox and says so in its report; what it stored is there at the next launch, as is
// what the release before's file:// page stored, moved on the first launch only; a page that
// loads fine logs no missing file.
TEST_F(AppWindow, ABuildLikePageRunsItsModulesWorkerWebAssemblyMediaAndStorage) {
    install(toolChain(), false);
    fs::copy(VANTOREL_SOURCE_DIR "/tests/app/webapp", web_, fs::copy_options::recursive);
    // add(a, b) as a hand-made module: type, function, export and code sections.
    const unsigned char wasm[] = {0x00, 0x61, 0x73, 0x6d, 0x01, 0x00, 0x00, 0x00, 0x01, 0x07, 0x01, 0x60, 0x02, 0x7f,
                                  0x7f, 0x01, 0x7f, 0x03, 0x02, 0x01, 0x00, 0x07, 0x07, 0x01, 0x03, 0x61, 0x64, 0x64,
                                  0x00, 0x00, 0x0a, 0x09, 0x01, 0x07, 0x00, 0x20, 0x00, 0x20, 0x01, 0x6a, 0x0b};
    writeFile(web_ / "assets/add-0a9d.wasm", std::string(reinterpret_cast<const char*>(wasm), sizeof wasm));
    // Three seconds of a 440 Hz tone, 8 kHz mono 16-bit.
    const std::uint32_t samples = 3 * 8000;
    std::string wav = "RIFF";
    auto le = [&wav](std::uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) wav += static_cast<char>(value >> (8 * i) & 0xff);
    };
    le(36 + samples * 2, 4), wav += "WAVEfmt ";
    le(16, 4), le(1, 2), le(1, 2), le(8000, 4), le(16000, 4), le(2, 2), le(16, 2);
    wav += "data", le(samples * 2, 4);
    for (std::uint32_t i = 0; i < samples; ++i)
        le(static_cast<std::uint16_t>(static_cast<std::int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / 8000))), 2);
    writeFile(web_ / "media/tone.wav", wav);

    // The release before loaded its page as a file:// URL, and what that page stored (three
    // launches counted, and values of their own kinds) comes over once, on the first launch.
    const fs::path earlier = scratch_ / "earlier";
    fs::create_directories(earlier);
    Child writer({"/usr/bin/python3", VANTOREL_SOURCE_DIR "/tests/app/earlier_release_page.py", earlier.string(), "3"},
                 env_, scratch_ / "earlier.log");
    ASSERT_EQ(writer.waitExit(), 0) << contentOf(scratch_ / "earlier.log");
    // Its network process writes the last of it as it goes.
    ASSERT_TRUE(waitFor([&] { return groupEnded(writer.group); })) << capture("ps -ef");

    const fs::path out = home_ / "Music/Nerix/report.json";
    for (int launches = 0; launches < 2; ++launches) {
        Window window = launch(env_);
        const json report = waitForJson(out);
        ASSERT_FALSE(report.is_discarded()) << log();
        json expected = json::parse(R"({"origin": "vantorel://app", "bridge": true, "styled": "400px",
            "json": {"status": 200, "type": "application/json", "items": [1, 2, 3]},
            "route": {"status": 200, "type": "text/html; charset=utf-8"}, "worker": 42, "wasm": 42,
            "audio": {"duration": 3, "played": true, "seekedTo": 1.5, "served": true},
            "jobAudio": {"duration": 3, "seekedTo": 2, "url": "BRIDGE/files/ID/take.wav"},
            "kept": {"date": "2026-01-02T00:00:00.000Z", "bytes": [1, 2, 3], "blob": "kept"}})");
        expected["range"] = {{"status", 206}, {"range", "bytes 0-3/" + std::to_string(wav.size())}, {"text", "RIFF"}};
        expected["localStorage"] = expected["indexedDB"] = 3 + launches;
        EXPECT_EQ(report, expected) << log();
        EXPECT_EQ(log().find("moved to vantorel://app") != std::string::npos, launches == 0) << log();
        EXPECT_TRUE(waitForState(window, kGreen));
        closeAndExpectCleanExit(window);
        fs::remove(out);
    }
    EXPECT_EQ(log().find("web interface "), std::string::npos) << log();
}

// With stand-ins for the desktop on the test's bus: while a job runs suspend is held off and the
// launcher counts it; a cancelled job lets go and tells nobody; a job that ends while the window
// is not active gives exactly one notification, with a Show in Files button for its file.
TEST_F(AppWindow, JobsHoldOffSuspendShowOnTheLauncherAndEndUnseenInOneNotification) {
    startStandIn();
    const json counted = {"application://org.vantorel.Vantorel.desktop",
                          {{"count", 1}, {"count-visible", true}, {"urgent", false}}};
    install(toolChain());
    fs::copy_file(VANTOREL_SOURCE_DIR "/tests/app/page/desktop.html", web_ / "index.html",
                  fs::copy_options::overwrite_existing);
    Window window = launch(env_);

    // The master waits: suspend only (GTK's flag 4) is held off, and the launcher shows 1.
    ASSERT_TRUE(waitFor([&] {
        const auto updates = calls("Update");
        return std::any_of(updates.begin(), updates.end(), [&](const json& u) { return u["args"] == counted; });
    })) << contentOf(record());
    ASSERT_EQ(calls("Inhibit").size(), 1u) << contentOf(record());
    EXPECT_EQ(calls("Inhibit")[0]["args"][2], "Running master");
    EXPECT_EQ(calls("Inhibit")[0]["args"][3], 4);

    // Focus goes nowhere, so the window is no longer active; the master is cancelled.
    XSetInputFocus(x_, None, RevertToNone, CurrentTime);
    XSync(x_, False);
    writeFile(web_ / "cancel", "go");
    ASSERT_TRUE(waitFor([&] { return !calls("Uninhibit").empty(); })) << log();
    EXPECT_EQ(calls("Uninhibit")[0]["args"], json::array({calls("Inhibit")[0]["cookie"]}));
    writeFile(web_ / "compose", "go");
    ASSERT_TRUE(waitFor([&] { return !calls("Notify").empty(); })) << log();
    closeAndExpectCleanExit(window);

    // Only the compose told the user, once; every hold on suspend was let go, the count gone.
    const std::vector<json> notices = calls("Notify");
    ASSERT_EQ(notices.size(), 1u) << contentOf(record());
    const std::string file = (home_ / "Music/Nerix/morning.mid").string();
    EXPECT_EQ(notices[0]["args"][3], "Compose finished: morning.mid");
    EXPECT_EQ(notices[0]["args"][4], file.substr(0, file.rfind('/')));
    EXPECT_THAT(notices[0]["args"][5].dump(), AllOf(HasSubstr("\"Show in Files\""), HasSubstr(file)));
    EXPECT_EQ(calls("Uninhibit").size(), calls("Inhibit").size()) << contentOf(record());
    EXPECT_EQ(calls("Update").back()["args"][1]["count"], 0);
}

}  // namespace
}  // namespace nerix
