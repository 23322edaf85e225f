// How fast a job's whole answer goes out when the tool writes a lot: the record_tool fixture
// writes 64 MiB of text lines to standard output, and the windowless bridge program answers
// POST /master with all of it. Prints medians of:
//   floor          the same tool run by a bare posix_spawn in this process, its output read and
//                  dropped, waitpid (support/bare_spawn.h)
//   JSON text      writeJson of an answer holding that output, in this process
//   end to end     connect, request, the tool's run with its output checked and escaped as it
//                  arrives, the answer sent, and its last byte received here over loopback
// and the bridge process's peak resident memory against the size of the output.
//
//   job_answer_bench [RUNS]
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/json_writer.h"
#include "support/bare_spawn.h"
#include "support/bridge_process.h"
#include "support/load_client.h"
#include "support/process_stats.h"
#include "support/run_child.h"

namespace {

using Clock = std::chrono::steady_clock;
using nerix::support::BridgeProcess;
using nerix::support::median;

constexpr std::size_t kOutputBytes = 64u << 20;
const std::string kTool = VANTOREL_BINARY_DIR "/tests/fixtures/record_tool";

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double threadCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    auto toSeconds = [](timeval t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

double megabytesPerSecond(double secondsTaken) { return kOutputBytes / secondsTaken / 1e6; }

// One POST /master; returns the seconds until the bridge closed the connection, or a
// negative number when the answer was not the whole 200 answer.
double timedRequest(const BridgeProcess& bridge, std::vector<char>& buffer) {
    const std::string body = R"({"manifest":"album.master.json"})";
    std::string request = "POST /master HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Nerix-Token: " + bridge.token() +
                          "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                          "\r\n\r\n" + body;
    const std::uint16_t port = bridge.port();
    auto start = Clock::now();
    int fd = nerix::support::connectLoopback(port);
    if (fd < 0) return -1;
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);

    // Keep the head and the last bytes to check the answer; count the rest.
    std::string head;
    std::string tail;
    std::size_t total = 0;
    for (;;) {
        ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        if (head.size() < 512) head.append(buffer.data(), std::min<std::size_t>(n, 512));
        // The last bytes of the answer, which the last read may hold only some of.
        tail.append(buffer.data() + (n > 16 ? n - 16 : 0), buffer.data() + n);
        if (tail.size() > 16) tail.erase(0, tail.size() - 16);
        total += static_cast<std::size_t>(n);
    }
    auto elapsed = seconds(Clock::now() - start);
    ::close(fd);

    auto headEnd = head.find("\r\n\r\n");
    if (head.rfind("HTTP/1.1 200 OK\r\n", 0) != 0 || headEnd == std::string::npos) return -1;
    auto lengthAt = head.find("Content-Length: ");
    std::size_t length = std::stoull(head.substr(lengthAt + 16));
    if (total != headEnd + 4 + length || length < kOutputBytes) return -1;
    constexpr std::string_view kStart = R"({"ok":true,"stdout":"render )";
    if (head.compare(headEnd + 4, kStart.size(), kStart) != 0 || !tail.ends_with("\\n\"}")) return -1;
    return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    if (::access(kTool.c_str(), X_OK) != 0 || ::access(BridgeProcess::program().c_str(), X_OK) != 0) {
        std::fprintf(stderr, "job_answer_bench: build record_tool and vantorel-bridge first\n");
        return 1;
    }
    namespace fs = std::filesystem;
    std::string repo = fs::temp_directory_path() / "vantorel-bench-repo";
    fs::create_directories(repo);
    ::setenv("RECORD_TOOL_STDOUT_BYTES", std::to_string(kOutputBytes).c_str(), 1);
    ::unsetenv("RECORD_TOOL_FILE");
    ::unsetenv("RECORD_TOOL_WAIT_FOR");
    ::unsetenv("RECORD_TOOL_EXIT");

    // The bridge program in its own process, so that its peak memory is its own.
    std::optional<BridgeProcess> bridge;
    try {
        bridge.emplace(kTool, repo);
    } catch (const std::runtime_error&) {
        std::fprintf(stderr, "job_answer_bench: the bridge did not start\n");
        return 1;
    }
    const auto idleNow = nerix::support::statusBytes(bridge->pid(), "VmRSS");

