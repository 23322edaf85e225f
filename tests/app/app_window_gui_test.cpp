// The real application, end to end: a bundle made for the test, a virtual display of its own,
// a page that calls the bridge with fetch (so every job goes through a real preflight) and a
// tool that records what it was asked. Every wait is for a condition, with a deadline.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

// Last: Xlib's names (None, Status, Bool...) must not shadow anything above.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace nerix {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

// Generous: WebKit starts three processes, and these machines are shared with other builds.
constexpr auto kDeadline = std::chrono::seconds(120);

// Polls `condition` every 20 ms until it holds or the deadline passes.
bool waitFor(const std::function<bool()>& condition, std::chrono::seconds deadline = kDeadline) {
    const auto end = Clock::now() + deadline;
    while (Clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void writeText(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// Runs a shell command line and returns its standard output.
std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
    ::pclose(pipe);
    return out;
}

struct Child {
    pid_t pid = -1;

    // Waits for the exit; -1 when it has not ended by the deadline.
    int waitExit(std::chrono::seconds deadline = kDeadline) {
        int status = 0;
        bool ended = waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, deadline);
        if (!ended) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Ends the whole process group (the child and whatever it started) if still running.
    void stop() {
        if (pid <= 0) return;
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

// Starts `argv` in a process group of its own, with `env`, standard output and error to
// `log`, and `extraFd` (if any) as descriptor 3.
Child spawn(std::vector<std::string> argv, const std::map<std::string, std::string>& env, const fs::path& log,
            int extraFd = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (extraFd >= 0) posix_spawn_file_actions_adddup2(&actions, extraFd, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    std::vector<std::string> environment;
    for (auto& [name, value] : env) environment.push_back(name + "=" + value);
    std::vector<char*> argvPointers, envPointers;
    for (auto& a : argv) argvPointers.push_back(a.data());
    argvPointers.push_back(nullptr);
    for (auto& e : environment) envPointers.push_back(e.data());
    envPointers.push_back(nullptr);

    Child child;
    int error = ::posix_spawnp(&child.pid, argv[0].c_str(), &actions, &attributes, argvPointers.data(),
                               envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    EXPECT_EQ(error, 0) << "cannot start " << argv[0];
    if (error) child.pid = -1;
    return child;
}

// Ends every web content process below `parent` (WebKit starts them, under bubblewrap when
// sandboxed); the number ended.
int killWebProcesses(pid_t parent) {
    int ended = 0;
    std::error_code gone;  // a process may end meanwhile
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(parent) + "/task", gone)) {
        std::istringstream children(readText(task.path() / "children"));
        for (pid_t child; children >> child;)
            ended += readText("/proc/" + std::to_string(child) + "/comm") == "WebKitWebProces\n"
                         ? ::kill(child, SIGKILL) == 0
                         : killWebProcesses(child);
    }
    return ended;
}

std::map<std::string, std::string> inheritedEnvironment() {
    std::map<std::string, std::string> env;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        auto equals = text.find('=');
        if (equals != std::string::npos) env[text.substr(0, equals)] = text.substr(equals + 1);
    }
    return env;
}

// A virtual screen of 1920 x 1200 for one test, so that tests running side by side never
// share a screen.
class VirtualDisplay {
public:
    explicit VirtualDisplay(const fs::path& log) {
        int ready[2];
        if (::pipe2(ready, O_CLOEXEC) != 0) return;
        server_ = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1920x1200x24", "-nolisten", "tcp", "-noreset"},
                        inheritedEnvironment(), log, ready[1]);
        ::close(ready[1]);
        // The server writes its display number once it accepts clients.
        std::string number;
        pollfd waiting{ready[0], POLLIN, 0};
        while (::poll(&waiting, 1, 30000) == 1) {
            char c;
            if (::read(ready[0], &c, 1) != 1 || c == '\n') break;
            number += c;
        }
        ::close(ready[0]);
        if (!number.empty()) name_ = ":" + number;
        // A window may go while the test looks at it: that must not end the test program.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        if (!name_.empty()) display_ = XOpenDisplay(name_.c_str());
    }
    ~VirtualDisplay() {
        if (display_) XCloseDisplay(display_);
        if (server_.pid > 0) {
            ::kill(server_.pid, SIGTERM);
            if (server_.waitExit(std::chrono::seconds(10)) < 0) server_.stop();
        }
    }
    const std::string& name() const { return name_; }
    Display* x() const { return display_; }

private:
    Child server_;
    std::string name_;
    Display* display_ = nullptr;
};

struct Rgb {
    int r, g, b;
};

// The window's content as the screen shows it now; also written to `ppm` for a person to look at.
std::vector<Rgb> grab(Display* display, Window window, int width, int height, const fs::path& ppm) {
    std::vector<Rgb> pixels;
    XImage* image = XGetImage(display, window, 0, 0, width, height, AllPlanes, ZPixmap);
    if (!image) return pixels;
    pixels.reserve(static_cast<std::size_t>(width) * height);
    std::string raw = "P6\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            unsigned long p = XGetPixel(image, x, y);
            Rgb rgb{int((p >> 16) & 0xff), int((p >> 8) & 0xff), int(p & 0xff)};
            pixels.push_back(rgb);
            raw += char(rgb.r), raw += char(rgb.g), raw += char(rgb.b);
        }
    XDestroyImage(image);
    writeText(ppm, raw);
    return pixels;
}

bool near(Rgb a, Rgb b) { return std::abs(a.r - b.r) < 24 && std::abs(a.g - b.g) < 24 && std::abs(a.b - b.b) < 24; }

class AppWindow : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        // Under the build folder, not /tmp: WebKit's sandbox gives its processes a /tmp of their own.
        scratch_ = fs::path(VANTOREL_BINARY_DIR) / "tests" / "app-gui" / info->name();
        fs::remove_all(scratch_);
        fs::create_directories(scratch_);
        bundle_ = scratch_ / "bundle";
        resources_ = bundle_ / "share" / "vantorel";
        home_ = scratch_ / "home";
        fs::create_directories(home_);
        // WebKit puts the sockets of its bus proxies in the runtime folder, and a socket's
        // path must stay short: a folder of the test's own under /tmp.
        std::string runtime = "/tmp/vantorel-gui-XXXXXX";
        ASSERT_NE(::mkdtemp(runtime.data()), nullptr);
        runtime_ = runtime;
        // A copy, not a link: the application finds its bundle through its own file. The program
        // comes from the build's bundle, or from VANTOREL_TEST_BUNDLE_DIR (a package's tree, unpacked).
        const char* tree = std::getenv("VANTOREL_TEST_BUNDLE_DIR");
        fs::create_directories(bundle_ / "bin");
        fs::copy_file(fs::path(tree && *tree ? tree : VANTOREL_BINARY_DIR "/bundle") / "bin" / "vantorel",
                      bundle_ / "bin" / "vantorel");
        display_ = std::make_unique<VirtualDisplay>(scratch_ / "xvfb.log");
        ASSERT_TRUE(display_->x()) << "no virtual display: " << readText(scratch_ / "xvfb.log");
        // A session bus of the test's own, shared by every start of the application in it.
        int ready[2];
        ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
        bus_ = spawn({"dbus-daemon", "--session", "--nofork", "--print-address=3"}, inheritedEnvironment(),
                     scratch_ / "bus.log", ready[1]);
        ::close(ready[1]);
        FILE* address = ::fdopen(ready[0], "r");
        char line[1024] = "";
        ASSERT_TRUE(std::fgets(line, sizeof line, address)) << readText(scratch_ / "bus.log");
        std::fclose(address);
        busAddress_ = std::string(line, std::strcspn(line, "\n"));
    }

    void TearDown() override {
        app_.stop();
        compositor_.stop();
        bus_.stop();
        display_.reset();
        if (!runtime_.empty()) fs::remove_all(runtime_);
    }

    void writeInfoPlist(const std::string& entries) {
        writeText(resources_ / "Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
                      "</dict>\n</plist>\n");
    }

    void copyTestPage() {
        fs::create_directories(resources_ / "Web");
        for (const char* file : {"index.html", "sibling.json"})
            fs::copy_file(fs::path(VANTOREL_SOURCE_DIR "/tests/app/page") / file, resources_ / "Web" / file);
    }

    // The application's environment: the test's X screen, or with `wayland` a headless Wayland
    // compositor in the test's runtime folder, whose protocol the application logs.
    std::map<std::string, std::string> appEnvironment(bool wayland = false) {
        auto env = inheritedEnvironment();
        env["HOME"] = home_.string();
        env["XDG_RUNTIME_DIR"] = runtime_.string();
        env["DBUS_SESSION_BUS_ADDRESS"] = busAddress_;
        for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "WAYLAND_DISPLAY", "GDK_BACKEND"})
            env.erase(name);
        // WebKit's sandbox needs bubblewrap to work here; where it cannot, this test alone runs
        // the web processes without it.
        if (std::system("bwrap --ro-bind / / --dev /dev --proc /proc true >/dev/null 2>&1") != 0)
            env["WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS"] = "1";
        if (!wayland) {
            env["DISPLAY"] = display_->name();
            return env;
        }
        if (compositor_.pid < 0) {
            compositor_ = spawn({"weston", "--backend=headless-backend.so", "--socket=wayland-test", "--idle-time=0"},
                                env, scratch_ / "weston.log");
            EXPECT_TRUE(waitFor([&] { return fs::exists(runtime_ / "wayland-test"); }))
                << readText(scratch_ / "weston.log");
        }
        env.erase("DISPLAY");
        env["WAYLAND_DISPLAY"] = "wayland-test";
        env["GDK_BACKEND"] = "wayland";
        env["WAYLAND_DEBUG"] = "client";
        return env;
    }

    void launch(const std::map<std::string, std::string>& env) {
        app_ = spawn({(bundle_ / "bin" / "vantorel").string()}, env, scratch_ / "app.log");
        ASSERT_GT(app_.pid, 0);
    }

    std::string tool(const std::string& arguments) {
        return capture("DISPLAY=" + display_->name() + " " + arguments + " 2>/dev/null");
    }

    // The shown top-level window titled "Vantorel", found with xdotool.
    Window waitForWindow() {
        Window found = 0;
        bool shown = waitFor([&] {
            std::string ids = tool("xdotool search --onlyvisible --name '^Vantorel$'");
            if (ids.empty()) return false;
            found = std::stoul(ids);
            return true;
        });
        EXPECT_TRUE(shown) << "no window; the application said: " << readText(scratch_ / "app.log");
        return found;
    }

    // Title, content size, place and minimum size, read with the X tools.
    void expectWindowShape(Window window) {
        std::string info = tool("xwininfo -id " + std::to_string(window));
        auto number = [&](const std::string& label) {
            std::smatch m;
            std::regex pattern(label + R"(:\s+(-?\d+))");
            return std::regex_search(info, m, pattern) ? std::stoi(m[1]) : -1;
        };
        EXPECT_EQ(number("Width"), 1240) << info;
        EXPECT_EQ(number("Height"), 820) << info;
        // Centred on the 1920 x 1200 screen, with no window manager to do it.
        EXPECT_EQ(number("Absolute upper-left X"), (1920 - 1240) / 2) << info;
        EXPECT_EQ(number("Absolute upper-left Y"), (1200 - 820) / 2) << info;

        // GTK sets the size hints with the window's first frame, which may come after it is shown.
        std::string props;
        waitFor([&] {
            props = tool("xprop -id " + std::to_string(window) + " _NET_WM_NAME WM_NORMAL_HINTS WM_CLASS");
            return props.find("minimum size") != std::string::npos;
        });
        EXPECT_NE(props.find("_NET_WM_NAME(UTF8_STRING) = \"Vantorel\""), std::string::npos) << props;
        EXPECT_NE(props.find("WM_CLASS(STRING) = \"vantorel\", \"org.vantorel.Vantorel\""), std::string::npos) << props;
        EXPECT_NE(props.find("program specified minimum size: 1040 by 680"), std::string::npos) << props;
    }

    // Waits until the pixel at (x, y) of the window shows `colour`.
    bool waitForColour(Window window, int x, int y, Rgb colour) {
        return waitFor([&] {
            auto pixels = grab(display_->x(), window, 1240, 820, scratch_ / "screenshot.ppm");
            return !pixels.empty() && near(pixels[static_cast<std::size_t>(y) * 1240 + x], colour);
        });
    }

    // Closes the window as a window manager does when the user clicks its close button.
    void closeWindow(Window window) {
        Display* x = display_->x();
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(x, "WM_PROTOCOLS", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(XInternAtom(x, "WM_DELETE_WINDOW", False));
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(x, window, False, NoEventMask, &event);
        XFlush(x);
    }

    void closeAndExpectCleanExit(Window window) {
        closeWindow(window);
        EXPECT_EQ(app_.waitExit(), 0) << readText(scratch_ / "app.log");
    }

    fs::path scratch_, bundle_, resources_, home_, runtime_;
    std::unique_ptr<VirtualDisplay> display_;
    Child bus_, compositor_, app_;
    std::string busAddress_;
};

