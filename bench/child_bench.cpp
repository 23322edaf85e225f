// child_bench [TRIVIAL_PROGRAM]
//
// What the bridge's way of running a tool costs, against the floor measured in the same run: a
// bare posix_spawn, its pipes read and dropped, waitpid (support/bare_spawn.h).
//   1. draining a child that writes 256 MiB to stdout: the floor; a ChildProcess watched on an
//      io_context, read as the job queue reads it and dropped; both again with the output kept as
//      a plain answer keeps it (in pieces of 8 MiB in huge pages, escaping aside), where fresh
//      memory's page faults weigh in; throughput and peak memory over the output's size;
//   2. starting a trivial program: the floor, and a ChildProcess started and watched to its end;
//   3. the trivial program as a job: a bare start plus one HTTP exchange (GET /health) with the
//      bridge program, and POST /master to that bridge with the trivial program as its tool.
// The pairs are taken in alternation, so that both see the same machine. TRIVIAL_PROGRAM defaults
// to the exit_at_once fixture; give a statically linked build of it to take the dynamic loader
// out of the measure.
#include <elf.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/memory.h"
#include "support/bare_spawn.h"
#include "support/bridge_process.h"
#include "support/load_client.h"
#include "support/process_stats.h"
#include "support/run_child.h"

namespace {

using Clock = std::chrono::steady_clock;
using nerix::support::median;
const std::string kFixtureDir = VANTOREL_BINARY_DIR "/tests/fixtures";
constexpr std::size_t kFlood = 256u * 1024 * 1024;
constexpr std::size_t kPiece = 8u * 1024 * 1024;  // as the plain answer keeps a stream
constexpr int kDrainRuns = 9;
constexpr int kSpawnPairs = 400;
constexpr int kJobPairs = 200;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::size_t ownBytes(const char* field) { return nerix::support::statusBytes(::getpid(), field); }

// Starts the peak resident size afresh from the current one.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

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

void benchDrain(const std::shared_ptr<nerix::platform::JobReaper>& reaper) {
    const std::vector<std::string> argv = {kFixtureDir + "/cli_fixture", "spew", std::to_string(kFlood)};
    const double gigabytes = static_cast<double>(kFlood) / 1e9;
    auto check = [](const char* what, std::size_t total) {
        if (total != kFlood) std::printf("%s: %zu bytes, not %zu\n", what, total, kFlood);
    };

    std::vector<double> floorRates, droppedRates, keptRates, keptPeaks;
    auto floor = [&] {
        std::size_t total = 0;
        auto start = Clock::now();
        nerix::support::bareSpawn(argv, 1024 * 1024, [&](const char*, std::size_t n) { total += n; });
        floorRates.push_back(gigabytes / seconds(Clock::now() - start));
        check("floor", total);
    };
    auto dropped = [&] {
        std::size_t total = 0;
        auto start = Clock::now();
        auto run = nerix::support::runChild(reaper, argv, "/", [&](auto stream, std::string_view bytes) {
            if (stream == nerix::platform::ChildProcess::Out) total += bytes.size();
        });
        droppedRates.push_back(gigabytes / seconds(Clock::now() - start));
        check("ChildProcess, dropped", run ? total : 0);
    };
    // The output kept as a plain answer keeps a stream, from the floor's reads or the route's.
    std::vector<std::string> pieces;
    auto keep = [&](const char* data, std::size_t size) {
        if (pieces.empty() || pieces.back().size() + size > kPiece) {
            pieces.emplace_back().reserve(kPiece);
            nerix::platform::adviseHugePages(pieces.back().data(), pieces.back().capacity());
        }
        pieces.back().append(data, size);
    };
    auto keptBy = [&](bool route, std::vector<double>& rates, std::vector<double>& peaks) {
        std::vector<std::string>().swap(pieces);
        resetPeak();
        std::size_t before = ownBytes("VmRSS");
        auto start = Clock::now();
        bool ran = true;
        if (route) {
            ran = nerix::support::runChild(reaper, argv, "/", [&](auto stream, std::string_view bytes) {
                      if (stream == nerix::platform::ChildProcess::Out) keep(bytes.data(), bytes.size());
                  }).ok();
        } else {
            nerix::support::bareSpawn(argv, 1024 * 1024, keep);
        }
        rates.push_back(gigabytes / seconds(Clock::now() - start));
        peaks.push_back(static_cast<double>(ownBytes("VmHWM") - before) / static_cast<double>(kFlood));
        std::size_t total = 0;
        for (const auto& piece : pieces) total += piece.size();
        check(route ? "ChildProcess, kept" : "floor, kept", ran ? total : 0);
        std::vector<std::string>().swap(pieces);
    };
    std::vector<double> floorKeptRates, floorKeptPeaks;
    auto floorKept = [&] { keptBy(false, floorKeptRates, floorKeptPeaks); };
    auto kept = [&] { keptBy(true, keptRates, keptPeaks); };
    // Each round takes the four in a rotated order, so that none always runs right after
    // another's memory was released.
    std::function<void()> contenders[4] = {floor, dropped, floorKept, kept};
    for (int run = 0; run < kDrainRuns; ++run) {
        for (int k = 0; k < 4; ++k) contenders[(run + k) % 4]();
    }
    double floorRate = median(floorRates), keptRate = median(keptRates);
    std::printf("drain a child writing 256 MiB to stdout (median of %d runs)\n", kDrainRuns);
    std::printf("  bare spawn, read and dropped (floor)   %6.2f GB/s\n", floorRate);
    std::printf("  ChildProcess, read and dropped         %6.2f GB/s   %.2fx the floor\n", median(droppedRates),
                median(droppedRates) / floorRate);
    std::printf("  bare spawn, kept in pieces             %6.2f GB/s   peak memory %.2fx the output\n",
                median(floorKeptRates), median(floorKeptPeaks));
    std::printf(
        "  ChildProcess, kept in pieces           %6.2f GB/s   %.2fx the bare spawn kept, peak memory %.2fx the output"
        "   (target >= 1.5 GB/s, <= 1.5x)\n",
        keptRate, keptRate / median(floorKeptRates), median(keptPeaks));
}

// Runs `first` and `second` in pairs, each pair in the other order than the one before, and
// returns their times in microseconds.
std::pair<std::vector<double>, std::vector<double>> alternate(int pairs, const std::function<void()>& first,
                                                              const std::function<void()>& second) {
    std::vector<double> times[2];
    const std::function<void()>* runs[2] = {&first, &second};
    for (int i = 0; i < 20; ++i) (*runs[i % 2])();  // warm up
    for (int i = 0; i < pairs; ++i) {
        for (int k = 0; k < 2; ++k) {
            int which = (i + k) % 2;
            auto start = Clock::now();
            (*runs[which])();
            times[which].push_back(seconds(Clock::now() - start) * 1e6);
        }
    }
    return {times[0], times[1]};
}

void benchStart(const std::shared_ptr<nerix::platform::JobReaper>& reaper, const std::string& program) {
    auto [bare, child] = alternate(
        kSpawnPairs,
        [&] {
            nerix::support::bareSpawn({program, "x"});
        },
        [&] {
            (void)nerix::support::runChild(reaper, {program, "x"}, "/", [](auto, std::string_view) {});
        });
    double b = median(bare), c = median(child);
    bool linkedStatically = isStatic(program);
    std::printf("start a trivial program, %s (median of %d each, alternating)\n",
                linkedStatically ? "statically linked" : "dynamically linked", kSpawnPairs);
    if (!linkedStatically)
        std::printf("  (the loader's work hides part of the cost: pass a static build as the argument)\n");
    std::printf("  bare posix_spawn + drain + waitpid (floor) %8.1f us\n", b);
    std::printf("  ChildProcess on an io_context              %8.1f us   %.3fx the floor (target <= 1.1x)\n", c, c / b);
}

// One request on a new connection, read to the bridge's close; false unless answered 200.
bool exchange(std::uint16_t port, const std::string& request) {
    return nerix::support::runSequential(port, request, "HTTP/1.1 200 OK", 1).answered == 1;
}

void benchJob(const std::string& program) {
    namespace fs = std::filesystem;
    std::optional<nerix::support::BridgeProcess> bridge;
    try {
        bridge.emplace(program, fs::temp_directory_path().string());
    } catch (const std::runtime_error& error) {
        std::printf("the trivial job: the bridge did not start (%s)\n", error.what());
        return;
    }
    const std::string body = R"({"manifest":"album.master.json"})";
    const std::string job = "POST /master HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Nerix-Token: " + bridge->token() +
                            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body;
    const std::string health = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    int failed = 0;
    auto [baseline, jobs] = alternate(
        kJobPairs,
        [&] {
            nerix::support::bareSpawn({program, "x"});
            failed += !exchange(bridge->port(), health);
        },
        [&] { failed += !exchange(bridge->port(), job); });
    double b = median(baseline), j = median(jobs);
    std::printf("the trivial program as a job, the bridge program on loopback (median of %d each, alternating)\n",
                kJobPairs);
    if (failed) std::printf("  %d requests were not answered 200\n", failed);
    std::printf("  bare start + GET /health (floor)           %8.1f us\n", b);
    std::printf("  POST /master, the trivial program its tool %8.1f us   %.3fx the floor (target <= 1.1x)\n", j, j / b);
}

}  // namespace

int main(int argc, char** argv) {
    std::string trivial = argc > 1 ? argv[1] : kFixtureDir + "/exit_at_once";
    // One io_context for every run, as the bridge has one.
    asio::io_context context;
    auto reaper = nerix::support::makeReaper(context);
    benchDrain(reaper);
    benchStart(reaper, trivial);
    benchJob(trivial);
    return 0;
}
