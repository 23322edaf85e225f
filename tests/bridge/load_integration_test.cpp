// The bridge under load and under faults, driven from outside over loopback: many concurrent
// connections, peers that vanish or trickle, jobs whose tool is killed or whose requester
// leaves, and a descriptor limit that makes accept fail. After each case the bridge program
// must still answer health, hold no more descriptors than it started with, and have no child
// left unreaped.
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>

#include <gtest/gtest.h>

#include "bridge/nerix_bridge.h"
#include "common/scratch.h"
#include "support/loopback_client.h"
#include "support/process_probe.h"

namespace nerix {
namespace {

using namespace support;

const std::string kTool = VANTOREL_TEST_FIXTURE_DIR "/load_tool";
const std::string kHealth = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// The status of one whole answer with nothing behind it (the body exactly Content-Length
// bytes, then the end of the stream); 0 for anything else.
int wholeStatus(const ParsedAnswer& answer) {
    auto length = answer.headers.find("Content-Length");
    bool whole = length != answer.headers.end() && length->second == std::to_string(answer.body.size());
    return whole ? answer.status : 0;
}

std::string job(const std::string& token, const std::string& manifest) {
    return post("/master", token, nlohmann::json{{"manifest", manifest}}.dump());
}

void resetAndClose(LoopbackClient& client) {
    linger hard{1, 0};
    ::setsockopt(client.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    client.close();
}

// A job whose tool (load_tool's MODE:DIR) writes its pid to DIR/pid, notes SIGTERM in DIR/term
// and waits for DIR/release; DIR is made here, `field` goes into the request's head.
struct HeldJob {
    template <typename Bridge>
    HeldJob(const Bridge& bridge, const std::string& mode, std::string folder, const std::string& field = "")
        : dir(std::move(folder)), client(bridge.port()) {
        std::filesystem::create_directories(dir);
        std::string request = job(bridge.token(), mode + dir);
        client.send(request.insert(request.find("\r\n") + 2, field));
    }
    // The tool's pid once it runs; 0 at the deadline.
    pid_t started() {
        waitFor([&] { return static_cast<bool>(std::ifstream(dir + "/pid") >> tool); });
        return tool;
    }
    void release() const { std::ofstream(dir + "/release").put('\n'); }

    std::string dir;
    LoopbackClient client;
    pid_t tool = 0;
};

bool isReaper(pid_t process) {
    std::string name;
    std::ifstream("/proc/" + std::to_string(process) + "/comm") >> name;
    return name == "vantorel-reaper";
}

// What runs under a bridge besides its reaper, the one child it keeps: the tools, and whatever a
// tool left.
std::vector<pid_t> toolsUnder(pid_t bridge) {
    std::vector<pid_t> found;
    for (pid_t child : childrenOf(bridge))
        for (pid_t below : isReaper(child) ? childrenOf(child) : std::vector<pid_t>{child}) found.push_back(below);
    return found;
}

using JobCancel = test::ScratchTest;
using JobEvents = test::ScratchTest;
using JobLive = test::ScratchTest;
using JobReaperLost = test::ScratchTest;

class BridgeUnderLoad : public test::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        bridge = std::make_unique<BridgeProcess>(kTool, root);
        // One job and one answered request first, so that whatever the bridge opens once is open
        // (the job's reaper), and the job's connection has had time to close.
        ASSERT_EQ(roundTrip(port(), job(bridge->token(), "ok")).status, 200);
        ASSERT_EQ(roundTrip(port(), kHealth).status, 200);
        baseline = openDescriptors(bridge->pid());
        ASSERT_EQ(::prlimit(bridge->pid(), RLIMIT_NOFILE, nullptr, &original), 0);
    }

