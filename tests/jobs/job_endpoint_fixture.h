#pragma once

// JobEndpointTest: a bridge over loopback whose "Node.js" is record_tool, HOME and the XDG folders
// in the scratch folder, and the tool's record of what it saw (arguments, working folder, source)
// in record.json.
#include <chrono>

#include <nlohmann/json.hpp>

#include "bridge/nerix_bridge.h"
#include "common/scratch.h"
#include "support/loopback_client.h"

namespace nerix::test {
using namespace support;

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
