#pragma once

// The real application's surroundings for the window tests: a copy of the built bundle, a home
// and a runtime folder of the test's own, an X server and a session bus of its own, and the
// programs it starts, each in a process group of its own. Every wait is for a condition.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "common/scratch.h"
#include "support/process_probe.h"

namespace nerix::test {

using Env = std::map<std::string, std::string>;

// Generous, as WebKit starts three processes on machines shared with builds.
inline bool waitFor(const std::function<bool()>& condition) {
    return support::waitFor(condition, std::chrono::minutes(2));
}

inline std::string firstLine(const std::string& command) {
    const std::string out = capture(command);
    return out.substr(0, out.find('\n'));
}

// The first group of `pattern` in `file` once it appears there; empty at the deadline.
inline std::string waitForMatch(const fs::path& file, const std::string& pattern) {
    std::string text;
    std::smatch m;
    waitFor([&] { return std::regex_search(text = contentOf(file), m, std::regex(pattern)); });
    return m.size() > 1 ? m[1].str() : "";
}

// `file` as JSON once it parses; discarded at the deadline.
inline nlohmann::json waitForJson(const fs::path& file) {
    nlohmann::json value;
    waitFor([&] { return !(value = nlohmann::json::parse(contentOf(file), nullptr, false)).is_discarded(); });
    return value;
}

// A program in a process group of its own, started in `folder` (else this one's), its output and
// errors in a log.
struct Child {
    pid_t pid = -1;
    pid_t group = -1;  // the process group it leads, kept after it ends

    Child() = default;
    Child(std::vector<std::string> argv, const Env& env, const fs::path& log, const fs::path& folder = {}) {
        if ((pid = ::fork()) == 0) {  // the test programs run no other thread
            ::setpgid(0, 0);
            int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0), ::dup2(out, 1), ::dup2(out, 2);
            if (!folder.empty() && ::chdir(folder.c_str()) != 0) ::_exit(126);
            ::clearenv();
            for (auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execvp(args[0], args.data());
            ::_exit(127);
        }
        ::setpgid(pid, pid);
        group = pid;
    }

    // The exit status (128 + signal when killed); -1 when still running at the deadline.
    int waitExit() {
        int status = 0;
        if (!waitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) return -1;
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Ends the process and whatever it started.
    void stop(int signal = SIGKILL) {
        if (pid <= 0) return;
        ::kill(-pid, signal);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }
};

class WindowSession : public ::testing::Test {
protected:
    // `area`: the build folder's tests/<area> holds each test's scratch folder.
    explicit WindowSession(std::string area) : area_(std::move(area)) {}

