// The jobs beside the bridge, through the windowless bridge program, each figure beside a
// baseline measured in the same run (medians):
//   health while a job drains   GET /health one after the other while a master job's tool
//                               writes 256 MiB and its whole answer goes out; baseline: the
//                               same requests on the idle bridge (median and p99)
//   cancel                      the requester closes its connection -> the tool notes SIGTERM;
//                               baseline: this process sends the tool SIGTERM itself
//   live output                 256 MiB streamed as lines, against the whole answer: the time
//                               to the last byte and the bridge's peak memory above idle
//   behind idle peers           GET /health behind 1500 connections that each sent one byte
//                               and stay, the bridge at 1024 descriptors; baseline: idle
//   trivial job                 POST /master whose tool exits at once (the exit_at_once
//                               fixture), request to the answer's last byte; baseline: a bare
//                               spawn of the same program (pipes, drain, waitpid) plus one
//                               HTTP exchange (GET /health) with the same bridge
//
//   jobs_beside_bench [ROUNDS [trivial]]
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/bridge_process.h"
#include "support/load_client.h"
#include "support/process_stats.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using nerix::support::BridgeProcess;
using nerix::support::median;

constexpr std::size_t kOutput = 256u << 20;
const std::string kRecordTool = VANTOREL_BINARY_DIR "/tests/fixtures/record_tool";
const std::string kLoadTool = VANTOREL_BINARY_DIR "/tests/fixtures/load_tool";
const std::string kExitAtOnce = VANTOREL_BINARY_DIR "/tests/fixtures/exit_at_once";
const std::string kHealth = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * values.size()))];
}

// POST /master for `manifest`, its output as live lines or as one whole answer.
std::string masterRequest(const std::string& token, const std::string& manifest, bool live) {
    std::string body = nlohmann::json{{"manifest", manifest}}.dump();
    return "POST /master HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Nerix-Token: " + token +
           (live ? "\r\nAccept: application/x-ndjson" : "") +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// One request; the bytes of the answer (read to the close), or 0 on failure.
std::size_t askOnce(std::uint16_t port, const std::string& request) {
    int fd = nerix::support::connectLoopback(port);
    if (fd < 0) return 0;
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    static thread_local std::vector<char> buffer(1 << 20);
    std::size_t total = 0;
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) total += static_cast<std::size_t>(n);
    ::close(fd);
    return total;
}

double timedHealth(std::uint16_t port) {
    auto start = Clock::now();
    if (askOnce(port, kHealth) == 0) return -1;
    return ms(Clock::now() - start);
}

std::int64_t monotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

