// tokenless_bench [SECONDS]
//
// 256 peers without the token, each announcing a 64 MiB body and sending it slowly (4 KiB per
// peer every 20 ms; a peer that is answered is replaced by a new one), against the windowless
// bridge for SECONDS (default 10). Meanwhile GET /health, one request per connection, one after
// the other: its latency (p50, p99, max). Then the bridge's resident memory before, and its peak
// during, the load. Last, the cost of the Host check: health without a Host header and with
// "Host: 127.0.0.1:<port>", in alternating rounds on an idle bridge, as medians.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/bridge_process.h"
#include "support/load_client.h"
#include "support/process_stats.h"

namespace {

using namespace nerix::support;
using Clock = std::chrono::steady_clock;

constexpr int kPeers = 256;
constexpr std::size_t kSlice = 4096;

// One GET /health on a new connection; its round trip in milliseconds (negative: no 200).
double healthOnce(std::uint16_t port, const std::string& request) {
    const auto start = Clock::now();
    int fd = connectLoopback(port);
    if (fd < 0) return -1;
    std::string answer;
    bool ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    char buffer[4096];
    for (ssize_t n; ok && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        answer.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    if (!answer.starts_with("HTTP/1.1 200 ")) return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

// The hostile peers: each sends its head, then a slice per round until the bridge closes it.
void slowPeers(std::uint16_t port, const std::atomic<bool>& stop, long& replaced) {
    const std::string head = "POST /compose HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 67108864\r\n\r\n";
    const std::string slice(kSlice, 'z');
    std::vector<int> peers(kPeers, -1);
    auto open = [&](int& fd) {
        fd = connectLoopback(port);
        if (fd >= 0 && ::send(fd, head.data(), head.size(), MSG_NOSIGNAL) < 0) ::close(fd), fd = -1;
    };
    for (int& fd : peers) open(fd);
    while (!stop) {
        for (int& fd : peers) {
            char drop[4096];
            while (fd >= 0 && ::recv(fd, drop, sizeof drop, MSG_DONTWAIT) > 0) {}
            if (fd < 0 || ::send(fd, slice.data(), slice.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
                if (fd >= 0) ::close(fd);
                open(fd);
                ++replaced;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int fd : peers)
        if (fd >= 0) ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    BridgeProcess bridge("/bin/false", "/");
    const std::uint16_t port = bridge.port();
    const std::string plain = "GET /health HTTP/1.1\r\n\r\n";
    const std::string withHost = "GET /health HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    for (int i = 0; i < 200; ++i) healthOnce(port, plain);  // warm
    const std::uint64_t residentBefore = statusBytes(bridge.pid(), "VmRSS");

    std::atomic<bool> stop{false};
    long replaced = 0;
    std::thread peers(slowPeers, port, std::cref(stop), std::ref(replaced));
    std::vector<double> latencies;
    int failed = 0;
    for (const auto until = Clock::now() + std::chrono::seconds(seconds); Clock::now() < until;) {
        double ms = healthOnce(port, withHost);
        if (ms < 0)
            ++failed;
        else
            latencies.push_back(ms);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    peers.join();
    const std::uint64_t peak = statusBytes(bridge.pid(), "VmHWM");
    std::printf("%d peers without the token, each announcing 64 MiB, 4 KiB per peer every 20 ms, %d s\n", kPeers,
                seconds);
    std::printf("  peers answered and replaced: %ld\n", replaced);
    std::printf("  health meanwhile: %zu answered, %d failed; p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                latencies.size(), failed, percentile(latencies, 0.5), percentile(latencies, 0.99),
                percentile(latencies, 1.0));
    std::printf("  bridge memory: %.1f MiB resident before, peak %.1f MiB during (growth %.1f MiB)\n",
                static_cast<double>(residentBefore) / 1048576.0, static_cast<double>(peak) / 1048576.0,
                (static_cast<double>(peak) - static_cast<double>(residentBefore)) / 1048576.0);

    // The Host check's cost: alternating rounds, medians of the rounds' medians.
    std::vector<double> without, with;
    for (int round = 0; round < 10; ++round) {
        for (int pass = 0; pass < 2; ++pass) {
            const bool host = (round + pass) % 2 == 1;
            std::vector<double> times;
            for (int i = 0; i < 1000; ++i) {
                double ms = healthOnce(port, host ? withHost : plain);
                if (ms >= 0) times.push_back(ms);
            }
            (host ? with : without).push_back(percentile(times, 0.5));
        }
    }
    std::printf(
        "health on an idle bridge, 10 alternating rounds of 1000: median %.3f ms without Host, %.3f ms "
        "with Host: 127.0.0.1:<port>\n",
        median(without), median(with));
    return 0;
}