    void SetUp() override {
        // Under the build folder, not /tmp: WebKit's sandbox gives its processes a /tmp of their own.
        scratch_ = fs::path(VANTOREL_BINARY_DIR "/tests") / area_ /
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(scratch_);
        fs::create_directories(web_ = scratch_ / "bundle/share/vantorel/Web");
        fs::create_directories(home_ = scratch_ / "home");
        fs::create_directories((program_ = scratch_ / "bundle/bin/vantorel").parent_path());
        fs::create_directories(scratch_ / "bundle/libexec/vantorel");
        // A copy, not a link: the application finds its bundle through its own file. The program
        // comes from the build's bundle, or from VANTOREL_TEST_BUNDLE_DIR (a package's tree,
        // unpacked); the job reaper beside it, where the bridge looks for it.
        const char* tree = std::getenv("VANTOREL_TEST_BUNDLE_DIR");
        const fs::path from = tree && *tree ? tree : VANTOREL_BINARY_DIR "/bundle";
        fs::copy_file(from / "bin/vantorel", program_);
        fs::copy_file(from / "libexec/vantorel/vantorel-reaper", scratch_ / "bundle/libexec/vantorel/vantorel-reaper");
        // WebKit puts its bus proxies' sockets in the runtime folder: a short path of the test's own.
        std::string runtime = "/tmp/vantorel-gui-XXXXXX";
        ASSERT_NE(::mkdtemp(runtime.data()), nullptr);
        runtime_ = runtime;

        for (char** entry = environ; *entry; ++entry)
            if (char* equals = std::strchr(*entry, '=')) env_[std::string(*entry, equals)] = equals + 1;
        for (const char* name :
             {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "WAYLAND_DISPLAY", "GDK_BACKEND"})
            env_.erase(name);
        env_["HOME"] = home_.string();
        env_["XDG_RUNTIME_DIR"] = runtime_.string();
        // WebKit's sandbox needs bubblewrap to work here; where it cannot, the web processes run without it.
        if (std::system("bwrap --ro-bind / / --dev /dev --proc /proc true >/dev/null 2>&1") != 0)
            env_["WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS"] = "1";
        // Each writes where it listens once it is ready; tests side by side never share them.
        xvfb_ = Child({"Xvfb", "-displayfd", "1", "-screen", "0", "1920x1200x24", "-nolisten", "tcp", "-noreset"}, env_,
                      scratch_ / "xvfb.log");
        env_["DISPLAY"] = ":" + waitForMatch(scratch_ / "xvfb.log", R"((?:^|\n)(\d+)\n)");
        bus_ = Child({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, env_, scratch_ / "bus.log");
        env_["DBUS_SESSION_BUS_ADDRESS"] = waitForMatch(scratch_ / "bus.log", R"((unix:\S+))");
    }

    void TearDown() override {
        app_.stop(), standIn_.stop(), bus_.stop();
        xvfb_.stop(SIGTERM);
        if (!runtime_.empty()) fs::remove_all(runtime_);
    }

    void writeInfoPlist(const std::string& entries) {
        writeFile(web_.parent_path() / "Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
                      "</dict>\n</plist>\n");
    }

    // The fixture tool as the tool chain's CLI in scratch/repo; the Info.plist entries that name
    // it and the Node.js on the PATH.
    std::string toolChain() {
        const fs::path tool = repo() / "packages/cli/dist/index.js";
        fs::create_directories(tool.parent_path());
        fs::copy_file(VANTOREL_SOURCE_DIR "/tests/app/fixture_tool.js", tool);
        const std::string node = firstLine("command -v node");
        EXPECT_FALSE(node.empty()) << "node is not on the PATH";
        return "<key>NerixNodePath</key><string>" + node + "</string>\n<key>NerixRepoRoot</key><string>" +
               repo().string() + "</string>\n";
    }
    fs::path repo() const { return scratch_ / "repo"; }

    // The desktop's default application for `types`, given its file or URI as `field` says: a
    // script that writes what it opens to the file returned.
    fs::path defaultApplication(const std::vector<std::string>& types, const std::string& field) {
        const fs::path opened = scratch_ / "opened", script = scratch_ / "opener.sh";
        writeFile(script, "#!/bin/sh\nprintf '%s' \"$1\" > " + opened.string() + "\n");
        fs::permissions(script, fs::perms::owner_all);
        std::string listed, defaults;
        for (const auto& type : types) listed += type + ";", defaults += type + "=test-opener.desktop\n";
        writeFile(home_ / ".local/share/applications/test-opener.desktop",
                  "[Desktop Entry]\nType=Application\nName=Test opener\nExec=" + script.string() + " " + field +
                      "\nMimeType=" + listed + "\nNoDisplay=true\n");
        writeFile(home_ / ".config/mimeapps.list", "[Default Applications]\n" + defaults);
        return opened;
    }

    // The desktop's stand-in on the test's bus, once it owns its names; its dialogs choose `chosen`.
    void startStandIn(const std::vector<std::string>& chosen = {}) {
        std::string list;
        for (const auto& path : chosen) list += (list.empty() ? "" : ",") + path;
        standIn_ =
            Child({"/usr/bin/python3", VANTOREL_SOURCE_DIR "/tests/app/desktop_stand_in.py", record().string(), list},
                  env_, scratch_ / "stand-in.log");
        ASSERT_TRUE(waitFor([&] { return contentOf(record()).starts_with("{\"ready\": true}\n"); }))
            << contentOf(scratch_ / "stand-in.log");
    }
    fs::path record() const { return scratch_ / "desktop.jsonl"; }
    std::vector<nlohmann::json> calls(const std::string& member) const {
        std::vector<nlohmann::json> found;
        std::istringstream lines(contentOf(record()));
        for (std::string line; std::getline(lines, line);)
            if (auto call = nlohmann::json::parse(line, nullptr, false); call.value("member", "") == member)
                found.push_back(call);
        return found;
    }

    std::string log() const { return contentOf(scratch_ / "app.log"); }

    fs::path scratch_, web_, home_, runtime_, program_;
    Env env_;
    Child xvfb_, bus_, standIn_, app_;

private:
    std::string area_;
};

}  // namespace nerix::test