const Rgb kGreen{0, 255, 0}, kMagenta{255, 0, 255};

// The full run under X11 (with the window's shape and pixels) and under Wayland (true).
class AppWindowOn : public AppWindow, public ::testing::WithParamInterface<bool> {};
INSTANTIATE_TEST_SUITE_P(X11AndWayland, AppWindowOn, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& backend) { return backend.param ? "Wayland" : "X11"; });

TEST_P(AppWindowOn, ThePageDrivesEveryJobThroughTheBridgeASecondStartHandsOverAndTheWindowClosesCleanly) {
    const bool wayland = GetParam();
    // The tool chain: the recording tool where the bridge expects the command line.
    fs::path repo = scratch_ / "repo";
    fs::path entry = repo / "packages" / "cli" / "dist" / "index.js";
    fs::create_directories(entry.parent_path());
    fs::copy_file(VANTOREL_SOURCE_DIR "/tests/app/fixture_tool.js", entry);
    std::string node = capture("command -v node");
    while (!node.empty() && node.back() == '\n') node.pop_back();
    ASSERT_FALSE(node.empty()) << "node is not on the PATH";
    writeInfoPlist("<key>NerixNodePath</key><string>" + node + "</string>\n<key>NerixRepoRoot</key><string>" +
                   repo.string() + "</string>\n");
    copyTestPage();

    const auto env = appEnvironment(wayland);
    launch(env);
    Window window = 0;
    if (!wayland) {
        window = waitForWindow();
        ASSERT_NE(window, 0u);
        expectWindowShape(window);
    }

    // The page hands its findings to the last compose job; the tool writes them to -o.
    fs::path reportFile = home_ / "Music" / "Nerix" / "report.json";
    json report;
    ASSERT_TRUE(waitFor([&] {
        if (!fs::exists(reportFile)) return false;
        report = json::parse(readText(reportFile), nullptr, false);
        return !report.is_discarded();
    })) << readText(scratch_ / "app.log");

    // The page saw the bridge the application started, on the port it logged.
    std::smatch logged;
    std::string log = readText(scratch_ / "app.log");
    ASSERT_TRUE(std::regex_search(log, logged, std::regex(R"(NerixBridge listening on 127\.0\.0\.1:(\d+))"))) << log;
    const int port = std::stoi(logged[1]);
    EXPECT_EQ(report["bridge"]["port"], port);
    EXPECT_EQ(report["bridge"]["origin"], "http://127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(report["bridge"]["token"].get<std::string>().size(), 44u);

    // It may read the files beside it and nothing outside its folder.
    EXPECT_EQ(report["sibling"], "{\"sibling\":true}\n");
    EXPECT_EQ(report["outside"], "refused");

    EXPECT_EQ(report["health"], (json{{"status", 200}, {"json", {{"ok", true}, {"version", "0.2.0"}}}}));
    fs::path outputDir = home_ / "Music" / "Nerix";
    EXPECT_EQ(report["compose"], (json{{"status", 200},
                                       {"json",
                                        {{"ok", true},
                                         {"outputPath", (outputDir / "e2e-piece.mid").string()},
                                         {"stdout", "fixture compose build ok\n"}}}}));
    EXPECT_EQ(report["master"], (json{{"status", 200}, {"json", {{"ok", true}, {"stdout", "fixture master run ok\n"}}}}));
    EXPECT_EQ(report["verify"], (json{{"status", 200},
                                      {"json",
                                       {{"ok", true},
                                        {"stdout", "fixture master verify ok\n"},
                                        {"stderr", "fixture verify notes\n"}}}}));
    EXPECT_EQ(report["withoutToken"]["status"], 401);

    // What the tool was asked, in order, in the repository root.
    std::vector<json> calls;
    std::istringstream lines(readText(repo / "packages" / "cli" / "dist" / "calls.jsonl"));
    for (std::string line; std::getline(lines, line);) calls.push_back(json::parse(line));
    ASSERT_EQ(calls.size(), 5u);
    for (const json& call : calls) EXPECT_EQ(call["cwd"], repo.string());

    const json& compose = calls[0]["args"];
    ASSERT_EQ(compose.size(), 5u);
    EXPECT_EQ(compose[0], "compose");
    EXPECT_EQ(compose[1], "build");
    fs::path source = compose[2].get<std::string>();
    EXPECT_TRUE(source.is_absolute());
    EXPECT_EQ(source.filename(), "e2e-piece.morvane");
    EXPECT_FALSE(fs::exists(source)) << "the temporary source outlived the job";
    EXPECT_EQ(compose[3], "-o");
    EXPECT_EQ(compose[4], (outputDir / "e2e-piece.mid").string());
    EXPECT_EQ(calls[0]["source"], "C4 D4 E4\n");

    EXPECT_EQ(calls[1]["args"], (json{"master", "run", "manifests/e2e.master.json", "-o", "out/e2e.wav"}));
    // The options in their fixed order, whatever the order of the keys the page sent.
    EXPECT_EQ(calls[2]["args"], (json{"master", "verify", "in.wav", "--seed", "s33d", "--carrier", "440", "--mix-db",
                                      "-6.5", "--null-trials", "200"}));
    // The line reached the page while the tool ran, and the page's cancel stopped the tool.
    EXPECT_EQ(report["live"], (json{{"type", "application/x-ndjson"}, {"first", {{"stdout", "fixture waits\n"}}}}));
    EXPECT_NE(::kill(calls[3]["pid"].get<pid_t>(), 0), 0) << "the cancelled tool still runs";
    EXPECT_EQ(calls[4]["args"][4], (outputDir / "report.json").string());
    EXPECT_NE(log.find("page loaded: file://" + (resources_ / "Web" / "index.html").string() + "\n"),
              std::string::npos) << log;

    // A second start hands over to this one and ends without a bridge or a window of its own.
    Child second = spawn({(bundle_ / "bin" / "vantorel").string()}, env, scratch_ / "second.log");
    EXPECT_EQ(second.waitExit(), 0);
    EXPECT_EQ(readText(scratch_ / "second.log").find("NerixBridge"), std::string::npos);
    if (wayland) {
        // Without weston's screenshot protocol the pixels are left to the X11 run.
        EXPECT_NE(readText(scratch_ / "app.log").find(".set_app_id(\"org.vantorel.Vantorel\")"), std::string::npos);
        ::kill(app_.pid, SIGTERM);
        EXPECT_EQ(app_.waitExit(), 0);
        return;
    }
    EXPECT_EQ(tool("xdotool search --onlyvisible --name '^Vantorel$'"), std::to_string(window) + "\n");

    // The page has finished (its state box turned green) and the window shows it.
    ASSERT_TRUE(waitForColour(window, 240, 270, kGreen)) << "see " << (scratch_ / "screenshot.ppm");
    auto pixels = grab(display_->x(), window, 1240, 820, scratch_ / "screenshot.ppm");
    std::size_t dark = 0, white = 0;
    for (const Rgb& p : pixels) {
        dark += p.r + p.g + p.b < 150;
        white += p.r > 240 && p.g > 240 && p.b > 240;
    }
    EXPECT_GT(dark, 500u) << "no heading text on screen";
    EXPECT_GT(white, pixels.size() / 2) << "the page's white background is not on screen";

    closeAndExpectCleanExit(window);
}

TEST_F(AppWindow, WithoutConfigurationThePageLoadsWithNoBridgeAndLinksOpenInTheBrowser) {
    writeInfoPlist("<key>CFBundleName</key><string>Vantorel</string>\n");
    copyTestPage();
    // The user's browser, as the desktop's defaults name it: a script that notes what it opens.
    fs::path opened = scratch_ / "opened-uri";
    writeText(scratch_ / "browser.sh", "#!/bin/sh\nprintf '%s' \"$1\" > " + opened.string() + ".part && mv " +
                                           opened.string() + ".part " + opened.string() + "\n");
    fs::permissions(scratch_ / "browser.sh", fs::perms::owner_all);
    writeText(home_ / ".local/share/applications/test-browser.desktop",
              "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" + (scratch_ / "browser.sh").string() +
                  " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\nNoDisplay=true\n");
    writeText(home_ / ".config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/http=test-browser.desktop\n"
              "x-scheme-handler/https=test-browser.desktop\n");

    launch(appEnvironment());
    Window window = waitForWindow();
    ASSERT_NE(window, 0u);
    expectWindowShape(window);
    EXPECT_TRUE(waitForColour(window, 240, 270, kMagenta)) << "see " << (scratch_ / "screenshot.ppm");

    // The user clicks the page's link to another site: the browser gets it, the window keeps the page.
    tool("xdotool mousemove --window " + std::to_string(window) + " 750 170 click 1");
    ASSERT_TRUE(waitFor([&] { return fs::exists(opened); })) << readText(scratch_ / "app.log");
    EXPECT_EQ(readText(opened), "https://example.invalid/vantorel-link?x=1");
    EXPECT_TRUE(waitForColour(window, 240, 270, kMagenta)) << "the window left the page";

    // The page's content process dies: the page comes back twice, then a plain page says so.
    auto loads = [&] {
        std::string log = readText(scratch_ / "app.log");
        std::vector<std::string> pages;
        for (std::size_t at = 0; (at = log.find("page loaded: ", at)) != std::string::npos; at += 13)
            pages.push_back(log.substr(at + 13, log.find('\n', at) - at - 13));
        return pages;
    };
    for (std::size_t death = 1; death <= 3; ++death) {
        ASSERT_GT(killWebProcesses(app_.pid), 0);
        ASSERT_TRUE(waitFor([&] { return loads().size() == death + 1; })) << readText(scratch_ / "app.log");
    }
    std::vector<std::string> expected(3, "file://" + (resources_ / "Web" / "index.html").string());
    expected.push_back("about:blank");
    EXPECT_EQ(loads(), expected);
    const std::string log = readText(scratch_ / "app.log");
    EXPECT_NE(log.find("crashed or was killed: loading the page again"), std::string::npos) << log;
    EXPECT_NE(log.find("the third time within a minute: showing a plain page instead"), std::string::npos) << log;
    closeAndExpectCleanExit(window);
    // No bridge, and nothing said about it.
    EXPECT_EQ(readText(scratch_ / "app.log").find("NerixBridge"), std::string::npos);
}

TEST_F(AppWindow, WithoutIndexTheFallbackTextIsShown) {
    writeInfoPlist("");
    fs::create_directories(resources_ / "Web");
    writeText(resources_ / "Web" / "other.html", "<p>not the page</p>");
    // The command line answers without a display; with no session bus the window still opens.
    const fs::path program = bundle_ / "bin" / "vantorel";
    EXPECT_EQ(capture("env -u DISPLAY -u WAYLAND_DISPLAY " + program.string() + " --version"), "vantorel 0.2.0\n");
    EXPECT_NE(capture(program.string() + " --help").find("--inspect"), std::string::npos);
    EXPECT_NE(std::system((program.string() + " --no-such-option 2>/dev/null").c_str()), 0);
    auto env = appEnvironment();
    env["DBUS_SESSION_BUS_ADDRESS"] = "unix:path=" + (scratch_ / "no-bus").string();
    launch(env);
    Window window = waitForWindow();
    ASSERT_NE(window, 0u);

    // One heading line of dark text at the top left on a light page, and nothing else.
    auto darkIn = [](const std::vector<Rgb>& pixels, int top, int bottom, int& rightmost) {
        int rows = 0;
        for (int y = top; y < bottom; ++y) {
            bool any = false;
            for (int x = 0; x < 1240; ++x) {
                const Rgb& p = pixels[static_cast<std::size_t>(y) * 1240 + x];
                if (p.r + p.g + p.b < 200) {
                    any = true;
                    rightmost = std::max(rightmost, x);
                }
            }
            rows += any;
        }
        return rows;
    };
    int headingEnd = 0, belowEnd = 0, headingRows = 0, belowRows = 0;
    bool shown = waitFor([&] {
        auto pixels = grab(display_->x(), window, 1240, 820, scratch_ / "screenshot.ppm");
        if (pixels.empty()) return false;
        headingEnd = belowEnd = 0;
        headingRows = darkIn(pixels, 0, 80, headingEnd);
        belowRows = darkIn(pixels, 100, 820, belowEnd);
        return headingRows >= 15 && belowRows == 0;
    });
    EXPECT_TRUE(shown) << headingRows << " rows of text at the top, " << belowRows << " below; see "
                       << (scratch_ / "screenshot.ppm");
    // "Vantorel resources missing." at a heading's size: a few hundred pixels wide.
    EXPECT_GT(headingEnd, 250);
    EXPECT_LT(headingEnd, 800);
    closeAndExpectCleanExit(window);
}

}  // namespace
}  // namespace nerix
