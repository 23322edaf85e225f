// window_bench [RUNS [PROGRAM]]
//
// How long the application takes from launch until its page's first script runs, until the page
// has drawn (the window is no longer one colour) and until its window is shown (the X server maps
// the top-level window), against the least GTK 4 + WebKitGTK program showing the same page
// (bench/bare_webview.cpp), on a virtual X screen with a session bus of its own. The page is the
// bundle's Web/index.html with a first script that calls a loopback listener of this benchmark.
// Rounds take the programs in turn, with warm caches (one home for every launch) and with a
// fresh home for each launch; one warm-up round, then RUNS rounds (default 5), medians.
// With warm caches it also times a second launch while the first runs, from its start until it
// has handed over and exited, against `vantorel --version` (start and exit alone), and a second
// launch with a file, until the running window's page has it as an event.
// Last, a 64 MiB file of the page's folder fetched by the page (see pageFetch).
// A third program is the application again with a settings file of the user's (a tool chain
// folder, Node.js by a bare name, the web folder), so its reading, the lookup and the checks are
// in the launch; with warm caches, a second launch with --repo-root then switches that window to
// another tool chain, timed from its start until the page's first script has run again.
// PROGRAM (default: the build's bundle/bin/vantorel) is run with the build's bundle files, so
// another build of the application can be compared on the same page.
// Xlib and its damage extension are opened at run time, so the benchmark needs no more than the
// bridge library to build.
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xdamage.h>

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
    // The damage extension tells when a window's content changed, so that it is looked at only
    // then: reading the whole window again and again would slow the X server for the program.
    Bool (*damageQueryExtension)(Display*, int*, int*) = nullptr;
    Damage (*damageCreate)(Display*, Drawable, int) = nullptr;
    void (*damageDestroy)(Display*, Damage) = nullptr;

    bool load() {
        library = ::dlopen("libX11.so.6", RTLD_NOW);
        void* damage = ::dlopen("libXdamage.so.1", RTLD_NOW);
        if (!library || !damage) return false;
        auto find = [&](auto& pointer, const char* name) {
            pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(::dlsym(library, name));
            if (!pointer) pointer = reinterpret_cast<std::remove_reference_t<decltype(pointer)>>(::dlsym(damage, name));
            return pointer != nullptr;
        };
        if (!find(damageQueryExtension, "XDamageQueryExtension") || !find(damageCreate, "XDamageCreate") ||
            !find(damageDestroy, "XDamageDestroy"))
            return false;
        return find(openDisplay, "XOpenDisplay") && find(closeDisplay, "XCloseDisplay") &&
               find(defaultRootWindow, "XDefaultRootWindow") && find(selectInput, "XSelectInput") &&
               find(pending, "XPending") && find(nextEvent, "XNextEvent") &&
               find(connectionNumber, "XConnectionNumber") && find(flush, "XFlush") && find(getImage, "XGetImage") &&
               find(setErrorHandler, "XSetErrorHandler");
    }
};

Xlib x;
int damageEvent = 0;  // the damage extension's first event number

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
    double scriptMs = -1;  // launch -> the page's first script calls the listener
    double drawnMs = -1;   // launch -> window content not one colour
    double shownMs = -1;   // launch -> top-level window mapped
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

// Takes every connection waiting on the (non-blocking) listener; true when there was one.
bool acceptAll(int listener) {
    bool any = false;
    for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; any = true) ::close(fd);
    return any;
}

