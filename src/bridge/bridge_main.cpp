// vantorel-bridge NODE_PATH REPO_ROOT
//
// Runs the bridge without a window, so the web interface can be worked on in an ordinary
// browser and the bridge can be measured on its own. Prints one JSON line with the port, the
// token and the origin once listening, then serves until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>

#include <nlohmann/json.hpp>

#include "bridge/nerix_bridge.h"
#include "platform/posix/node_lookup.h"

namespace {

// Blocks the stop signals; called before any thread exists, so every thread inherits the mask
// and only main's sigwait sees them.
sigset_t blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

// The tool runs in the repository root with its entry named from that root: a root given
// relative to this shell's folder must not be taken relative to itself.
std::string absoluteRepoRoot(const char* given) {
    std::error_code ignored;
    std::string repoRoot = std::filesystem::absolute(given, ignored).string();
    if (repoRoot.empty()) repoRoot = given;
    return repoRoot;
}

// A bare Node.js name is looked up as a desktop launch needs it (PATH, the version managers'
// folders, the login shell last); one line says which was taken.
std::string nodeToRun(std::string node) {
    if (nerix::platform::isBareName(node)) {
        if (auto found = nerix::platform::findNode(node))
            std::cerr << "Node.js: " << found->why << "\n", node = found->path;
        else
            std::cerr << found.error().message << "\n";
    }
    return node;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: vantorel-bridge NODE_PATH REPO_ROOT\n";
        return 2;
    }
    sigset_t stopSignals = blockStopSignals();
    std::string repoRoot = absoluteRepoRoot(argv[2]);
    std::string node = nodeToRun(argv[1]);

    std::shared_ptr<nerix::NerixBridge> bridge;
    try {
        bridge = std::make_shared<nerix::NerixBridge>(node, repoRoot);
    } catch (const nerix::NerixError& error) {
        std::cerr << "NerixBridge failed to start: " << error.description() << "\n";
        return 1;
    }
    bridge->start();
    if (bridge->port() == 0) {
        std::cerr << "vantorel-bridge: the listener did not become ready\n";
        return 1;
    }

    std::string origin = "http://127.0.0.1:" + std::to_string(bridge->port());
    nlohmann::json line{{"port", bridge->port()}, {"token", bridge->token()}, {"origin", origin}};
    std::cout << line.dump() << std::endl;

    int signal = 0;
    sigwait(&stopSignals, &signal);
    // Stopped here, not by the last reference: a running job's handlers hold the bridge too, and
    // without this the process would end with its tool still running, left to the reaper.
    bridge->stop();
    return 0;
}
