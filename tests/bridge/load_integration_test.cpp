// The windowless bridge under load and under faults, driven from outside over loopback: many
// concurrent connections, peers that vanish or trickle, jobs whose tool is killed, and a
// descriptor limit that makes accept fail. After each case the bridge must still answer
// health, hold no more descriptors than it started with, and have no child left unreaped.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bridge/nerix_bridge.h"
#include "support/bridge_process.h"
#include "support/loopback_client.h"

namespace nerix {
namespace {

using test::BridgeProcess;
using test::LoopbackClient;
using test::waitFor;

const std::string kTool = VANTOREL_TEST_FIXTURE_DIR "/load_tool";
const std::string kHealth = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// One whole answer and nothing behind it: the body is exactly Content-Length bytes and the
// connection closed after it. Returns the status, or 0 for anything else.
int singleAnswerStatus(const std::string& raw) {
    auto answer = test::parseAnswer(raw);
    auto length = answer.headers.find("Content-Length");
    if (answer.status == 0 || length == answer.headers.end()) return 0;
    if (std::to_string(answer.body.size()) != length->second) return 0;
    return answer.status;
}

// One request on a fresh connection; everything the bridge sends back.
std::string exchange(std::uint16_t port, std::string_view request) {
    LoopbackClient client(port);
    client.send(request);
    return client.readAll();
}

// Closes a socket with a reset instead of an orderly end of stream.
void resetAndClose(LoopbackClient& client) {
    linger hard{1, 0};
    ::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client.close();
}

std::string describeChildren(pid_t pid) {
    std::string text = "children left:";
    for (const auto& child : test::childrenOf(pid)) text += " " + std::to_string(child.pid) + " (" + child.state + ")";
    return text;
}

class BridgeUnderLoad : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantorel-load-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        workDir_ = pattern;
        bridge_ = std::make_unique<BridgeProcess>(kTool, workDir_);
        // One answered request first, so that whatever the bridge opens once is open.
        ASSERT_EQ(test::roundTrip(bridge_->port(), kHealth).status, 200);
        baseline_ = test::openDescriptors(bridge_->pid());
        ASSERT_GT(baseline_, 0);
    }

    void TearDown() override {
        const pid_t pid = bridge_->pid();
        ASSERT_TRUE(bridge_->running()) << "the bridge has gone";
        EXPECT_EQ(test::roundTrip(bridge_->port(), kHealth).status, 200);
        // Closing connections may linger a moment while they drain their peer.
        EXPECT_TRUE(waitFor([&] { return test::openDescriptors(pid) <= baseline_; }))
            << "descriptors: " << test::openDescriptors(pid) << ", at the start " << baseline_;
        EXPECT_TRUE(waitFor([&] { return test::childrenOf(pid).empty(); })) << describeChildren(pid);
        int status = bridge_->stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        bridge_.reset();
        std::filesystem::remove_all(workDir_);
    }

    std::uint16_t port() const { return bridge_->port(); }
    const std::string& token() const { return bridge_->token(); }

    std::string masterRequest(const std::string& manifest) const {
        return test::post("/master", token(), nlohmann::json{{"manifest", manifest}}.dump());
    }

    // A folder for one held job: the tool writes its pid there and waits for "release".
    std::string holdFolder(const std::string& name) const {
        std::string dir = workDir_ + "/" + name;
        std::filesystem::create_directory(dir);
        return dir;
    }
    static pid_t heldToolPid(const std::string& dir) {
        pid_t pid = 0;
        waitFor([&] {
            std::ifstream in(dir + "/pid");
            return static_cast<bool>(in >> pid);
        });
        return pid;
    }
    static void release(const std::string& dir) { std::ofstream(dir + "/release").put('\n'); }

    std::string workDir_;
    std::unique_ptr<BridgeProcess> bridge_;
    int baseline_ = 0;
};

// Failures seen by many client threads, reported once with the first few examples.
class FailureLog {
public:
    void add(const std::string& what) {
        std::lock_guard lock(mutex_);
        if (++count_ <= 5) examples_ += what + "\n";
    }
    int count() const { return count_; }
    const std::string& examples() const { return examples_; }

private:
    std::mutex mutex_;
    int count_ = 0;
    std::string examples_;
};

