#pragma once

// Test worlds of their own. ScratchTest gives a fresh folder and environment changes that are
// undone after the test; JobEndpointTest adds a bridge over real loopback sockets whose
// "Node.js" is the record_tool fixture, with HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR in the
// scratch folder, and the tool writing what it saw (arguments, working folder, the source file)
// to record.json there.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bridge/nerix_bridge.h"
#include "support/loopback_client.h"

namespace nerix::test {

namespace fs = std::filesystem;

inline const std::string kRecordTool = VANTOREL_TEST_FIXTURE_DIR "/record_tool";

// Checks a condition often until it holds or a deadline that only a fault reaches has passed.
inline bool waitUntil(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline std::vector<std::string> entriesOf(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vantorel-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = fs::canonical(pattern).string();
    }

    void TearDown() override {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Sets (or, with nullopt, removes) an environment variable for this test only. A bridge
    // reads it afresh on its queue thread, which is idle while no request is in flight.
    void saveAndSet(const std::string& name, std::optional<std::string> value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }

    std::string root;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class JobEndpointTest : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        home = root + "/home";
        runtime = root + "/runtime";
        repo = root + "/repo";
        for (const auto& folder : {home, runtime, repo, root + "/config"}) fs::create_directories(folder);
        fs::permissions(runtime, fs::perms::owner_all);

        saveAndSet("HOME", home);
        saveAndSet("XDG_CONFIG_HOME", root + "/config");
        saveAndSet("XDG_RUNTIME_DIR", runtime);
        saveAndSet("RECORD_TOOL_FILE", recordPath());
        for (const char* name : {"RECORD_TOOL_WAIT_FOR", "RECORD_TOOL_STDOUT", "RECORD_TOOL_STDOUT_BYTES",
                                 "RECORD_TOOL_STDERR", "RECORD_TOOL_EXIT"})
            saveAndSet(name, std::nullopt);
        startBridge(kRecordTool);
    }

    void TearDown() override {
        bridge.reset();
        ScratchTest::TearDown();
    }

    void startBridge(const std::string& nodePath) {
        bridge.reset();
        bridge = std::make_shared<NerixBridge>(nodePath, repo);
        bridge->start();
        ASSERT_NE(bridge->port(), 0);
    }

    ParsedAnswer postJob(const std::string& path, const std::string& body) {
        return roundTrip(bridge->port(), post(path, bridge->token(), body));
    }

    static nlohmann::json bodyOf(const ParsedAnswer& answer) {
        return nlohmann::json::parse(answer.body, nullptr, false);
    }

    std::string recordPath() const { return root + "/record.json"; }
    bool toolRan() const { return fs::exists(recordPath()); }

    // What the tool saw; null when it did not run.
    nlohmann::json record() const {
        if (!toolRan()) return nullptr;
        return nlohmann::json::parse(contentOf(recordPath()), nullptr, false);
    }

    // The tool's arguments after the entry script, which is checked on the way.
    std::vector<std::string> toolArgs() const {
        nlohmann::json seen = record();
        if (!seen.is_object()) return {"(the tool did not run)"};
        auto args = seen["args"].get<std::vector<std::string>>();
        EXPECT_FALSE(args.empty());
        if (args.empty()) return args;
        EXPECT_EQ(args.front(), repo + "/packages/cli/dist/index.js");
        EXPECT_EQ(seen["cwd"], repo);
        args.erase(args.begin());
        return args;
    }

    std::shared_ptr<NerixBridge> bridge;
    std::string home, runtime, repo;
};

}  // namespace nerix::test