// Starts `argv` and waits until its page's first script has run, the page has drawn and the
// window is shown; returns the process still running (its group id in `pid`).
std::optional<Launch> launchOnce(Display* display, int listener, const std::vector<std::string>& argv,
                                 const std::map<std::string, std::string>& env, pid_t& pid) {
    Window root = x.defaultRootWindow(display);
    x.selectInput(display, root, SubstructureNotifyMask);
    x.flush(display);
    while (x.pending(display)) {  // events of earlier launches
        XEvent old;
        x.nextEvent(display, &old);
    }
    acceptAll(listener);

    const auto start = Clock::now();
    pid = spawn(argv, env);
    if (pid <= 0) return std::nullopt;
    auto since = [&] { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); };

    Launch result;
    Window shown = 0;
    Damage damage = 0;
    bool changed = false;
    std::map<Window, bool> overrideRedirect;
    const auto deadline = start + std::chrono::seconds(60);
    pollfd waiting[2] = {{x.connectionNumber(display), POLLIN, 0}, {listener, POLLIN, 0}};
    while ((result.scriptMs < 0 || result.drawnMs < 0) && Clock::now() < deadline) {
        if (result.scriptMs < 0 && acceptAll(listener)) result.scriptMs = since();
        while (x.pending(display)) {
            XEvent event;
            x.nextEvent(display, &event);
            if (event.type == CreateNotify)
                overrideRedirect[event.xcreatewindow.window] = event.xcreatewindow.override_redirect;
            if (!shown && event.type == MapNotify && !event.xmap.override_redirect &&
                !overrideRedirect[event.xmap.window]) {
                shown = event.xmap.window;
                result.shownMs = since();
                damage = x.damageCreate(display, shown, XDamageReportRawRectangles);
                changed = true;
            }
            changed |= event.type == damageEvent + XDamageNotify;
        }
        if (changed && result.drawnMs < 0 && !oneColour(display, shown)) result.drawnMs = since();
        changed = false;
        ::poll(waiting, 2, 20);
    }
    if (damage) x.damageDestroy(display, damage);
    if (result.scriptMs < 0 || result.drawnMs < 0) return std::nullopt;
    return result;
}

// From the start of `argv` until it exits; -1 when it is still running after 10 s.
double runToExit(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    const auto start = Clock::now();
    pid_t pid = spawn(argv, env);
    if (pid <= 0) return -1;
    while (Clock::now() < start + std::chrono::seconds(10)) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stopGroup(pid, SIGKILL);
    return -1;
}

