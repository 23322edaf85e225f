// window_bench [RUNS]
//
// How long the application takes from launch until its window is shown (the X server maps the
// top-level window) and until the page has drawn (the window is no longer one colour), on a
// virtual X screen started here. Three programs, measured in the same run, taken in turn: one
// warm-up round and then RUNS rounds (default 5), reported as medians:
//   - the application from the build's bundle, bridge on (its Info.plist names node and the demo);
//   - the same program from a bundle with no configuration: no bridge, the baseline for the
//     bridge's share of the start;
//   - xmessage, a bare X client: the baseline for starting any window on this machine.
// Xlib is opened at run time, so the benchmark needs no more than the bridge library to build.
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// The few Xlib calls used, found at run time.
struct Xlib {
    void* library = nullptr;
    Display* (*openDisplay)(const char*) = nullptr;
    int (*closeDisplay)(Display*) = nullptr;
    Window (*defaultRootWindow)(Display*) = nullptr;
    int (*selectInput)(Display*, Window, long) = nullptr;
    int (*pending)(Display*) = nullptr;
    int (*nextEvent)(Display*, XEvent*) = nullptr;
    int (*connectionNumber)(Display*) = nullptr;
    int (*flush)(Display*) = nullptr;
    XImage* (*getImage)(Display*, Drawable, int, int, unsigned, unsigned, unsigned long, int) = nullptr;
    XErrorHandler (*setErrorHandler)(XErrorHandler) = nullptr;

    bool load() {
        library = ::dlopen("libX11.so.6", RTLD_NOW);
        if (!library) return false;
        auto find = [&](auto& pointer, const char* name) {
            pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(::dlsym(library, name));
            return pointer != nullptr;
        };
        return find(openDisplay, "XOpenDisplay") && find(closeDisplay, "XCloseDisplay") &&
               find(defaultRootWindow, "XDefaultRootWindow") && find(selectInput, "XSelectInput") &&
               find(pending, "XPending") && find(nextEvent, "XNextEvent") &&
               find(connectionNumber, "XConnectionNumber") && find(flush, "XFlush") &&
               find(getImage, "XGetImage") && find(setErrorHandler, "XSetErrorHandler");
    }
};

Xlib x;

int ignoreXErrors(Display*, XErrorEvent*) { return 0; }  // a window may go while we look at it

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env, int fd3 = -1) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (fd3 >= 0) posix_spawn_file_actions_adddup2(&actions, fd3, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);  // its helpers go with it
    posix_spawnattr_setpgroup(&attributes, 0);
    std::vector<std::string> environment;
    for (auto& [name, value] : env) environment.push_back(name + "=" + value);
    std::vector<char*> args, envp;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0].c_str(), &actions, &attributes, args.data(), envp.data()) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    return pid;
}

// Ends a process group started here and reaps its leader.
void stopGroup(pid_t pid, int signal = SIGTERM) {
    if (pid <= 0) return;
    ::kill(-pid, signal);
    const auto end = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < end) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// Reads one line a child writes to the pipe it got as descriptor 3.