    void TearDown() override {
        const pid_t pid = bridge->pid();
        ASSERT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "the bridge has gone";
        ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &original, nullptr), 0);
        EXPECT_EQ(roundTrip(port(), kHealth).status, 200);
        // Closing connections may linger a moment while they drain their peer.
        EXPECT_TRUE(waitFor([&] { return openDescriptors(pid) <= baseline; })) << openDescriptors(pid) << " open";
        EXPECT_TRUE(waitFor([&] { return toolsUnder(pid).empty(); })) << "a tool is left unreaped";
        int status = bridge->stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
        ScratchTest::TearDown();
    }

    // Sets the bridge's soft descriptor limit, until TearDown.
    void limitDescriptors(rlim_t limit) {
        rlimit tight{limit, original.rlim_max};
        ASSERT_EQ(::prlimit(bridge->pid(), RLIMIT_NOFILE, &tight, nullptr), 0);
    }

    std::uint16_t port() const { return bridge->port(); }

    std::unique_ptr<BridgeProcess> bridge;
    int baseline = 0;
    rlimit original{};
};

// Concurrent connections must each get exactly one answer of their own, whatever the mix of
// refusals and jobs and however the request is cut into pieces, down to one byte at a time;
// peers that send part of a request (or nothing) and go, orderly or with a reset, disturb no one.
TEST_F(BridgeUnderLoad, ManyPeersAtOnceAreEachAnsweredOnce) {
    const std::string token = bridge->token(), master = job(token, "ok");
    struct Kind {
        std::string request;
        int status;
        std::vector<std::size_t> cuts = {};  // sent in pieces at these offsets
    };
    const std::vector<Kind> kinds{
        {"OPTIONS /compose HTTP/1.1\r\nAccess-Control-Request-Method: POST\r\n\r\n", 204},
        {job(std::string(44, 'A'), "ok"), 401},
        {kHealth + "bytes behind the request", 200, {3, 21, kHealth.size() - 1}},
        {"POST /master HTTP/1.1\r\nContent-Length: 70000000\r\n\r\n", 413},
        {master, 200},
        {job(token, "exit:3"), 500, {20}},
        {post("/nowhere", token, R"({"a":"b"})"), 404, {0}},  // {0}: one byte at a time
        {master, 200, {0}},
    };
    std::mutex mutex;
    std::string failures;
    auto fail = [&](const std::string& what) {
        std::lock_guard lock(mutex);
        failures += what + "\n";
    };
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < 64; ++t)
        threads.emplace_back([&, t] {
            for (std::size_t i = 0; i < 40; ++i) try {
                    LoopbackClient client(port());
                    if (t % 8 == 0) {  // a peer that vanishes
                        client.send(master.substr(0, (t * 40 + i) * 7 % master.size()));
                        if (i % 2) resetAndClose(client);
                        continue;
                    }
                    const Kind& kind = kinds[(t * 40 + i) % kinds.size()];
                    std::vector<std::size_t> cuts = kind.cuts;
                    if (cuts == std::vector<std::size_t>{0})
                        for (std::size_t at = 1; at < kind.request.size(); ++at) cuts.push_back(at);
                    std::size_t from = 0;
                    for (std::size_t cut : cuts) {
                        client.send(kind.request.substr(from, cut - from));
                        from = cut;
                    }
                    client.send(kind.request.substr(from));
                    // Jobs queue one behind another: under a sanitizer on a busy machine an answer
                    // may wait well past the usual deadline.
                    if (int status = wholeStatus(parseAnswer(client.readAll(std::chrono::seconds(90))));
                        status != kind.status)
                        fail("got " + std::to_string(status) + " for " + kind.request.substr(0, 30));
                } catch (const std::exception& error) {
                    fail(error.what());
                }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, "");

    // A peer that keeps its end open after its job's answer is let go once the linger is over.
    LoopbackClient stays(port());
    stays.send(master);
    EXPECT_EQ(wholeStatus(parseAnswer(stays.readAll())), 200);
    EXPECT_TRUE(waitFor([&] { return openDescriptors(bridge->pid()) <= baseline; })) << "a lingering peer is held";
}

