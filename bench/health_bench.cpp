// health_bench [ROUNDS]
//
// GET /health, one request per connection, on the windowless bridge beside nginx with one
// worker serving the same JSON body, both started here and measured in the same run: requests
// per second and the server's CPU time per request (utime + stime of /proc/<pid>/stat; for
// nginx, its worker's), one connection after the other and with 64 connections at once.
// Rounds alternate between the two servers (and which goes first); the report gives medians.
// Then the peak resident size of both servers after all rounds.
// With two or more cores, both servers run on the last core and the client on the first, so
// that each round finds the same placement whatever else the machine runs.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/version.h"
#include "support/load_client.h"
#include "support/process_stats.h"

extern char** environ;

namespace {

using namespace nerix::support;

const std::string kBridge = VANTOREL_BINARY_DIR "/bundle/bin/vantorel-bridge";
const std::string kHealthBody = R"({"ok":true,"version":")" + std::string(nerix::kBridgeApiVersion) + "\"}";
constexpr std::string_view kRequest = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
constexpr std::string_view kStatusLine = "HTTP/1.1 200 ";
constexpr int kSequentialRequests = 30000;
constexpr int kConcurrentRequests = 60000;
constexpr int kInFlight = 64;

pid_t spawn(const std::vector<std::string>& args, int stdoutFd) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    // Their log lines ("listening on ...") would only interleave with the report.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> copy = args;
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("could not start " + args[0]);
    return pid;
}

// Keeps this process (and what it starts from now on, every thread included) on one core.
bool pinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return ::sched_setaffinity(0, sizeof set, &set) == 0;
}

void stop(pid_t pid, int signal) {
    ::kill(pid, signal);
    ::waitpid(pid, nullptr, 0);
}

bool answers(std::uint16_t port) { return runSequential(port, kRequest, kStatusLine, 1).answered == 1; }

struct Server {
    std::string name;
    pid_t pid = -1;         // the process started here
    pid_t servingPid = -1;  // the process that serves (nginx: the worker)
    std::uint16_t port = 0;
};

Server startBridge() {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    Server server{"bridge"};
    server.pid = spawn({kBridge, "/bin/true", "/tmp"}, out[1]);
    ::close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    server.port = nlohmann::json::parse(line)["port"].get<std::uint16_t>();
    server.servingPid = server.pid;
    return server;
}