TEST_F(BridgeUnderLoad, ThousandsOfRequestsOnManyConnectionsAreEachAnsweredOnce) {
    constexpr int kThreads = 64;
    constexpr int kPerThread = 64;
    struct Kind {
        std::string request;
        std::vector<std::size_t> cuts;  // sent in pieces at these offsets
        int status;
    };
    const std::string body = R"({"manifest":"ok"})";
    const std::vector<Kind> kinds{
        {kHealth, {}, 200},
        {"OPTIONS /compose HTTP/1.1\r\nAccess-Control-Request-Method: POST\r\n\r\n", {}, 204},
        {test::post("/master", "", body), {}, 401},
        {test::post("/master", std::string(44, 'A'), body), {}, 401},
        {"GET /nothing/here HTTP/1.1\r\nX-Nerix-Token: " + token() + "\r\n\r\n", {}, 404},
        {kHealth + "bytes behind the request", {}, 200},
        {kHealth, {3, 21, kHealth.size() - 1}, 200},
        {"POST /master HTTP/1.1\r\nContent-Length: 70000000\r\n\r\n", {}, 413},
        {masterRequest("ok"), {}, 200},
        {masterRequest("exit:3"), {20}, 500},
    };

    FailureLog failures;
    std::atomic<int> answered{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                const Kind& kind = kinds[static_cast<std::size_t>(t * kPerThread + i) % kinds.size()];
                try {
                    LoopbackClient client(port());
                    std::size_t from = 0;
                    for (std::size_t cut : kind.cuts) {
                        client.send(std::string_view(kind.request).substr(from, cut - from));
                        from = cut;
                    }
                    client.send(std::string_view(kind.request).substr(from));
                    int status = singleAnswerStatus(client.readAll());
                    if (status != kind.status)
                        failures.add("expected " + std::to_string(kind.status) + ", got " +
                                     std::to_string(status) + " for " + kind.request.substr(0, 30));
                    else
                        answered.fetch_add(1);
                } catch (const std::exception& error) {
                    failures.add(error.what());
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(answered.load(), kThreads * kPerThread);
    EXPECT_EQ(failures.count(), 0) << failures.examples();
}

TEST_F(BridgeUnderLoad, PeersThatVanishOrTrickleNeverDisturbTheOthers) {
    const std::string job = masterRequest("ok");
    FailureLog failures;
    std::vector<std::thread> threads;
    // Peers that send part of a request (or nothing) and go, with an orderly close or a reset,
    // between ordinary health requests that must all be answered.
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                try {
                    LoopbackClient client(port());
                    std::size_t cut = static_cast<std::size_t>(t * 40 + i) * 7 % job.size();
                    client.send(std::string_view(job).substr(0, cut));
                    if (i % 2) resetAndClose(client);
                    else client.close();
                    if (i % 8 == 0 && test::roundTrip(port(), kHealth).status != 200)
                        failures.add("health not answered between vanishing peers");
                } catch (const std::exception& error) {
                    failures.add(error.what());
                }
            }
        });
    }
    // Peers that send one byte at a time; each still gets its one answer.
    const std::vector<std::pair<std::string, int>> trickled{
        {kHealth, 200},
        {test::post("/nowhere", token(), R"({"a":"b"})"), 404},
        {test::post("/master", "", R"({"manifest":"ok"})"), 401},
        {job, 200},
    };
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            const auto& [request, status] = trickled[static_cast<std::size_t>(t) % trickled.size()];
            try {
                LoopbackClient client(port());
                for (char c : request) client.send(std::string_view(&c, 1));
                int got = singleAnswerStatus(client.readAll());
                if (got != status) failures.add("trickled request answered " + std::to_string(got));
            } catch (const std::exception& error) {
                failures.add(error.what());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.count(), 0) << failures.examples();
}

TEST_F(BridgeUnderLoad, AJobWhoseToolIsKilledBySignalIsAnsweredWithTheSignal) {
    for (int signal : {SIGKILL, SIGTERM, SIGINT}) {
        std::string dir = holdFolder("signal-" + std::to_string(signal));
        LoopbackClient job(port());
        job.send(masterRequest("hold:" + dir));
        pid_t tool = heldToolPid(dir);
        ASSERT_GT(tool, 0);
        ASSERT_EQ(::kill(tool, signal), 0);
        // A tool that ignores the signal (it inherited it blocked, say) would hold the job
        // for ever; the deadline turns that into a failure, and the release ends it.
        auto raw = job.readAll(std::chrono::seconds(10));
        release(dir);
        auto answer = test::parseAnswer(raw);
        ASSERT_EQ(answer.status, 500) << "signal " << signal << ": " << raw;
        auto json = nlohmann::json::parse(answer.body);
        EXPECT_EQ(json["error"], "master failed");
        EXPECT_EQ(json["exitCode"], signal);
    }
}