// Local peers without the token cannot make the bridge unreachable: at 1024 descriptors, 1500
// connections that each send a byte and stay leave health answered, and the bridge keeps at
// most 256 of them. Out of descriptors, the oldest unfinished request gives way (closed without
// an answer) to the connection that cannot be accepted; a job whose second pipe cannot be made
// is answered as a tool that failed to start.
TEST_F(BridgeUnderLoad, NeitherAFloodOfIdlePeersNorALackOfDescriptorsShutsOthersOut) {
    const pid_t pid = bridge->pid();
    limitDescriptors(1024);
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    rlimit roomy{std::min<rlim_t>(own.rlim_max, 4096), own.rlim_max};
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &roomy), 0);
    std::vector<std::unique_ptr<LoopbackClient>> idle;
    for (int i = 0; i < 1500; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(port()));
        idle.back()->send("G");
    }
    EXPECT_EQ(wholeStatus(roundTrip(port(), kHealth)), 200);
    EXPECT_LE(openDescriptors(pid), baseline + 257);
    idle.clear();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);

    ASSERT_TRUE(waitFor([&] { return openDescriptors(pid) == baseline; }));
    limitDescriptors(static_cast<rlim_t>(limitLeavingSpare(pid, 3)));
    for (int i = 0; i < 3; ++i) {
        idle.push_back(std::make_unique<LoopbackClient>(port()));
        idle.back()->send("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n");
        ASSERT_TRUE(waitFor([&] { return openDescriptors(pid) == baseline + i + 1; }));
    }
    EXPECT_EQ(wholeStatus(roundTrip(port(), kHealth)), 200);
    EXPECT_TRUE(idle.front()->closedWithoutData());
    EXPECT_FALSE(idle.back()->closedWithoutData(std::chrono::milliseconds(0)));

    // Four spare, not two: a sanitizer's own checks may need a pipe of their own on the way.
    idle.clear();
    ASSERT_TRUE(waitFor([&] { return openDescriptors(pid) == baseline; }));
    limitDescriptors(static_cast<rlim_t>(limitLeavingSpare(pid, 4)));
    auto answer = roundTrip(port(), job(bridge->token(), "ok"));
    ASSERT_EQ(answer.status, 500) << answer.body;
    auto json = nlohmann::json::parse(answer.body);
    EXPECT_EQ(json["exitCode"], -1);
    EXPECT_EQ(json["stderr"].get<std::string>().rfind("spawn failed: ", 0), 0u) << json.dump();
}

// Peers without the token, each announcing the largest body and sending a part of it, are each
// answered 401 as soon as their heads are in and hold none of it: the bridge's peak memory stays
// flat. Lengths that disagree or are not plain digits are refused on the wire before anything runs
// (a token sent twice: request_parser_test and routing_test; a foreign Host: file_urls_integration_test).
TEST_F(BridgeUnderLoad, PeersWithoutTheTokenHoldNoMemoryAndOddRequestsAreRefused) {
    const pid_t pid = bridge->pid();
    const std::uint64_t peakBefore = statusBytes(pid, "VmHWM");
    std::vector<std::unique_ptr<LoopbackClient>> peers;
    for (int i = 0; i < 64; ++i) {
        peers.push_back(std::make_unique<LoopbackClient>(port()));
        peers.back()->send("POST /compose HTTP/1.1\r\nContent-Length: 67108864\r\n\r\n");
    }
    const std::string part(256 * 1024, 'z');
    for (int round = 0; round < 4; ++round) {
        for (auto& peer : peers) {
            try {
                peer->send(part);
            } catch (const std::runtime_error&) {  // answered and closed already: nothing to hold
            }
        }
    }
    for (auto& peer : peers) EXPECT_EQ(parseAnswer(peer->readAll()).status, 401);
    EXPECT_LT(statusBytes(pid, "VmHWM") - peakBefore, 32u << 20) << "of 64 MiB sent";
    peers.clear();

    for (const std::string lengths : {"Content-Length: 2\r\nContent-Length: 3\r\n", "Content-Length: +2\r\n"}) {
        auto answer = roundTrip(
            port(), "POST /compose HTTP/1.1\r\nX-Nerix-Token: " + bridge->token() + "\r\n" + lengths + "\r\n{}");
        EXPECT_EQ(answer.status, 400) << lengths;
        EXPECT_EQ(answer.body, R"({"error":"invalid Content-Length"})") << lengths;
    }
}

