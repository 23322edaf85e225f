#pragma once

// A bridge over real loopback sockets whose "Node.js" is the record_tool fixture, in a world of
// its own: HOME, XDG_CONFIG_HOME and XDG_RUNTIME_DIR point into a fresh folder, and the tool
// writes what it saw (arguments, working folder, the source file) to record.json there.
#include <sys/stat.h>
#include <unistd.h>

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

class JobEndpointTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vantorel-jobs-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root = fs::canonical(pattern).string();
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
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    void startBridge(const std::string& nodePath) {
        bridge.reset();
        bridge = std::make_shared<NerixBridge>(nodePath, repo);
        bridge->start();
        ASSERT_NE(bridge->port(), 0);
    }

    // Sets (or, with nullopt, removes) an environment variable for this test only. The bridge
    // reads it afresh on its queue thread, which is idle while no request is in flight.
    void saveAndSet(const std::string& name, std::optional<std::string> value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name.c_str());
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
        std::ifstream in(recordPath(), std::ios::binary);
        if (!in) return nullptr;
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return nlohmann::json::parse(text, nullptr, false);
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

    static std::vector<std::string> entriesOf(const std::string& folder) {
        std::vector<std::string> names;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(folder, error)) names.push_back(entry.path().filename());
        return names;
    }

    std::shared_ptr<NerixBridge> bridge;
    std::string root, home, runtime, repo;

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace nerix::test