TEST_F(BridgeUnderLoad, OutOfDescriptorsTheOldestUnfinishedRequestGivesWay) {
    const pid_t pid = bridge_->pid();
    rlimit original{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &original), 0);
    rlimit tight = original;
    tight.rlim_cur = static_cast<rlim_t>(test::limitLeavingSpare(pid, 3));
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
    const std::string halfRequest = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n";

    // Three idle peers hold the three spare descriptors: the next connection cannot be
    // accepted until the oldest unfinished request gives way, closed without an answer.
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(port()));
        idle.back()->send(halfRequest);
        ASSERT_TRUE(waitFor([&] { return test::openDescriptors(pid) == baseline_ + i + 1; }));
    }
    EXPECT_EQ(singleAnswerStatus(exchange(port(), kHealth)), 200);
    EXPECT_TRUE(idle.front()->closedWithoutData());
    EXPECT_FALSE(idle.back()->closedWithoutData(std::chrono::milliseconds(0)));

    // A job with room for its connection and one pipe, but not for the second: the tool fails
    // to start and the job is answered so. (Four spare, not two: a sanitizer's own checks may
    // need a pipe of their own on the way.)
    idle.clear();
    ASSERT_TRUE(waitFor([&] { return test::openDescriptors(pid) == baseline_; }));
    tight.rlim_cur = static_cast<rlim_t>(test::limitLeavingSpare(pid, 4));
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
    auto raw = exchange(port(), masterRequest("ok"));
    auto answer = test::parseAnswer(raw);
    ASSERT_EQ(answer.status, 500) << raw;
    auto json = nlohmann::json::parse(answer.body);
    EXPECT_EQ(json["exitCode"], -1);
    EXPECT_EQ(json["stderr"].get<std::string>().rfind("spawn failed: ", 0), 0u) << json.dump();

    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &original, nullptr), 0);
}

// Local peers without the token cannot make the bridge unreachable: at 1024 descriptors, 1500
// connections that each send a byte and stay leave health answered, and the bridge keeps at
// most 256 of them.
TEST_F(BridgeUnderLoad, AFloodOfIdlePeersCannotShutOthersOut) {
    const pid_t pid = bridge_->pid();
    rlimit original{}, own{};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, nullptr, &original), 0);
    rlimit tight = original;
    tight.rlim_cur = 1024;
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &tight, nullptr), 0);
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    rlimit roomy = own;
    roomy.rlim_cur = std::min<rlim_t>(own.rlim_max, 4096);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &roomy), 0);

    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < 1500; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(port()));
        idle.back()->send("G");
    }
    EXPECT_EQ(singleAnswerStatus(exchange(port(), kHealth)), 200);
    EXPECT_LE(test::openDescriptors(pid), baseline_ + 257);

    idle.clear();
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &original, nullptr), 0);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);
}

bool toolGone(pid_t tool) {
    std::ifstream stat("/proc/" + std::to_string(tool) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    return text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
}

// A requester that leaves cancels its job: a waiting job never runs; a running tool gets
// SIGTERM (one that ignores it, SIGKILL after the grace) and is reaped; the next job runs.
TEST(JobCancel, AWaitingJobNeverRunsARunningToolIsStoppedTheNextJobRuns) {
    std::mutex mutex;
    int cancelled = 0;
    BridgeOptions options;
    options.stopGrace = std::chrono::milliseconds(200);
    options.log = [&](std::string_view line) {
        std::lock_guard lock(mutex);
        if (line == "NerixBridge cancelled /master: the requester left") ++cancelled;
    };
    auto cancels = [&] {
        std::lock_guard lock(mutex);
        return cancelled;
    };
    char pattern[] = "/tmp/vantorel-cancel-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    auto bridge = std::make_shared<NerixBridge>(kTool, root, options);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    auto request = [&](const std::string& manifest) {
        return test::post("/master", bridge->token(), nlohmann::json{{"manifest", manifest}}.dump());
    };

    int round = 0;
    for (std::string mode : {"hold:", "stubborn:"}) {
        for (bool reset : {false, true}) {
            const std::string running = root + "/running" + std::to_string(round);
            const std::string waiting = root + "/waiting" + std::to_string(round++);
            std::filesystem::create_directory(running);
            std::filesystem::create_directory(waiting);
            auto first = std::make_unique<LoopbackClient>(bridge->port());
            first->send(request(mode + running));
            pid_t tool = 0;
            ASSERT_TRUE(waitFor([&] { return static_cast<bool>(std::ifstream(running + "/pid") >> tool); }));
            LoopbackClient second(bridge->port());
            second.send(request("hold:" + waiting));
            const int before = cancels();
            second.close();
            ASSERT_TRUE(waitFor([&] { return cancels() == before + 1; })) << "the waiting job was not cancelled";

            if (reset) resetAndClose(*first);
            else first->close();
            EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(running + "/term"); })) << "no SIGTERM";
            EXPECT_TRUE(waitFor([&] { return toolGone(tool); })) << mode << " tool still there";
            EXPECT_EQ(cancels(), before + 2);
            EXPECT_EQ(singleAnswerStatus(exchange(bridge->port(), request("ok"))), 200) << "the next job";
            EXPECT_FALSE(std::filesystem::exists(waiting + "/pid")) << "the cancelled waiting job ran";
        }
    }
    bridge.reset();
    std::filesystem::remove_all(root);
}