// A requester that leaves (orderly or with a reset) cancels its job: a waiting job never runs; a
// running tool gets SIGTERM (one that ignores it, SIGKILL after the grace) and is reaped; one
// log line names the endpoint; the next job runs.
TEST_F(JobCancel, AWaitingJobNeverRunsARunningToolIsStoppedTheNextJobRuns) {
    std::atomic<int> cancels{0};
    const std::string_view cancelLine = "NerixBridge cancelled /master: the requester left";
    BridgeOptions options{.random = {},
                          .log = [&](std::string_view line) { cancels += line == cancelLine; },
                          .limits = {},
                          .stopGrace = std::chrono::milliseconds(200)};
    auto bridge = std::make_shared<NerixBridge>(kTool, root, options);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    int round = 0;
    for (std::string mode : {"hold:", "stubborn:"}) {
        for (bool reset : {false, true}) {
            HeldJob first(*bridge, mode, root + "/" + std::to_string(round++));
            const pid_t tool = first.started();
            ASSERT_GT(tool, 0);
            HeldJob second(*bridge, "hold:", first.dir + "/w");
            const int before = cancels;
            second.client.close();
            ASSERT_TRUE(waitFor([&] { return cancels == before + 1; })) << "the waiting job was not cancelled";

            reset ? resetAndClose(first.client) : first.client.close();
            EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(first.dir + "/term"); })) << "no SIGTERM";
            EXPECT_TRUE(waitFor([&] { return ended(tool); })) << mode << " tool still there";
            EXPECT_TRUE(waitFor([&] { return cancels == before + 2; })) << "one line for the running job";
            EXPECT_EQ(wholeStatus(roundTrip(bridge->port(), job(bridge->token(), "ok"))), 200);
            EXPECT_FALSE(std::filesystem::exists(second.dir + "/pid")) << "the cancelled waiting job ran";
        }
    }
    // Stopping the bridge kills a tool that ignores SIGTERM once the grace is over.
    HeldJob last(*bridge, "stubborn:", root + "/last");
    const pid_t tool = last.started();
    bridge->stop();
    EXPECT_TRUE(tool > 0 && ended(tool));
    bridge.reset();

    // A tool that ends on its SIGTERM ends the stop: the grace is not sat out.
    options.stopGrace = std::chrono::minutes(1);
    auto patient = std::make_shared<NerixBridge>(kTool, root, options);
    patient->start();
    HeldJob obliging(*patient, "hold:", root + "/obliging");
    ASSERT_GT(obliging.started(), 0);
    auto stopped = std::async(std::launch::async, [&] { patient->stop(); });
    EXPECT_TRUE(waitFor([&] { return stopped.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }))
        << "stop() waited out the grace";
    stopped.wait();
    EXPECT_TRUE(std::filesystem::exists(obliging.dir + "/term"));
    patient.reset();
}

