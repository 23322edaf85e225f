#pragma once

// ScratchTest: a fresh folder, and environment changes undone after the test. JobEndpointTest: a
// bridge over loopback whose "Node.js" is record_tool, HOME and the XDG folders in the scratch
// folder, and the tool's record of what it saw (arguments, working folder, source) in record.json.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bridge/nerix_bridge.h"
#include "support/loopback_client.h"

namespace nerix::test {
using namespace support;

namespace fs = std::filesystem;

// What the file holds; empty when it cannot be read (a /proc file whose process ended between
// the open and the read fails the read, and libstdc++'s stream throws for that).
inline std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    try {
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        return {};
    }
}
// Writes `text` to `file`, making the folders on its way.
inline void writeFile(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
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
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) set(it->first, it->second);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }

    // Sets (or, with nullopt, removes) an environment variable for this test only. A bridge
    // reads it afresh on its queue thread, which is idle while no request is in flight.
    void saveAndSet(const std::string& name, const std::optional<std::string>& value) {
        const char* old = std::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        set(name, value);
    }

    std::string root;

private:
    static void set(const std::string& name, const std::optional<std::string>& value) {
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

class JobEndpointTest : public ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        home = root + "/home", runtime = root + "/runtime", repo = root + "/repo";
        for (const auto& folder : {home, runtime, repo}) fs::create_directories(folder);
        fs::permissions(runtime, fs::perms::owner_all);
        saveAndSet("HOME", home), saveAndSet("XDG_CONFIG_HOME", root + "/config");
        saveAndSet("XDG_RUNTIME_DIR", runtime), saveAndSet("RECORD_TOOL_FILE", recordPath());
        startBridge(VANTOREL_TEST_FIXTURE_DIR "/record_tool");
    }

    void startBridge(const std::string& nodePath) {
        bridge = std::make_shared<NerixBridge>(nodePath, repo);
        const auto starting = std::chrono::steady_clock::now();
        bridge->start();
        ASSERT_NE(bridge->port(), 0);
        // start() is woken by the port, not by its 2 s limit: a window waits on it.
        EXPECT_LT(std::chrono::steady_clock::now() - starting, std::chrono::seconds(1));
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
        return toolRan() ? nlohmann::json::parse(contentOf(recordPath()), nullptr, false) : nullptr;
    }

    // The tool's arguments after the entry script; the entry and the working folder are checked on the way.
    std::vector<std::string> toolArgs() const {
        nlohmann::json seen = record();
        if (!seen.is_object() || seen["args"].empty()) return {"(the tool did not run)"};
        auto args = seen["args"].get<std::vector<std::string>>();
        EXPECT_EQ(args.front(), repo + "/packages/cli/dist/index.js");
        EXPECT_EQ(seen["cwd"], repo);
        args.erase(args.begin());
        return args;
    }

    std::shared_ptr<NerixBridge> bridge;
    std::string home, runtime, repo;
};

}  // namespace nerix::test