template <typename Condition>
bool waitFor(Condition condition) {
    auto end = Clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

void healthWhileDraining(const std::string& repo, int rounds) {
    BridgeProcess bridge(kRecordTool, repo);
    std::vector<double> idle, busy;
    for (int i = 0; i < 2000; ++i) idle.push_back(timedHealth(bridge.port()));
    for (int round = 0; round < rounds; ++round) {
        std::atomic<bool> done{false};
        std::thread job([&] {
            askOnce(bridge.port(), masterRequest(bridge.token(), "album.master.json", false));
            done = true;
        });
        while (!done) busy.push_back(timedHealth(bridge.port()));
        job.join();
    }
    std::printf("health while a job drains 256 MiB: GET /health one after the other, %zu and %zu requests\n",
                idle.size(), busy.size());
    std::printf("                          median       p99\n");
    std::printf("  idle bridge (baseline) %7.3f ms %7.3f ms\n", median(idle), percentile(idle, 0.99));
    std::printf("  during the job         %7.3f ms %7.3f ms   (target: p99 <= 5 ms)\n", median(busy),
                percentile(busy, 0.99));
}

void cancelLatency(const std::string& repo, int rounds) {
    BridgeProcess bridge(kLoadTool, repo);
    std::vector<double> viaBridge, direct;
    for (int round = 0; round < 2 * rounds; ++round) {
        const bool cancel = round % 2 == 0;
        std::string dir = repo + "/hold" + std::to_string(round);
        fs::create_directories(dir);
        int fd = nerix::support::connectLoopback(bridge.port());
        std::string request = masterRequest(bridge.token(), "hold:" + dir, false);
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        pid_t tool = 0;
        waitFor([&] { return static_cast<bool>(std::ifstream(dir + "/pid") >> tool); });
        std::int64_t from = monotonicNs();
        if (cancel)
            ::close(fd);
        else
            ::kill(tool, SIGTERM);
        std::int64_t at = 0;
        waitFor([&] { return static_cast<bool>(std::ifstream(dir + "/term") >> at); });
        (cancel ? viaBridge : direct).push_back((at - from) / 1e6);
        if (!cancel) {
            char drop[4096];
            while (::recv(fd, drop, sizeof drop, 0) > 0) {}
            ::close(fd);
        }
        waitFor([&] { return ::kill(tool, 0) != 0; });
    }
    std::printf("cancel: to the tool's SIGTERM, %d rounds each, median\n", rounds);
    std::printf("  kill(2) from here (baseline)     %7.3f ms\n", median(direct));
    std::printf("  the requester closes             %7.3f ms   (target <= 50 ms)\n", median(viaBridge));
}

void liveOutput(const std::string& repo, int rounds) {
    double seconds[2] = {};
    double peak[2] = {};
    double idle = 0;
    for (int live = 0; live < 2; ++live) {
        BridgeProcess bridge(kRecordTool, repo);
        idle = nerix::support::statusBytes(bridge.pid(), "VmRSS");
        std::vector<double> times;
        for (int round = 0; round < rounds; ++round) {
            auto start = Clock::now();
            std::size_t got = askOnce(bridge.port(), masterRequest(bridge.token(), "album.master.json", live));
            if (got < kOutput) std::fprintf(stderr, "jobs_beside_bench: a short answer (%zu bytes)\n", got);
            times.push_back(std::chrono::duration<double>(Clock::now() - start).count());
        }
        seconds[live] = median(times);
        peak[live] = nerix::support::statusBytes(bridge.pid(), "VmHWM");
    }
    const double mib = 1024.0 * 1024.0;
    std::printf("live output: 256 MiB of text lines from the tool, %d rounds, medians\n", rounds);
    std::printf("                              time     throughput   peak memory above idle\n");
    std::printf("  whole answer (baseline) %7.1f ms %8.0f MB/s %10.1f MiB\n", seconds[0] * 1e3,
                kOutput / seconds[0] / 1e6, (peak[0] - idle) / mib);
    std::printf("  live lines              %7.1f ms %8.0f MB/s %10.1f MiB   (targets: >= 0.8x, <= 32 MiB; %.2fx)\n",
                seconds[1] * 1e3, kOutput / seconds[1] / 1e6, (peak[1] - idle) / mib, seconds[0] / seconds[1]);
}

void behindIdlePeers(const std::string& repo, int rounds) {
    rlimit own{};
    ::getrlimit(RLIMIT_NOFILE, &own);
    rlimit roomy = own;
    roomy.rlim_cur = std::min<rlim_t>(own.rlim_max, 4096);
    ::setrlimit(RLIMIT_NOFILE, &roomy);
    BridgeProcess bridge(kRecordTool, repo);
    rlimit tight{1024, 1024};
    ::prlimit(bridge.pid(), RLIMIT_NOFILE, &tight, nullptr);
    std::vector<double> idle, crowded;
    for (int round = 0; round < rounds; ++round) {
        idle.push_back(timedHealth(bridge.port()));
        std::vector<int> peers;
        for (int i = 0; i < 1500; ++i) {
            int fd = nerix::support::connectLoopback(bridge.port());
            if (fd < 0) break;
            ::send(fd, "G", 1, MSG_NOSIGNAL);
            peers.push_back(fd);
        }
        crowded.push_back(timedHealth(bridge.port()));
        for (int fd : peers) ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ::setrlimit(RLIMIT_NOFILE, &own);
    std::printf("behind idle peers: GET /health, the bridge at 1024 descriptors, %d rounds, median\n", rounds);
    std::printf("  idle bridge (baseline)               %8.3f ms\n", median(idle));
    std::printf("  behind 1500 peers that sent one byte %8.3f ms   (target <= 1000 ms; a failure counts -1)\n",
                median(crowded));
}

// The plain way to run a program that exits at once: two pipes, posix_spawn, both drained to
// their end, waitpid. Its time in milliseconds.
double bareSpawn(const std::string& program) {
    auto start = Clock::now();
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::string path = program;
    char* argv[] = {path.data(), nullptr};
    pid_t pid = 0;
    int error = ::posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    char drop[4096];
    for (int fd : {out[0], err[0]}) {
        while (error == 0 && ::read(fd, drop, sizeof drop) > 0) {}
        ::close(fd);
    }
    if (error != 0 || ::waitpid(pid, nullptr, 0) != pid) return -1;
    return ms(Clock::now() - start);
}

void trivialJob(const std::string& repo, int rounds) {
    BridgeProcess bridge(kExitAtOnce, repo);
    const std::string request = masterRequest(bridge.token(), "album.master.json", false);
    auto timedJob = [&] {
        auto start = Clock::now();
        return askOnce(bridge.port(), request) > 0 ? ms(Clock::now() - start) : -1;
    };
    std::vector<double> job, spawn, health;
    for (int i = 0; i < 50; ++i) timedJob(), bareSpawn(kExitAtOnce), timedHealth(bridge.port());  // warm up
    // In turn, so that all three see the same machine.
    for (int i = 0; i < 100 * rounds; ++i) {
        job.push_back(timedJob());
        spawn.push_back(bareSpawn(kExitAtOnce));
        health.push_back(timedHealth(bridge.port()));
    }
    const double floor = median(spawn) + median(health);
    std::printf("trivial job: a tool that exits at once, %d rounds each, in turn, medians\n", 100 * rounds);
    std::printf("  bare spawn + drain + waitpid       %8.3f ms\n", median(spawn));
    std::printf("  one HTTP exchange (GET /health)    %8.3f ms\n", median(health));
    std::printf("  POST /master through the bridge    %8.3f ms   %.3fx the two together (target <= 1.1x)\n",
                median(job), median(job) / floor);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    for (const auto& program : {BridgeProcess::program(), kRecordTool, kLoadTool, kExitAtOnce}) {
        if (::access(program.c_str(), X_OK) != 0) {
            std::fprintf(stderr, "jobs_beside_bench: build %s first\n", program.c_str());
            return 1;
        }
    }
    std::string repo = fs::temp_directory_path() / ("vantorel-beside-" + std::to_string(::getpid()));
    fs::create_directories(repo);
    ::setenv("RECORD_TOOL_STDOUT_BYTES", std::to_string(kOutput).c_str(), 1);
    for (const char* name : {"RECORD_TOOL_FILE", "RECORD_TOOL_WAIT_FOR", "RECORD_TOOL_EXIT"}) ::unsetenv(name);

    int status = 0;
    try {
        if (argc > 2 && std::string(argv[2]) == "trivial") {  // that part alone
            trivialJob(repo, rounds);
            fs::remove_all(repo);
            return 0;
        }
        healthWhileDraining(repo, rounds);
        std::printf("\n");
        cancelLatency(repo, 4 * rounds);
        std::printf("\n");
        liveOutput(repo, rounds);
        std::printf("\n");
        behindIdlePeers(repo, rounds);
        std::printf("\n");
        trivialJob(repo, rounds);
    } catch (const std::runtime_error& error) {
        std::fprintf(stderr, "jobs_beside_bench: the bridge did not start (%s)\n", error.what());
        status = 1;
    }
    std::error_code ignored;
    fs::remove_all(repo, ignored);
    return status;
}
