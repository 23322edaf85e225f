// runner_bench [TRIVIAL_PROGRAM]
//
// What the command-line runner costs, against baselines measured in the same run:
//   1. draining a child that writes 256 MiB to stdout: the pipe alone (read and drop), a plain
//      growing std::string, and runCli; throughput and peak memory over the output's size;
//   2. starting a trivial program: a bare posix_spawn + drain + waitpid, and runCli, taken in
//      alternation so that both see the same machine.
// TRIVIAL_PROGRAM defaults to the exit_at_once fixture; give a statically linked build of it
// to take the dynamic loader out of the measure.
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "jobs/cli_runner.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
const std::string kFixtureDir = VANTOREL_BINARY_DIR "/tests/fixtures";
constexpr std::size_t kFlood = 256u * 1024 * 1024;
constexpr int kDrainRuns = 9;
constexpr int kSpawnPairs = 400;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// A field of /proc/self/status, in bytes.
std::size_t statusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line[length] == ':')
            return std::stoull(line.substr(length + 1)) * 1024;
    }
    return 0;
}

// Starts the peak resident size afresh from the current one.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

// The plain way: two pipes, posix_spawn, poll both until end of file, waitpid. `sink` gets
// what arrives on stdout.
int bareRun(const std::string& program, std::vector<std::string> argv, bool largePipe,
            const std::function<void(const char*, std::size_t)>& sink) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return -1;
    if (largePipe) ::fcntl(out[0], F_SETPIPE_SZ, 1024 * 1024);
    std::vector<char*> args;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    pid_t pid;
    int error = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (error) return -1;

    static char buffer[1024 * 1024];
    std::size_t chunk = largePipe ? sizeof buffer : 64 * 1024;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    for (int open = 2; open > 0;) {
        if (::poll(fds, 2, -1) < 0) continue;
        for (auto& fd : fds) {
            if (fd.fd < 0 || !fd.revents) continue;
            ssize_t n = ::read(fd.fd, buffer, chunk);
            if (n > 0 && fd.fd == out[0]) sink(buffer, static_cast<std::size_t>(n));
            if (n <= 0 && !(n < 0 && errno == EINTR)) {
                ::close(fd.fd);
                fd.fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WEXITSTATUS(status);
}

bool isStatic(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    Elf64_Ehdr header{};
    if (!file.read(reinterpret_cast<char*>(&header), sizeof header)) return false;
    for (int i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment{};
        file.seekg(static_cast<std::streamoff>(header.e_phoff + static_cast<std::size_t>(i) * header.e_phentsize));
        if (!file.read(reinterpret_cast<char*>(&segment), sizeof segment)) return false;
        if (segment.p_type == PT_INTERP) return false;
    }
    return true;
}

void benchDrain() {
    const std::string spew = kFixtureDir + "/cli_fixture";
    const std::vector<std::string> argv = {spew, "spew", std::to_string(kFlood)};
    const double gigabytes = static_cast<double>(kFlood) / 1e9;

    std::vector<double> pipeRates, stringRates, stringPeaks, runnerRates, runnerPeaks;
    auto pipeAlone = [&] {
        std::size_t total = 0;
        auto start = Clock::now();
        bareRun(spew, argv, true, [&](const char*, std::size_t n) { total += n; });
        pipeRates.push_back(gigabytes / seconds(Clock::now() - start));
        if (total != kFlood) std::printf("pipe alone: short read %zu\n", total);
    };
    auto growingString = [&] {
        std::string text;
        resetPeak();
        std::size_t before = statusBytes("VmRSS");
        auto start = Clock::now();
        bareRun(spew, argv, false, [&](const char* data, std::size_t n) { text.append(data, n); });
        stringRates.push_back(gigabytes / seconds(Clock::now() - start));
        stringPeaks.push_back(static_cast<double>(statusBytes("VmHWM") - before) / static_cast<double>(kFlood));
    };
    auto runner = [&] {
        resetPeak();
        std::size_t before = statusBytes("VmRSS");
        auto start = Clock::now();
        nerix::CliResult result = nerix::runCli(nerix::CliCommand{spew, "/", "spew"}, {std::to_string(kFlood)});
        runnerRates.push_back(gigabytes / seconds(Clock::now() - start));
        runnerPeaks.push_back(static_cast<double>(statusBytes("VmHWM") - before) / static_cast<double>(kFlood));
        if (result.exitCode != 0 || result.stdout.size() != kFlood) std::printf("runCli: wrong result\n");
    };
    // Each round takes the three in a rotated order, so that none always runs right after
    // another's memory was released.
    std::function<void()> contenders[3] = {pipeAlone, growingString, runner};
    for (int run = 0; run < kDrainRuns; ++run) {
        for (int k = 0; k < 3; ++k) contenders[(run + k) % 3]();
    }
    std::printf("drain a child writing 256 MiB to stdout (median of %d runs)\n", kDrainRuns);
    std::printf("  pipe alone, read and dropped     %6.2f GB/s\n", median(pipeRates));
    std::printf("  plain growing std::string        %6.2f GB/s   peak memory %.2fx the output\n", median(stringRates),
                median(stringPeaks));
    std::printf(
        "  runCli                           %6.2f GB/s   peak memory %.2fx the output"
        "   (target >= 1.5 GB/s, <= 1.5x)\n",
        median(runnerRates), median(runnerPeaks));
}

// Peak memory for an output just past a growth step, where a growing buffer that copies
// itself would hold two copies at once.
void benchPeakPastGrowthStep() {
    const std::string spew = kFixtureDir + "/cli_fixture";
    constexpr std::size_t kSize = 65u * 1024 * 1024;
    const std::vector<std::string> argv = {spew, "spew", std::to_string(kSize)};
    double stringPeak = 0, runnerPeak = 0;
    {
        std::string text;
        resetPeak();
        std::size_t before = statusBytes("VmRSS");
        bareRun(spew, argv, false, [&](const char* data, std::size_t n) { text.append(data, n); });
        stringPeak = static_cast<double>(statusBytes("VmHWM") - before) / static_cast<double>(kSize);
    }
    {
        resetPeak();
        std::size_t before = statusBytes("VmRSS");
        nerix::CliResult result = nerix::runCli(nerix::CliCommand{spew, "/", "spew"}, {std::to_string(kSize)});
        runnerPeak = static_cast<double>(statusBytes("VmHWM") - before) / static_cast<double>(kSize);
    }
    std::printf("peak memory for 65 MiB of output, just past a growth step\n");
    std::printf("  plain growing std::string        %.2fx the output\n", stringPeak);
    std::printf("  runCli                           %.2fx the output\n", runnerPeak);
}

void benchSpawn(const std::string& program) {
    std::vector<double> bare, runner;
    auto once = [&](bool viaRunner) {
        auto start = Clock::now();
        if (viaRunner)
            nerix::runCli(nerix::CliCommand{program, "/", "x"}, {});
        else
            bareRun(program, {program, "x"}, false, [](const char*, std::size_t) {});
        return seconds(Clock::now() - start) * 1e6;
    };
    for (int i = 0; i < 20; ++i) once(i % 2);  // warm up
    for (int i = 0; i < kSpawnPairs; ++i) {
        // Alternate which goes first, so neither always follows the other.
        bool runnerFirst = i % 2;
        double first = once(runnerFirst);
        double second = once(!runnerFirst);
        (runnerFirst ? runner : bare).push_back(first);
        (runnerFirst ? bare : runner).push_back(second);
    }
    double b = median(bare), r = median(runner);
    bool linkedStatically = isStatic(program);
    std::printf("start a trivial program, %s (median of %d each, alternating)\n",
                linkedStatically ? "statically linked" : "dynamically linked", kSpawnPairs);
    if (!linkedStatically)
        std::printf("  (the loader's work hides part of the runner's cost: pass a static build as the argument)\n");
    std::printf("  bare posix_spawn + drain + waitpid %8.1f us\n", b);
    std::printf("  runCli                             %8.1f us   %.3fx the bare start (target <= 1.1x)\n", r, r / b);
}

}  // namespace

int main(int argc, char** argv) {
    std::string trivial = argc > 1 ? argv[1] : kFixtureDir + "/exit_at_once";
    benchDrain();
    benchPeakPastGrowthStep();
    benchSpawn(trivial);
    return 0;
}