// A second launch `argv` while the first runs: from its start until the running window's page
// calls the beacon (its first script after a switch, its open event after a file); -1 after 10 s.
double untilBeacon(int listener, const std::vector<std::string>& argv, const std::map<std::string, std::string>& env) {
    acceptAll(listener);
    const auto start = Clock::now();
    pid_t pid = spawn(argv, env);
    if (pid <= 0) return -1;
    double ms = -1;
    while (ms < 0 && Clock::now() < start + std::chrono::seconds(10)) {
        if (acceptAll(listener)) ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    stopGroup(pid, SIGKILL);
    return ms;
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

// A listener on 127.0.0.1 for the page's first script; its port in `port`.
int beaconListener(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return fd;
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The request line's path of the next beacon call, answered 204; empty after `timeoutMs`.
std::string nextBeacon(int listener, int timeoutMs, const std::function<void()>& meanwhile) {
    const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < end) {
        meanwhile();
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        std::string request;
        char c;
        while (request.find("\r\n") == std::string::npos && ::read(fd, &c, 1) == 1) request += c;
        const std::string answer =
            "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n";
        (void)::write(fd, answer.data(), answer.size());
        ::close(fd);
        const auto first = request.find(' '), second = request.find(' ', first + 1);
        if (first != std::string::npos && second != std::string::npos)
            return request.substr(first + 1, second - first - 1);
    }
    return {};
}

std::uint64_t residentBytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    return 0;
}

// A 64 MiB file of the page's folder fetched by the page, read to its end and dropped, rounds
// alternating with the same file from the bridge's URL for the folder (where the page's media
// plays from): MB/s of each, medians, and how far the application's resident memory rose above
// what it was when the page began, sampled meanwhile.
void pageFetch(int listener, std::uint16_t beaconPort, const std::string& program, const fs::path& scratch,
               std::map<std::string, std::string> env, int runs) {
    const fs::path web = scratch / "fetch-web";
    {
        fs::create_directories(web);
        std::ofstream out(web / "big.bin", std::ios::binary);
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 64; ++i) out << block;
    }
    const std::string beacon = "http://127.0.0.1:" + std::to_string(beaconPort);
    writeFile(web / "index.html",
              "<!doctype html><script type=\"module\">\n"
              "const beacon = '" +
                  beacon +
                  "';\n"
                  "const media = document.createElement('audio');\n"
                  "media.src = 'big.bin';  // the bridge's URL for it\n"
                  "const read = async (url) => {\n"
                  "  const start = performance.now();\n"
                  "  const reader = (await fetch(url, { cache: 'no-store' })).body.getReader();\n"
                  "  let bytes = 0;\n"
                  "  for (let part; !(part = await reader.read()).done;) bytes += part.value.length;\n"
                  "  return bytes / 1e3 / (performance.now() - start);\n"
                  "};\n"
                  "await fetch(beacon + '/ready', { mode: 'no-cors' });\n"
                  "const scheme = [], bridge = [];\n"
                  "for (let i = 0; i < " +
                  std::to_string(runs) +
                  "; ++i) {\n"
                  "  scheme.push(await read('/big.bin'));\n"
                  "  bridge.push(await read(media.src));\n"
                  "}\n"
                  "await fetch(beacon + '/done?' + encodeURIComponent(JSON.stringify({ scheme, bridge })), { mode: "
                  "'no-cors' });\n"
                  "</script>\n");
    acceptAll(listener);
    pid_t pid = spawn({program, "--web", web.string()}, env);
    std::uint64_t before = 0, peak = 0;
    auto sample = [&] { peak = std::max(peak, residentBytes(pid)); };
    if (nextBeacon(listener, 60000, [] {}) == "/ready") {
        before = peak = residentBytes(pid);
        const std::string done = nextBeacon(listener, 120000, sample);
        const auto query = done.find('?');
        std::string text;
        for (std::size_t i = query == std::string::npos ? done.size() : query + 1; i < done.size(); ++i) {
            if (done[i] == '%' && i + 2 < done.size()) {
                text += static_cast<char>(std::stoi(done.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                text += done[i];
            }
        }
        auto figures = [&](const char* name) {
            std::vector<double> values;
            const auto at = text.find(std::string("\"") + name + "\":[");
            if (at == std::string::npos) return values;
            std::istringstream list(text.substr(text.find('[', at) + 1));
            for (double value; list >> value;) {
                values.push_back(value);
                if (list.peek() == ',') list.get();
            }
            return values;
        };
        const auto scheme = figures("scheme"), bridge = figures("bridge");
        if (!scheme.empty() && !bridge.empty()) {
            std::printf(
                "page fetch: a 64 MiB file of the page's folder, read to its end by the page, %d rounds each, in "
                "turn\n",
                runs);
            std::printf("  from the page's origin        %7.0f MB/s   (target: at least 500)\n", median(scheme));
            std::printf("  from the bridge's URL for it  %7.0f MB/s   (the baseline)\n", median(bridge));
            std::printf(
                "  the application's memory: %.1f MiB as the page began, %.1f MiB more at most meanwhile   (target: "
                "under 8)\n",
                before / 1048576.0, (static_cast<double>(peak) - static_cast<double>(before)) / 1048576.0);
        } else {
            std::printf("page fetch: no figures from the page (%s)\n", text.substr(0, 200).c_str());
        }
    } else {
        std::printf("page fetch: the page did not start within 60 s\n");
    }
    stopGroup(pid);
    fs::remove_all(web);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (!x.load()) {
        std::fprintf(stderr, "window_bench: libX11 or libXdamage not found\n");
        return 1;
    }
    x.setErrorHandler(ignoreXErrors);

    const fs::path build = VANTOREL_BINARY_DIR;
    const fs::path app = argc > 2 ? fs::path(argv[2]) : build / "bundle" / "bin" / "vantorel";
    const fs::path bareProgram = build / "bench" / "bare_webview";
    if (!fs::exists(app) || !fs::exists(bareProgram)) {
        std::fprintf(stderr, "window_bench: build vantorel and bare_webview first (%s)\n", build.c_str());
        return 1;
    }
    std::uint16_t beaconPort = 0;
    const int listener = beaconListener(beaconPort);
    if (listener < 0) return 1;

    // The build's bundle (a copy: the program finds its bundle through its own file) with the
    // page's first script added.
    const fs::path scratch = build / "bench" / "window";
    const fs::path bundle = scratch / "bundle";
    fs::remove_all(scratch);
    fs::create_directories(bundle / "bin");
    fs::copy_file(app, bundle / "bin" / "vantorel");
    fs::copy(build / "bundle" / "share", bundle / "share", fs::copy_options::recursive);
    const fs::path page = bundle / "share" / "vantorel" / "Web" / "index.html";
    std::string html = readFile(page);
    const std::string origin = "http://127.0.0.1:" + std::to_string(beaconPort);
    const std::string beacon = "<script>fetch('" + origin +
                               "/first-script', {mode: 'no-cors'}).catch(() => {});\n"
                               "if (window.vantorel) vantorel.addEventListener('open', () => fetch('" +
                               origin + "/opened', {mode: 'no-cors'}).catch(() => {}));</script>";
    const auto head = html.find("<head>");
    html.insert(head == std::string::npos ? 0 : head + 6, beacon);
    writeFile(page, html);

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
    int damageError = 0;
    if (!display || !x.damageQueryExtension(display, &damageEvent, &damageError)) {
        std::fprintf(stderr, "window_bench: cannot open %s\n", env["DISPLAY"].c_str());
        stopGroup(bus);
        stopGroup(server);
        return 1;
    }

    // The user's settings: two tool chains (an entry script is all the checks look for).
    for (const char* chain : {"chain", "other-chain"}) writeFile(scratch / chain / "packages/cli/dist/index.js", "");
    const fs::path config = scratch / "config";
    writeFile(config / "vantorel" / "settings.ini",
              "[toolchain]\nnode=node\nrepo-root=" + (scratch / "chain").string() +
                  "\n[web]\nfolder=" + page.parent_path().string() + "\n");

    struct Program {
        const char* label;
        std::vector<std::string> argv;
        std::string configHome;
    };
    const std::vector<Program> programs = {
        {"vantorel", {(bundle / "bin" / "vantorel").string()}, ""},
        {"bare GTK 4 + WebKitGTK", {bareProgram.string(), "file://" + page.string()}, ""},
        {"vantorel with settings.ini", {(bundle / "bin" / "vantorel").string()}, config.string()},
    };
    const char* modes[] = {"warm caches", "a fresh home for each launch"};
    // samples[mode][program][0 script, 1 drawn, 2 shown]
    std::vector<double> samples[2][3][3];
    std::vector<double> handover, versionOnly, switched, opened;
    bool failed = false;
    int launches = 0;
    for (int round = 0; round <= runs && !failed; ++round) {
        for (int mode = 0; mode < 2 && !failed; ++mode) {
            for (std::size_t turn = 0; turn < programs.size() && !failed; ++turn) {
                // Every other round the other program goes first, so neither always follows the other.
                const std::size_t p = round % 2 ? programs.size() - 1 - turn : turn;
                const fs::path home = scratch / (mode == 0 ? "home" : "fresh-home-" + std::to_string(launches));
                ++launches;
                fs::create_directories(home);
                auto launchEnv = env;
                launchEnv["HOME"] = home.string();
                if (!programs[p].configHome.empty()) launchEnv["XDG_CONFIG_HOME"] = programs[p].configHome;
                pid_t pid = -1;
                auto launch = launchOnce(display, listener, programs[p].argv, launchEnv, pid);
                if (!launch) {
                    std::fprintf(stderr, "window_bench: %s did not draw its page within 60 s\n", programs[p].label);
                    failed = true;
                } else if (round > 0) {  // the warm-up fills caches
                    samples[mode][p][0].push_back(launch->scriptMs);
                    samples[mode][p][1].push_back(launch->drawnMs);
                    samples[mode][p][2].push_back(launch->shownMs);
                    if (mode == 0 && p == 0) {
                        handover.push_back(runToExit(programs[p].argv, launchEnv));
                        opened.push_back(untilBeacon(listener, {programs[p].argv[0], page.string()}, launchEnv));
                        versionOnly.push_back(runToExit({programs[p].argv[0], "--version"}, launchEnv));
                    }
                    if (mode == 0 && p == 2)
                        switched.push_back(untilBeacon(
                            listener, {programs[p].argv[0], "--repo-root", (scratch / "other-chain").string()},
                            launchEnv));
                }
                stopGroup(pid);
                if (mode == 1) fs::remove_all(home);
            }
        }
    }

    std::printf(
        "window_bench: %d rounds after one warm-up, the programs in turn, on a 1920x1200 Xvfb screen; "
        "medians in ms\n",
        runs);
    for (int mode = 0; mode < 2 && !failed; ++mode) {
        std::printf("%s%*s %14s %12s %14s\n", modes[mode], int(40 - std::strlen(modes[mode])), "", "first script",
                    "page drawn", "window shown");
        for (std::size_t p = 0; p < programs.size(); ++p)
            std::printf("  %-38s %14.1f %12.1f %14.1f\n", programs[p].label, median(samples[mode][p][0]),
                        median(samples[mode][p][1]), median(samples[mode][p][2]));
        std::printf("  %-38s %14.2f %12.2f %14.2f   (target: first script and page drawn <= 1.00)\n",
                    "ratio of the medians", median(samples[mode][0][0]) / median(samples[mode][1][0]),
                    median(samples[mode][0][1]) / median(samples[mode][1][1]),
                    median(samples[mode][0][2]) / median(samples[mode][1][2]));
        std::printf("  %-38s %14.2f %12.2f %14.2f   (target: <= 1.05)\n", "with settings.ini, ratio to bare",
                    median(samples[mode][2][0]) / median(samples[mode][1][0]),
                    median(samples[mode][2][1]) / median(samples[mode][1][1]),
                    median(samples[mode][2][2]) / median(samples[mode][1][2]));
        // Each round's two launches ran back to back: their ratio sees less of the load that
        // other work on the machine puts on one round and not the next.
        double paired[3];
        for (int figure = 0; figure < 3; ++figure) {
            std::vector<double> ratios;
            for (std::size_t i = 0; i < samples[mode][0][figure].size(); ++i)
                ratios.push_back(samples[mode][0][figure][i] / samples[mode][1][figure][i]);
            paired[figure] = median(ratios);
        }
        std::printf("  %-38s %14.2f %12.2f %14.2f\n", "median of the rounds' ratios", paired[0], paired[1], paired[2]);
    }
    if (!failed) {
        const bool allExited = std::find(handover.begin(), handover.end(), -1.0) == handover.end();
        if (allExited)
            std::printf("second launch, hands over and exits %18.1f ms   (target: <= 300 ms)\n", median(handover));
        else
            std::printf("second launch, hands over and exits %18s\n", "did not exit within 10 s");
        std::printf("  baseline: vantorel --version %25.1f ms\n", median(versionOnly));
        if (std::find(opened.begin(), opened.end(), -1.0) == opened.end())
            std::printf("second launch with a file, to the page's open event %.1f ms   (target: <= 300 ms)\n",
                        median(opened));
        else
            std::printf("second launch with a file: the page had no open event within 10 s\n");
        if (std::find(switched.begin(), switched.end(), -1.0) == switched.end())
            std::printf("second launch --repo-root, to the new page's script %3.1f ms   (target: <= 300 ms)\n",
                        median(switched));
        else
            std::printf("second launch --repo-root: the page did not load again within 10 s\n");
    }

    if (!failed) {
        auto fetchEnv = env;
        fetchEnv["HOME"] = (scratch / "home").string();
        pageFetch(listener, beaconPort, programs[0].argv[0], scratch, fetchEnv, runs);
    }

    x.closeDisplay(display);
    ::close(listener);
    stopGroup(bus);
    stopGroup(server);
    fs::remove_all(runtime);
    return failed ? 1 : 0;
}
