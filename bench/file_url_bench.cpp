// file_url_bench [MIB]
//
// A WAV file of MIB MiB (default 256) below the output folder, served by the windowless bridge
// from the URL it gives for it: the whole file fetched over loopback, five times, as MB/s (median
// and best) against reading the same file from the page cache in this process, the same number
// of times, as the baseline of the run; the bridge's resident memory before and its peak after.
// Then a seek as a media element makes it: 200 Range requests of 64 KiB in the middle of the
// file, each on a new connection, latency p50 and p99.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/bridge_process.h"
#include "support/load_client.h"
#include "support/process_stats.h"

namespace {

namespace fs = std::filesystem;
using namespace nerix::support;
using Clock = std::chrono::steady_clock;

// One request on a new connection; the bytes of the answer's body (read and dropped), or -1.
long long fetch(std::uint16_t port, const std::string& request, std::string* head = nullptr) {
    int fd = connectLoopback(port);
    if (fd < 0) return -1;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return -1;
    }
    static std::vector<char> buffer(1 << 20);
    long long total = 0;
    std::string start;
    for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) {
        if (start.size() < 4096) start.append(buffer.data(), static_cast<std::size_t>(std::min<ssize_t>(n, 4096)));
        total += n;
    }
    ::close(fd);
    const auto end = start.find("\r\n\r\n");
    if (end == std::string::npos) return -1;
    if (head) *head = start.substr(0, end);
    return total - static_cast<long long>(end + 4);
}

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

}  // namespace

int main(int argc, char** argv) {
    const long long mib = argc > 1 ? std::atoll(argv[1]) : 256;
    const long long size = mib << 20;
    const fs::path home = fs::temp_directory_path() / ("vantorel-file-bench-" + std::to_string(::getpid()));
    fs::create_directories(home / "Music/Nerix");
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    const fs::path file = home / "Music/Nerix/large.wav";
    {
        std::ofstream out(file, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 31);
        for (long long i = 0; i < mib; ++i) out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }

    BridgeProcess bridge("/nonexistent/node", "/nonexistent/repo");
    const std::uint16_t port = bridge.port();
    const std::string body = "{\"path\":\"" + file.string() + "\"}";
    std::string head;
    const std::string ask = "POST /files HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Nerix-Token: " + bridge.token() +
                            "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\n\r\n" + body;
    int fd = connectLoopback(port);
    std::string answer;
    (void)::send(fd, ask.data(), ask.size(), MSG_NOSIGNAL);
    char part[4096];
    for (ssize_t n; (n = ::recv(fd, part, sizeof part, 0)) > 0;) answer.append(part, static_cast<std::size_t>(n));
    ::close(fd);
    const auto json = nlohmann::json::parse(answer.substr(answer.find("\r\n\r\n") + 4), nullptr, false);
    if (json.is_discarded() || !json.contains("url")) {
        std::fprintf(stderr, "file_url_bench: no URL: %s\n", answer.c_str());
        return 1;
    }
    const std::string url = json["url"];
    const std::string path = url.substr(url.find("/files/"));
    const std::string get = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

    const std::uint64_t before = statusBytes(bridge.pid(), "VmRSS");
    std::vector<double> served, baseline;
    std::vector<char> buffer(1 << 20);
    for (int round = 0; round < 5; ++round) {
        auto start = Clock::now();
        const long long got = fetch(port, get);
        if (got != size) {
            std::fprintf(stderr, "file_url_bench: got %lld bytes of %lld\n", got, size);
            return 1;
        }
        served.push_back(static_cast<double>(size) / 1e6 / seconds(start));
        start = Clock::now();
        int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
        long long read = 0;
        for (ssize_t n; (n = ::read(in, buffer.data(), buffer.size())) > 0;) read += n;
        ::close(in);
        baseline.push_back(static_cast<double>(read) / 1e6 / seconds(start));
    }
    const std::uint64_t peak = statusBytes(bridge.pid(), "VmHWM");

    std::vector<double> seeks;
    const std::string range = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nRange: bytes=" +
                              std::to_string(size / 2) + "-" + std::to_string(size / 2 + 65535) + "\r\n\r\n";
    for (int i = 0; i < 200; ++i) {
        const auto start = Clock::now();
        if (fetch(port, range, &head) != 65536 || head.rfind("HTTP/1.1 206", 0) != 0) {
            std::fprintf(stderr, "file_url_bench: the seek was not answered 206 with 64 KiB\n");
            return 1;
        }
        seeks.push_back(seconds(start) * 1e3);
    }
    std::sort(seeks.begin(), seeks.end());
    fs::remove_all(home);

    std::printf("file_url_bench: a %lld MiB WAV from its /files URL over loopback, 5 rounds\n", mib);
    std::printf("  served by the bridge:      median %7.0f MB/s, best %7.0f MB/s  (target: at least 1000)\n",
                median(served), *std::max_element(served.begin(), served.end()));
    std::printf("  read from the page cache:  median %7.0f MB/s (the baseline, in this process)\n", median(baseline));
    std::printf("  bridge memory: %.1f MiB before, peak %.1f MiB after (growth %.1f MiB)\n", before / 1048576.0,
                peak / 1048576.0, (static_cast<double>(peak) - static_cast<double>(before)) / 1048576.0);
    std::printf("  a seek (64 KiB Range in the middle, new connection): p50 %.3f ms, p99 %.3f ms  (target: under 5)\n",
                seeks[seeks.size() / 2], seeks[seeks.size() * 99 / 100]);
    return 0;
}