    // The tool as the bridge starts it: the entry script first, then the job's arguments.
    const std::vector<std::string> toolArgv{kTool, repo + "/packages/cli/dist/index.js", "master", "run",
                                            "album.master.json"};
    // The answer's JSON text, from the output as the bridge receives it.
    auto output = nerix::support::runChild(toolArgv, repo);
    if (!output || output->status != 0 || output->out.size() != kOutputBytes) {
        std::fprintf(stderr, "job_answer_bench: the tool's run failed\n");
        return 1;
    }
    nlohmann::json answer = nlohmann::json::object();
    answer["ok"] = true;
    answer["stdout"] = std::move(output->out);

    std::vector<char> buffer(1 << 20);
    std::vector<double> floor, writer, endToEnd;
    double floorCpu = 0;
    double bridgeCpu = 0;

    // Interleaved, so that a busy neighbour on the machine slows each kind alike.
    for (int i = 0; i < runs; ++i) {
        std::size_t drained = 0;
        auto start = Clock::now();
        double cpuBefore = threadCpuSeconds();
        int status =
            nerix::support::bareSpawn(toolArgv, 1024 * 1024, [&](const char*, std::size_t n) { drained += n; });
        floorCpu += threadCpuSeconds() - cpuBefore;
        floor.push_back(seconds(Clock::now() - start));
        if (status != 0 || drained != kOutputBytes) {
            std::fprintf(stderr, "job_answer_bench: the bare run failed (%d, %zu bytes)\n", status, drained);
            return 1;
        }

        start = Clock::now();
        auto text = nerix::writeJson(answer);
        writer.push_back(seconds(Clock::now() - start));
        if (!text) return 1;

        // The bridge's own threads: the tool's processor time is not counted.
        double bridgeBefore = nerix::support::cpuSeconds(bridge->pid());
        double elapsed = timedRequest(*bridge, buffer);
        bridgeCpu += nerix::support::cpuSeconds(bridge->pid()) - bridgeBefore;
        if (elapsed < 0) {
            std::fprintf(stderr, "job_answer_bench: the answer was incomplete or wrong\n");
            return 1;
        }
        endToEnd.push_back(elapsed);
    }
    const auto peak = nerix::support::statusBytes(bridge->pid(), "VmHWM");

    double floorMedian = median(floor);
    double writerMedian = median(writer);
    double e2eMedian = median(endToEnd);
    double mib = 1024.0 * 1024.0;
    std::printf("job answer, tool output %zu MiB of text lines, %d runs, medians\n", kOutputBytes >> 20, runs);
    std::printf("  bare spawn, read and dropped (floor) %8.1f ms  %7.0f MB/s\n", floorMedian * 1e3,
                megabytesPerSecond(floorMedian));
    std::printf("  JSON text alone                      %8.1f ms  %7.0f MB/s\n", writerMedian * 1e3,
                megabytesPerSecond(writerMedian));
    std::printf("  end to end                           %8.1f ms  %7.0f MB/s   %.2fx the floor (target >= 500 MB/s)\n",
                e2eMedian * 1e3, megabytesPerSecond(e2eMedian), e2eMedian / floorMedian);
    std::printf("  end to end - floor                   %8.1f ms  %7.0f MB/s   (the answer's own cost)\n",
                (e2eMedian - floorMedian) * 1e3, megabytesPerSecond(std::max(1e-9, e2eMedian - floorMedian)));
    // CPU time is far less disturbed than the clock by other work on the machine.
    std::printf("  CPU of the floor                     %8.1f ms   (mean, this thread)\n", floorCpu / runs * 1e3);
    std::printf("  CPU of the whole answer              %8.1f ms   (mean, the bridge process, the tool excluded)\n",
                bridgeCpu / runs * 1e3);
    std::printf("  bridge peak memory                   %8.1f MiB = %.2f x the output (idle %.1f MiB; target <= 3 x)\n",
                peak / mib, static_cast<double>(peak) / kOutputBytes, idleNow / mib);
    std::error_code ignored;
    fs::remove_all(repo, ignored);
    return 0;
}