// What the host hears of each job, in order: a success (with the file it wrote, "-o" taken
// from the tool's folder), a failure, a running job whose requester leaves, one that waits and
// is dropped, and one still running when the bridge stops, with one waiting behind it.
TEST_F(JobEvents, QueuedStartedAndEndedWithTheOutcomeOfEachJob) {
    std::mutex mutex;
    std::vector<std::string> heard;
    auto said = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        return std::find(heard.begin(), heard.end(), line) != heard.end();
    };
    BridgeOptions options{.random = {},
                          .log = [](std::string_view) {},
                          .limits = {},
                          .stopGrace = std::chrono::milliseconds(200),
                          .jobEvents =
                              [&](const JobEvent& event) {
                                  const char* kinds[] = {"Queued", "Started", "Ended"};
                                  const char* outcomes[] = {" Succeeded", " Failed", " Cancelled"};
                                  std::string line =
                                      std::to_string(event.id) + " " + kinds[static_cast<int>(event.kind)];
                                  if (event.kind == JobEvent::Kind::Queued) line += " " + event.endpoint;
                                  if (event.kind == JobEvent::Kind::Ended) {
                                      line += outcomes[static_cast<int>(event.outcome)];
                                      if (event.outcome != JobEvent::Outcome::Cancelled)
                                          line += " " + std::to_string(event.exitCode);
                                      line += " " + event.outputPath.value_or("-");
                                  }
                                  std::lock_guard lock(mutex);
                                  heard.push_back(line);
                              }};
    auto bridge = std::make_shared<NerixBridge>(kTool, root, options);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    const std::string& token = bridge->token();
    auto master = [&](const nlohmann::json& body) { return post("/master", token, body.dump()); };
    EXPECT_EQ(roundTrip(bridge->port(), master({{"manifest", "ok"}, {"output", "out/mix.wav"}})).status, 200);
    EXPECT_EQ(roundTrip(bridge->port(), master({{"manifest", "exit:3"}})).status, 500);

    HeldJob first(*bridge, "hold:", root + "/running");
    ASSERT_GT(first.started(), 0);
    HeldJob second(*bridge, "hold:", root + "/waiting");
    ASSERT_TRUE(waitFor([&] { return said("4 Queued /master"); }));
    second.client.close();
    ASSERT_TRUE(waitFor([&] { return said("4 Ended Cancelled -"); }));
    first.client.close();
    ASSERT_TRUE(waitFor([&] { return said("3 Ended Cancelled -"); }));

    HeldJob held(*bridge, "hold:", root + "/last");
    ASSERT_GT(held.started(), 0);
    HeldJob behind(*bridge, "hold:", root + "/waiting");
    ASSERT_TRUE(waitFor([&] { return said("6 Queued /master"); }));
    bridge->stop();
    const std::vector<std::string> expected = {
        "1 Queued /master",    "1 Started",           "1 Ended Succeeded 0 " + root + "/out/mix.wav",
        "2 Queued /master",    "2 Started",           "2 Ended Failed 3 -",
        "3 Queued /master",    "3 Started",           "4 Queued /master",
        "4 Ended Cancelled -", "3 Ended Cancelled -", "5 Queued /master",
        "5 Started",           "6 Queued /master",    "6 Ended Cancelled -",
        "5 Ended Cancelled -",
    };
    std::lock_guard lock(mutex);
    EXPECT_EQ(heard, expected);
    bridge.reset();
}

// Nothing a tool starts outlives its job, not even a process that left the tool's session and
// holds its output pipes: not when the requester leaves, nor when the tool itself ends (its
// answer still goes out), when the bridge stops (the tool gets its SIGTERM first, and the bridge
// ends cleanly), or when the bridge is killed outright. A silent tool costs the bridge nothing.
TEST_F(JobCancel, NothingAToolStartsOutlivesItsJob) {
    enum End { RequesterLeaves, ToolEnds, BridgeStops, BridgeKilled };
    for (End end : {RequesterLeaves, ToolEnds, BridgeStops, BridgeKilled}) {
        BridgeProcess bridge(kTool, root);
        HeldJob family(bridge, "family:", root + "/family" + std::to_string(end));
        const pid_t tool = family.started();
        pid_t grandchild = 0;
        ASSERT_TRUE(
            waitFor([&] { return static_cast<bool>(std::ifstream(family.dir + "/grandchild") >> grandchild); }));
        ASSERT_TRUE(tool > 0 && ::getsid(grandchild) == grandchild) << "the grandchild has not left the session";
        EXPECT_EQ(::getpgid(tool), tool) << "the tool leads no process group of its own";
        if (end == RequesterLeaves) family.client.close();
        if (end == ToolEnds) {
            int awake = 0;  // a bridge that spins is found running in (nearly) every look
            for (int look = 0; look < 10; ++look, std::this_thread::sleep_for(std::chrono::milliseconds(50)))
                awake += anyThreadRunnable(bridge.pid());
            EXPECT_LT(awake, 5) << "the bridge spins while its tool is silent";
            family.release();
            EXPECT_EQ(wholeStatus(parseAnswer(family.client.readAll())), 200);
        }
        if (end == BridgeStops) {
            // The bridge kills a tool only after a grace of 5 s: one that got no chance to run
            // its handler in that time is the one that leaves no note.
            const int status = bridge.stop();
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
            EXPECT_TRUE(std::filesystem::exists(family.dir + "/term")) << "the tool got no SIGTERM";
        }
        if (end == BridgeKilled) bridge.stop(SIGKILL);
        EXPECT_TRUE(waitFor([&] { return ended(tool) && ended(grandchild); })) << "case " << end;
    }
}

