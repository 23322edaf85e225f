// The decisions of launch completion, without a display.
#include <fstream>

#include <gtest/gtest.h>

#include "app/launch_plan.h"
#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

const std::string kToken = "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVphYmNkZWY=";

TEST(BridgeScript, IsFiveLinesWithThePortTwice) {
    EXPECT_EQ(bridgeScript(54321, kToken),
              "window.__NERIX_BRIDGE = {\n"
              "  port: 54321,\n"
              "  token: \"" + kToken + "\",\n"
              "  origin: \"http://127.0.0.1:54321\"\n"
              "};");
}

TEST(BridgeSettings, BothValuesMustBeNonEmptyText) {
    auto both = bridgeSettings(std::string("/usr/bin/node"), std::string("/repo"));
    ASSERT_TRUE(both);
    EXPECT_EQ(both->nodePath, "/usr/bin/node");
    EXPECT_EQ(both->repoRoot, "/repo");

    // Absent, or not text (both arrive as nullopt), or empty: no bridge.
    EXPECT_FALSE(bridgeSettings(std::nullopt, std::string("/repo")));
    EXPECT_FALSE(bridgeSettings(std::string("/usr/bin/node"), std::nullopt));
    EXPECT_FALSE(bridgeSettings(std::string("/usr/bin/node"), std::string("")));
    EXPECT_FALSE(bridgeSettings(std::string(""), std::string("/repo")));
}

struct Log {
    std::vector<std::string> lines;
    std::function<void(std::string_view)> sink() {
        return [this](std::string_view line) { lines.emplace_back(line); };
    }
};

const BridgeSettings kSettings{"/usr/bin/node", "/tmp"};

TEST(BringUpBridge, NoSettingsMeansNoBridgeNoScriptNoMessage) {
    Log log;
    bool started = false;
    BridgeLaunch launch = bringUpBridge(
        std::nullopt, [&](const BridgeSettings&) { started = true; return std::shared_ptr<NerixBridge>(); },
        log.sink());
    EXPECT_FALSE(started);
    EXPECT_FALSE(launch.bridge);
    EXPECT_FALSE(launch.script);
    EXPECT_TRUE(log.lines.empty());
}

TEST(BringUpBridge, AReadyBridgeGivesOneScriptWithItsPortAndToken) {
    Log log;
    BridgeLaunch launch = bringUpBridge(kSettings, startBridge, log.sink());
    ASSERT_TRUE(launch.bridge);
    EXPECT_NE(launch.bridge->port(), 0);
    ASSERT_TRUE(launch.script);
    EXPECT_EQ(*launch.script, bridgeScript(launch.bridge->port(), launch.bridge->token()));
    EXPECT_TRUE(log.lines.empty());
}

TEST(BringUpBridge, AFailedConstructionLogsOneLineAndLeavesNoBridge) {
    Log log;
    auto failingRandom = [](const BridgeSettings& settings) {
        BridgeOptions options;
        options.random = [](void*, std::size_t) { return 5; };
        auto bridge = std::make_shared<NerixBridge>(settings.nodePath, settings.repoRoot, options);
        bridge->start();
        return bridge;
    };
    BridgeLaunch launch = bringUpBridge(kSettings, failingRandom, log.sink());
    EXPECT_FALSE(launch.bridge);
    EXPECT_FALSE(launch.script);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0], "NerixBridge failed to start: SecRandomCopyBytes failed");
}

TEST(BringUpBridge, AnExpiredWaitPutsPortZeroInBothPlaces) {
    Log log;
    // A bridge whose listener never reported: what start() leaves after its 2 s.
    auto neverReady = [](const BridgeSettings& settings) {
        return std::make_shared<NerixBridge>(settings.nodePath, settings.repoRoot);
    };
    BridgeLaunch launch = bringUpBridge(kSettings, neverReady, log.sink());
    ASSERT_TRUE(launch.bridge);
    ASSERT_TRUE(launch.script);
    EXPECT_NE(launch.script->find("\n  port: 0,\n"), std::string::npos);
    EXPECT_NE(launch.script->find("origin: \"http://127.0.0.1:0\"\n};"), std::string::npos);
    EXPECT_NE(launch.script->find(launch.bridge->token()), std::string::npos);
    EXPECT_TRUE(log.lines.empty());
}

class ResourceFolder : public test::ScratchTest {
protected:
    void write(const std::filesystem::path& file) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << "<p>page</p>";
    }
};

TEST_F(ResourceFolder, ThePageAndItsFolderWhenIndexExists) {
    write(root + "/Web/index.html");
    PageChoice page = choosePage(root);
    ASSERT_TRUE(page.found);
    EXPECT_EQ(page.fileUri, "file://" + root + "/Web/index.html");
    EXPECT_EQ(page.readAccessUri, "file://" + root + "/Web");
    EXPECT_TRUE(page.html.empty());
}

TEST_F(ResourceFolder, TheFallbackTextWhenIndexIsMissing) {
    const std::filesystem::path base = root;
    for (auto folder : {base / "empty", base / "wrong-name", base / "a-folder", std::filesystem::path()}) {
        if (folder.filename() == "wrong-name") write(folder / "Web" / "index.htm");
        if (folder.filename() == "a-folder") std::filesystem::create_directories(folder / "Web" / "index.html");
        PageChoice page = choosePage(folder);
        EXPECT_FALSE(page.found) << folder;
        EXPECT_EQ(page.html, "<h1>Vantorel resources missing.</h1>");
        EXPECT_TRUE(page.fileUri.empty());
    }
}

TEST(FileUri, EscapesEverythingButUnreservedCharactersAndSlashes) {
    EXPECT_EQ(fileUri("/opt/vantorel/share/Web"), "file:///opt/vantorel/share/Web");
    EXPECT_EQ(fileUri("/a b/c#d/e%f/\xC3\xA9/x?y"), "file:///a%20b/c%23d/e%25f/%C3%A9/x%3Fy");
    EXPECT_EQ(fileUri("/a/./b/../c/"), "file:///a/c");
    EXPECT_EQ(fileUri("/"), "file:///");
}

TEST(ScriptAllowPattern, CoversTheWebFolderAndBelowOnly) {
    EXPECT_EQ(scriptAllowPattern("/opt/v/share/vantorel/Web"), "file:///opt/v/share/vantorel/Web/*");
    EXPECT_EQ(scriptAllowPattern("/my bundle/Web"), "file:///my%20bundle/Web/*");
}

TEST(OpensInBrowser, OnlyWebAndMailLinksTheUserFollows) {
    for (const char* uri : {"http://example.invalid/", "https://example.invalid/a?b", "HTTPS://EXAMPLE.INVALID/",
                            "mailto:someone@example.invalid"})
        EXPECT_TRUE(opensInBrowser(uri, true)) << uri;
    for (const char* uri : {"file:///opt/v/share/vantorel/Web/other.html", "about:blank", "javascript:void(0)",
                            "data:text/html,x", "no-scheme"})
        EXPECT_FALSE(opensInBrowser(uri, true)) << uri;
    // A page's own loads (frames, redirects, scripts) are not links the user followed.
    EXPECT_FALSE(opensInBrowser("https://example.invalid/", false));
}

}  // namespace
}  // namespace nerix