std::string readLine(int fd, int timeoutMs) {
    std::string line;
    pollfd waiting{fd, POLLIN, 0};
    while (::poll(&waiting, 1, timeoutMs) == 1) {
        char c;
        if (::read(fd, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    return line;
}

std::map<std::string, std::string> inherited() {
    std::map<std::string, std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string text = *e;
        auto eq = text.find('=');
        if (eq != std::string::npos) env[text.substr(0, eq)] = text.substr(eq + 1);
    }
    return env;
}

struct Launch {
    double shownMs = -1;  // launch -> top-level window mapped
    double drawnMs = -1;  // launch -> window content not one colour
};

bool oneColour(Display* display, Window window) {
    XImage* image = x.getImage(display, window, 0, 0, 1240, 820, AllPlanes, ZPixmap);
    if (!image) return true;
    const unsigned long first = XGetPixel(image, 0, 0);
    bool same = true;
    for (int y = 0; y < 820 && same; y += 4)
        for (int xx = 0; xx < 1240 && same; xx += 4) same = XGetPixel(image, xx, y) == first;
    XDestroyImage(image);
    return same;
}

std::optional<Launch> launchOnce(Display* display, const std::vector<std::string>& argv,
                                 const std::map<std::string, std::string>& env, bool waitForDrawing) {
    Window root = x.defaultRootWindow(display);
    x.selectInput(display, root, SubstructureNotifyMask);
    x.flush(display);
    while (x.pending(display)) {  // events of earlier launches
        XEvent old;
        x.nextEvent(display, &old);
    }

    const auto start = Clock::now();
    pid_t pid = spawn(argv, env);
    if (pid <= 0) return std::nullopt;
    auto since = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };

    Launch result;
    Window shown = 0;
    std::map<Window, bool> overrideRedirect;
    const auto deadline = start + std::chrono::seconds(60);
    pollfd connection{x.connectionNumber(display), POLLIN, 0};
    while (!shown && Clock::now() < deadline) {
        if (!x.pending(display)) {
            ::poll(&connection, 1, 20);
            continue;
        }
        XEvent event;
        x.nextEvent(display, &event);
        if (event.type == CreateNotify) overrideRedirect[event.xcreatewindow.window] = event.xcreatewindow.override_redirect;
        if (event.type == MapNotify && !event.xmap.override_redirect && !overrideRedirect[event.xmap.window]) {
            shown = event.xmap.window;
            result.shownMs = since();
        }
    }
    if (shown && waitForDrawing) {
        while (Clock::now() < deadline && oneColour(display, shown))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (Clock::now() < deadline) result.drawnMs = since();
    }
    stopGroup(pid);
    if (!shown) return std::nullopt;
    return result;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text;
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!x.load()) {
        std::fprintf(stderr, "window_bench: libX11 not found\n");
        return 1;
    }
    x.setErrorHandler(ignoreXErrors);

    const fs::path build = VANTOREL_BINARY_DIR;
    const fs::path app = build / "bundle" / "bin" / "vantorel";
    if (!fs::exists(app)) {
        std::fprintf(stderr, "window_bench: build the application first (%s)\n", app.c_str());
        return 1;
    }
    // The same program in a bundle with no configuration (a copy: it finds its bundle
    // through its own file).
    const fs::path scratch = build / "bench" / "window";
    const fs::path bare = scratch / "bare-bundle";
    fs::remove_all(bare);
    fs::create_directories(bare / "bin");
    fs::copy_file(app, bare / "bin" / "vantorel");
    writeFile(bare / "share" / "vantorel" / "Info.plist", "<plist version=\"1.0\"><dict/></plist>\n");
    fs::copy(build / "bundle" / "share" / "vantorel" / "Web", bare / "share" / "vantorel" / "Web",
             fs::copy_options::recursive);

    // A virtual screen and a session bus of our own, for every launch.
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) return 1;
    pid_t server = spawn({"Xvfb", "-displayfd", "3", "-screen", "0", "1920x1200x24", "-nolisten", "tcp", "-noreset"},
                         inherited(), pipe[1]);
    ::close(pipe[1]);
    std::string number = readLine(pipe[0], 30000);
    ::close(pipe[0]);
    if (number.empty()) {
        std::fprintf(stderr, "window_bench: Xvfb did not start\n");
        stopGroup(server);
        return 1;
    }
    auto env = inherited();
    env["DISPLAY"] = ":" + number;
    env["HOME"] = (scratch / "home").string();
    fs::create_directories(scratch / "home");
    std::string runtime = "/tmp/vantorel-bench-XXXXXX";  // short: WebKit puts sockets there
    if (!::mkdtemp(runtime.data())) return 1;
    env["XDG_RUNTIME_DIR"] = runtime;
    for (const char* name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "WAYLAND_DISPLAY", "GDK_BACKEND"})
        env.erase(name);
    if (::pipe2(pipe, O_CLOEXEC) != 0) return 1;
    pid_t bus = spawn({"dbus-daemon", "--session", "--nofork", "--print-address=3"}, env, pipe[1]);
    ::close(pipe[1]);
    std::string address = readLine(pipe[0], 30000);
    ::close(pipe[0]);
    if (!address.empty()) env["DBUS_SESSION_BUS_ADDRESS"] = address;

    Display* display = x.openDisplay(env["DISPLAY"].c_str());
    if (!display) {
        std::fprintf(stderr, "window_bench: cannot open %s\n", env["DISPLAY"].c_str());
        stopGroup(bus);
        stopGroup(server);
        return 1;
    }

    struct Program {
        const char* label;
        std::vector<std::string> argv;
        bool draws;
    };
    const std::vector<Program> programs = {
        {"vantorel, bridge on", {app.string()}, true},
        {"vantorel, no configuration", {(bare / "bin" / "vantorel").string()}, true},
        {"baseline: xmessage", {"xmessage", "-center", "Vantorel window benchmark"}, false},
    };

    std::printf("window_bench: %d launches each after one warm-up round, on a 1920x1200 Xvfb screen (%s)\n", runs,
                env["DISPLAY"].c_str());
    std::printf("%-30s %14s %10s %10s %16s\n", "program", "shown median", "min", "max", "page drawn med.");
    // Rounds take the programs in turn, so that none gains from running after the others.
    std::vector<std::vector<double>> shown(programs.size()), drawn(programs.size());
    std::vector<bool> failed(programs.size(), false);
    for (int round = 0; round <= runs; ++round) {
        for (std::size_t p = 0; p < programs.size(); ++p) {
            if (failed[p]) continue;
            auto launch = launchOnce(display, programs[p].argv, env, programs[p].draws);
            if (!launch) {
                failed[p] = true;
                continue;
            }
            if (round == 0) continue;  // the warm-up fills caches
            shown[p].push_back(launch->shownMs);
            if (launch->drawnMs >= 0) drawn[p].push_back(launch->drawnMs);
        }
    }
    double appShown = -1;
    for (std::size_t p = 0; p < programs.size(); ++p) {
        if (failed[p] || shown[p].empty()) {
            std::printf("%-30s %14s\n", programs[p].label, "no window");
            continue;
        }
        const double m = median(shown[p]);
        if (p == 0) appShown = m;
        std::printf("%-30s %11.1f ms %7.1f ms %7.1f ms", programs[p].label, m,
                    *std::min_element(shown[p].begin(), shown[p].end()),
                    *std::max_element(shown[p].begin(), shown[p].end()));
        if (!drawn[p].empty())
            std::printf(" %13.1f ms\n", median(drawn[p]));
        else
            std::printf(" %16s\n", "-");
    }
    if (appShown >= 0)
        std::printf("target: window shown within 1000 ms of launch (median): %.1f ms, %s\n", appShown,
                    appShown <= 1000 ? "met" : "not met");

    x.closeDisplay(display);
    stopGroup(bus);
    stopGroup(server);
    fs::remove_all(runtime);
    return 0;
}
