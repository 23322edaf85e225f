// The windowless bridge program, as a web developer or a benchmark runs it.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/loopback_client.h"

extern char** environ;

namespace nerix {
namespace {

const std::string kProgram = VANTOREL_BINARY_DIR "/bundle/bin/vantorel-bridge";

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output
    int err = -1;  // its standard error
};

Child launch(std::vector<std::string> args) {
    int out[2], err[2];
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    args.insert(args.begin(), kProgram);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Child child;
    EXPECT_EQ(::posix_spawn(&child.pid, kProgram.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

std::string readLine(int fd) {
    std::string line;
    char c;
    while (::read(fd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

std::string readRest(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    return text;
}

int waitExit(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(BridgeProgram, PrintsWhereItListensServesAndStopsOnSignal) {
    for (int signal : {SIGTERM, SIGINT}) {
        Child child = launch({"/usr/bin/node", "/tmp"});
        auto line = nlohmann::json::parse(readLine(child.out));
        auto port = line["port"].get<std::uint16_t>();
        EXPECT_NE(port, 0);
        EXPECT_EQ(line["origin"], "http://127.0.0.1:" + std::to_string(port));
        EXPECT_EQ(line["token"].get<std::string>().size(), 44u);
        EXPECT_EQ(line.size(), 3u);

        EXPECT_EQ(test::roundTrip(port, "GET /health HTTP/1.1\r\n\r\n").status, 200);
        EXPECT_EQ(test::roundTrip(port, test::post("/nowhere", line["token"].get<std::string>(), "")).status, 404);

        ::kill(child.pid, signal);
        EXPECT_EQ(waitExit(child.pid), 0);
        // The log line goes to standard error, never the token.
        std::string log = readRest(child.err);
        EXPECT_EQ(log, "NerixBridge listening on 127.0.0.1:" + std::to_string(port) + "\n");
        ::close(child.out);
        ::close(child.err);
    }
}

TEST(BridgeProgram, MissingArgumentsGiveUsage) {
    Child child = launch({"/usr/bin/node"});
    EXPECT_EQ(waitExit(child.pid), 2);
    EXPECT_NE(readRest(child.err).find("usage: vantorel-bridge NODE_PATH REPO_ROOT"), std::string::npos);
    EXPECT_EQ(readRest(child.out), "");
    ::close(child.out);
    ::close(child.err);
}

}  // namespace
}  // namespace nerix
