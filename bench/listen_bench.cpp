// listen_bench [ROUNDS]
//
// Time to listening: a fresh bridge each round; from the call of start() until another thread,
// spinning on port(), sees it non-zero, and until a connection to that port succeeds. Beside
// them, how long start() itself blocks (until the port is known) and how long constructing the
// bridge takes. Medians and worst of the rounds.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bridge/nerix_bridge.h"
#include "support/load_client.h"
#include "support/process_stats.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

bool connects(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = nerix::support::loopback(port);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

double worst(const std::vector<double>& values) {
    double w = 0;
    for (double v : values) w = std::max(w, v);
    return w;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    nerix::BridgeOptions quiet;
    quiet.log = [](std::string_view) {};

    std::vector<double> construct, toPort, toConnect, startCall;
    for (int round = 0; round < rounds; ++round) {
        auto before = Clock::now();
        auto bridge = std::make_shared<nerix::NerixBridge>("/bin/true", "/tmp", quiet);
        auto made = Clock::now();

        std::atomic<bool> go{false};
        Clock::time_point start, sawPort, connected;
        std::thread watcher([&] {
            // The spinner yields: on two cores, one that never does takes a whole core from
            // the queue thread it is waiting for, and measures the scheduler instead.
            while (!go.load(std::memory_order_acquire)) std::this_thread::yield();
            std::uint16_t port = 0;
            while ((port = bridge->port()) == 0) std::this_thread::yield();
            sawPort = Clock::now();
            while (!connects(port)) std::this_thread::yield();
            connected = Clock::now();
        });
        start = Clock::now();
        go.store(true, std::memory_order_release);
        bridge->start();
        auto returned = Clock::now();
        watcher.join();

        construct.push_back(ms(made - before));
        toPort.push_back(ms(sawPort - start));
        toConnect.push_back(ms(connected - start));
        startCall.push_back(ms(returned - start));
    }

    using nerix::support::median;
    std::printf("listening: a fresh bridge each round, %d rounds, milliseconds (median / worst)\n", rounds);
    std::printf("  %-44s %8.3f / %.3f   (target: <= 5 ms)\n", "start() -> port() non-zero on another thread",
                median(toPort), worst(toPort));
    std::printf("  %-44s %8.3f / %.3f\n", "start() -> first connect succeeds", median(toConnect), worst(toConnect));
    std::printf("  %-44s %8.3f / %.3f\n", "start() returns", median(startCall), worst(startCall));
    std::printf("  %-44s %8.3f / %.3f\n", "construction (token, listener socket)", median(construct), worst(construct));
    return 0;
}