// When the bridge's owner ends, a running tool is stopped: with SIGTERM on an orderly end, and
// by the kernel when the bridge process is killed outright.
TEST(JobCancel, NoToolOutlivesTheBridge) {
    char pattern[] = "/tmp/vantorel-end-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string root = pattern;
    for (int signal : {SIGTERM, SIGKILL}) {
        const std::string dir = root + "/" + std::to_string(signal);
        std::filesystem::create_directory(dir);
        BridgeProcess bridge(kTool, root);
        LoopbackClient job(bridge.port());
        job.send(test::post("/master", bridge.token(), nlohmann::json{{"manifest", "hold:" + dir}}.dump()));
        pid_t tool = 0;
        ASSERT_TRUE(waitFor([&] { return static_cast<bool>(std::ifstream(dir + "/pid") >> tool); }));
        ::kill(bridge.pid(), signal);
        int status = bridge.stop();
        if (signal == SIGTERM) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
            EXPECT_TRUE(std::filesystem::exists(dir + "/term")) << "the tool got no SIGTERM";
        }
        EXPECT_TRUE(waitFor([&] { return toolGone(tool); })) << "the tool outlived the bridge";
    }
    std::filesystem::remove_all(root);
}

// The host may let go of its bridge as soon as start() has returned, while the queue thread is
// still inside the step that reported ready (here held there by the log line): the bridge then
// ends on its own queue thread, and what remains of that step must not touch the listener.
TEST(BridgeLifetime, TheLastOwnerMayLetGoWhileTheBridgeReportsReady) {
    std::promise<void> letGo;
    std::shared_future<void> lettingGo = letGo.get_future().share();
    BridgeOptions options;
    options.log = [lettingGo](std::string_view) { lettingGo.wait(); };
    auto bridge = std::make_shared<NerixBridge>("/bin/true", "/tmp", options);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    std::weak_ptr<NerixBridge> weak = bridge;
    bridge.reset();  // the ready step on the queue thread now holds the last reference
    letGo.set_value();
    EXPECT_TRUE(waitFor([&] { return weak.expired(); }));
}

// A bridge destroyed while a peer is halfway through its request closes that connection and
// frees it: the pending receive must not keep its own connection alive.
TEST(BridgeLifetime, DestroyingTheBridgeClosesConnectionsStillReading) {
    const int withoutBridge = test::openDescriptors(::getpid());
    BridgeOptions options;
    options.log = [](std::string_view) {};
    auto bridge = std::make_shared<NerixBridge>("/bin/true", "/tmp", options);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    const int listening = test::openDescriptors(::getpid());

    LoopbackClient peer(bridge->port());
    peer.send("GET /health HTTP/1.1\r\n");
    // Our end and the bridge's accepted end, and the bridge has read what was sent: it waits
    // for the rest.
    ASSERT_TRUE(waitFor([&] {
        return test::openDescriptors(::getpid()) == listening + 2 && test::receiveQueue(bridge->port(), "01") == 0;
    }));

    std::weak_ptr<NerixBridge> weak = bridge;
    bridge.reset();
    EXPECT_TRUE(weak.expired());
    // Only our end is left.
    EXPECT_EQ(test::openDescriptors(::getpid()), withoutBridge + 1) << "the bridge left descriptors open";
    EXPECT_TRUE(peer.closedWithoutData());
}

}  // namespace
}  // namespace nerix