std::uint16_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// nginx in the foreground with a configuration of its own in `dir`: one worker, no access log,
// no keep-alive (so it closes each connection after its answer, as the bridge does), and
// /health answered from the configuration with the bridge's body.
Server startNginx(const std::string& dir) {
    Server server{"nginx"};
    server.port = freePort();
    std::string conf = dir + "/nginx.conf";
    // clang-format off
    std::ofstream(conf) << "worker_processes 1;\n"
                           "daemon off;\n"
                           "pid " << dir << "/nginx.pid;\n"
                           "error_log " << dir << "/error.log error;\n"
                           "events { worker_connections 1024; }\n"
                           "http {\n"
                           "  access_log off;\n"
                           "  keepalive_timeout 0;\n"
                           "  client_body_temp_path " << dir << "/body;\n"
                           "  proxy_temp_path " << dir << "/proxy;\n"
                           "  fastcgi_temp_path " << dir << "/fastcgi;\n"
                           "  uwsgi_temp_path " << dir << "/uwsgi;\n"
                           "  scgi_temp_path " << dir << "/scgi;\n"
                           "  server {\n"
                           "    listen 127.0.0.1:" << server.port << ";\n"
                           "    location = /health {\n"
                           "      default_type application/json;\n"
                           "      return 200 '" << kHealthBody << "';\n"
                           "    }\n"
                           "  }\n"
                           "}\n";
    // clang-format on
    server.pid = spawn({"nginx", "-p", dir, "-c", conf, "-e", dir + "/error.log"}, -1);
    for (int i = 0; i < 5000 && !answers(server.port); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    auto workers = childrenOf(server.pid);
    if (workers.size() != 1) throw std::runtime_error("nginx did not start one worker (see " + dir + "/error.log)");
    server.servingPid = workers.front();
    return server;
}

struct Figures {
    std::vector<double> rate;       // requests per second
    std::vector<double> cpuPerReq;  // microseconds of server CPU per request
    int failed = 0;
};

void measure(const Server& server, bool concurrent, Figures& figures) {
    double cpuBefore = cpuSeconds(server.servingPid);
    LoadResult result = concurrent ? runConcurrent(server.port, kRequest, kStatusLine, kConcurrentRequests, kInFlight)
                                   : runSequential(server.port, kRequest, kStatusLine, kSequentialRequests);
    double cpu = cpuSeconds(server.servingPid) - cpuBefore;
    figures.rate.push_back(result.answered / result.seconds);
    figures.cpuPerReq.push_back(cpu / std::max(1, result.answered) * 1e6);
    figures.failed += result.failed;
}

// A row of the table, with its target ratio and whether this run meets it.
struct Target {
    bool atLeast;  // the ratio must be at least `ratio` (else at most)
    double ratio;
};

bool printRow(const char* label, const char* unit, double bridge, double nginx, Target target) {
    const double ratio = bridge / nginx;
    const bool met = target.atLeast ? ratio >= target.ratio : ratio <= target.ratio;
    std::printf("  %-22s %-8s %10.1f %10.1f %8.2f   (target: ratio %s %.2f) %s\n", label, unit, bridge, nginx, ratio,
                target.atLeast ? ">=" : "<=", target.ratio, met ? "met" : "NOT MET");
    return met;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    ::signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/vantorel-nginx-XXXXXX";
    if (!::mkdtemp(pattern)) return 1;
    const std::string dir = pattern;

    const long cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    const bool pinned = cores >= 2 && pinTo(static_cast<int>(cores - 1));
    Server servers[2];
    try {
        servers[0] = startBridge();
        servers[1] = startNginx(dir);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "health_bench: %s\n", error.what());
        return 1;
    }
    if (pinned) pinTo(0);

    // Warm both up: caches, the listen queues, the first TIME_WAIT entries.
    for (auto& server : servers) {
        runSequential(server.port, kRequest, kStatusLine, 2000);
        runConcurrent(server.port, kRequest, kStatusLine, 4000, kInFlight);
    }

    Figures figures[2][2];  // [server][concurrent]
    for (int round = 0; round < rounds; ++round) {
        for (bool concurrent : {false, true}) {
            for (int k = 0; k < 2; ++k) {
                int s = (round + k) % 2;  // alternate which server goes first
                measure(servers[s], concurrent, figures[s][concurrent]);
            }
        }
    }

    std::printf(
        "health: GET /health, one request per connection, median of %d rounds "
        "(%d requests one after the other, %d with %d connections at once)\n",
        rounds, kSequentialRequests, kConcurrentRequests, kInFlight);
    std::printf("  nginx: 1 worker, access_log off, keepalive_timeout 0, 'return 200' of the same body\n");
    if (pinned)
        std::printf("  servers on core %ld, this client on core 0; CPU time: utime + stime of the server process\n",
                    cores - 1);
    std::printf("  %-22s %-8s %10s %10s %8s\n", "", "", "bridge", "nginx", "ratio");
    const char* names[2] = {"one after the other", "64 at once"};
    // Past nginx's pace: at least its rate one after the other, 1.1x with 64 at once, and no
    // more CPU per request than it needs.
    const Target rateTargets[2] = {{true, 1.0}, {true, 1.1}};
    const Target cpuTarget{false, 1.0};
    int missed = 0;
    for (bool concurrent : {false, true}) {
        auto& b = figures[0][concurrent];
        auto& n = figures[1][concurrent];
        missed += !printRow(names[concurrent], "req/s", median(b.rate), median(n.rate), rateTargets[concurrent]);
        missed += !printRow("", "CPU us/req", median(b.cpuPerReq), median(n.cpuPerReq), cpuTarget);
        if (b.failed || n.failed) std::printf("  failed requests: bridge %d, nginx %d\n", b.failed, n.failed);
    }
    std::printf("  targets: %s\n", missed == 0 ? "all met" : (std::to_string(missed) + " of 4 not met").c_str());
    std::printf("  %-22s %-8s %10.1f %10.1f\n", "peak memory (VmHWM)", "MiB",
                statusBytes(servers[0].servingPid, "VmHWM") / 1048576.0,
                statusBytes(servers[1].servingPid, "VmHWM") / 1048576.0);

    stop(servers[0].pid, SIGTERM);
    stop(servers[1].pid, SIGQUIT);
    std::filesystem::remove_all(dir);
    return 0;
}