// A live answer's head, then each line, reach the peer while the tool still runs, not only once
// it has ended.
TEST_F(JobLive, TheHeadAndALineReachThePeerWhileTheToolRuns) {
    BridgeProcess bridge(kTool, root);
    for (const std::string mode : {"hold:", "say:"}) {
        HeldJob held(bridge, mode, root + "/" + mode.substr(0, 3), "Accept: application/x-ndjson\r\n");
        // A silent tool: the head all the same; a tool that speaks: its line too.
        const std::string early = held.client.readUntil(mode == "say:" ? "first line" : "\r\n\r\n");
        EXPECT_EQ(early.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << early;
        EXPECT_EQ(early.find(R"({"stdout":"first line\n"})") != std::string::npos, mode == "say:") << early;
        EXPECT_FALSE(ended(held.started())) << "it came only with the tool's end";
        held.release();
        EXPECT_TRUE((early + held.client.readAll()).ends_with("\r\n0\r\n\r\n"));
    }
}

// A reaper that dies (killed by hand, say) ends the jobs under it: the running one is answered,
// nothing it ran is left, the next job runs under a new reaper, and the old one is reaped.
TEST_F(JobReaperLost, TheRunningJobIsAnsweredAndTheNextRunsUnderANewOne) {
    BridgeProcess bridge(kTool, root);
    HeldJob lost(bridge, "hold:", root + "/lost");
    const pid_t tool = lost.started();
    ASSERT_GT(tool, 0);
    pid_t reaper = 0;
    for (pid_t child : childrenOf(bridge.pid())) reaper = isReaper(child) ? child : reaper;
    ASSERT_GT(reaper, 0);
    ASSERT_EQ(::kill(reaper, SIGKILL), 0);
    const auto answer = parseAnswer(lost.client.readAll());
    EXPECT_EQ(wholeStatus(answer), 500) << answer.body;
    EXPECT_TRUE(waitFor([&] { return ended(tool); })) << "the tool outlived its reaper";
    EXPECT_EQ(wholeStatus(roundTrip(bridge.port(), job(bridge.token(), "ok"))), 200);
    EXPECT_TRUE(waitFor([&] { return stateOf(std::to_string(reaper)).first == 0; }))
        << "the dead reaper was not reaped";
}

// The host may let go of its bridge as soon as start() has returned, while the queue thread is
// still inside the step that reported ready (here held there by the log line): the bridge then
// ends on its own queue thread, and what remains of that step must not touch the listener.
TEST(BridgeLifetime, TheLastOwnerMayLetGoWhileTheBridgeReportsReady) {
    std::promise<void> letGo;
    std::shared_future<void> lettingGo = letGo.get_future().share();
    BridgeOptions options{.random = {}, .log = [lettingGo](std::string_view) { lettingGo.wait(); }, .limits = {}};
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
    const int withoutBridge = openDescriptors(::getpid());
    BridgeOptions options{.random = {}, .log = [](std::string_view) {}, .limits = {}};
    auto bridge = std::make_shared<NerixBridge>("/bin/true", "/tmp", options);
    bridge->start();
    ASSERT_NE(bridge->port(), 0);
    const int listening = openDescriptors(::getpid());
    LoopbackClient peer(bridge->port());
    peer.send("GET /health HTTP/1.1\r\n");
    // Our end and the bridge's accepted end, and the bridge has read what was sent.
    ASSERT_TRUE(waitFor(
        [&] { return openDescriptors(::getpid()) == listening + 2 && receiveQueue(bridge->port(), "01") == 0; }));
    std::weak_ptr<NerixBridge> weak = bridge;
    bridge.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(openDescriptors(::getpid()), withoutBridge + 1) << "the bridge left descriptors open";
    EXPECT_TRUE(peer.closedWithoutData());
}

}  // namespace
}  // namespace nerix
