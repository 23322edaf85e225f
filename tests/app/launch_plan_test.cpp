// The decisions of launch completion, without a display.
#include <fstream>

#include <gtest/gtest.h>

#include "app/launch_plan.h"
#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

TEST(BridgeScript, IsFiveLinesWithThePortTwice) {
    EXPECT_EQ(bridgeScript(54321, "QUJD+/=="),
              "window.__NERIX_BRIDGE = {\n  port: 54321,\n  token: \"QUJD+/==\",\n"
              "  origin: \"http://127.0.0.1:54321\"\n};");
}

TEST(BridgeSettings, BothValuesMustBeNonEmptyText) {
    auto both = bridgeSettings(std::string("/usr/bin/node"), std::string("/repo"));
    ASSERT_TRUE(both);
    EXPECT_EQ(both->nodePath + " " + both->repoRoot, "/usr/bin/node /repo");
    // Absent, or not text (both arrive as nullopt), or empty: no bridge.
    EXPECT_FALSE(bridgeSettings(std::nullopt, std::string("/repo")));
    EXPECT_FALSE(bridgeSettings(std::string("/usr/bin/node"), std::nullopt));
    EXPECT_FALSE(bridgeSettings(std::string("/usr/bin/node"), std::string("")));
    EXPECT_FALSE(bridgeSettings(std::string(""), std::string("/repo")));
}

// A script exactly when there is a bridge, with the port and token read once; a failed start
// is one log line.
TEST(BringUpBridge, AScriptExactlyWhenThereIsABridge) {
    std::vector<std::string> log;
    auto launch = [&](std::optional<BridgeSettings> settings, const BridgeStarter& start) {
        log.clear();
        return bringUpBridge(settings, start, [&](std::string_view line) { log.emplace_back(line); });
    };
    const BridgeSettings settings{"/usr/bin/node", "/tmp"};

    BridgeLaunch none = launch(std::nullopt, [](const BridgeSettings&) -> std::shared_ptr<NerixBridge> { throw 1; });
    EXPECT_FALSE(none.bridge || none.script || !log.empty());

    BridgeLaunch ready = launch(settings, startBridge);
    ASSERT_TRUE(ready.bridge && ready.script);
    EXPECT_NE(ready.bridge->port(), 0);
    EXPECT_EQ(*ready.script, bridgeScript(ready.bridge->port(), ready.bridge->token()));
    EXPECT_TRUE(log.empty());

    BridgeLaunch failed = launch(settings, [](const BridgeSettings& s) {
        BridgeOptions options;
        options.random = [](void*, std::size_t) { return 5; };
        auto bridge = std::make_shared<NerixBridge>(s.nodePath, s.repoRoot, options);
        bridge->start();
        return bridge;
    });
    EXPECT_FALSE(failed.bridge || failed.script);
    EXPECT_EQ(log, std::vector<std::string>{"NerixBridge failed to start: SecRandomCopyBytes failed"});

    // A bridge whose listener never reported (what start() leaves after its wait): port 0.
    BridgeLaunch unready = launch(settings, [](const BridgeSettings& s) {
        return std::make_shared<NerixBridge>(s.nodePath, s.repoRoot);
    });
    ASSERT_TRUE(unready.bridge && unready.script);
    EXPECT_EQ(*unready.script, bridgeScript(0, unready.bridge->token()));
    EXPECT_TRUE(log.empty());
}

using ResourceFolder = test::ScratchTest;

TEST_F(ResourceFolder, ThePageWhenIndexExistsOrTheFallbackText) {
    const std::filesystem::path base = root;
    std::filesystem::create_directories(base / "good/Web");
    std::ofstream(base / "good/Web/index.html") << "<p>page</p>";
    PageChoice page = choosePage(base / "good");
    EXPECT_TRUE(page.found);
    EXPECT_EQ(page.fileUri, "file://" + root + "/good/Web/index.html");
    EXPECT_EQ(page.readAccessUri, "file://" + root + "/good/Web");
    EXPECT_EQ(page.html, "");

    std::filesystem::create_directories(base / "wrong-name/Web");
    std::ofstream(base / "wrong-name/Web/index.htm") << "<p>page</p>";
    std::filesystem::create_directories(base / "a-folder/Web/index.html");
    // A relative folder (none known) is never looked up from the working folder.
    const auto workingFolder = std::filesystem::current_path();
    std::filesystem::current_path(base);
    for (auto folder : {base / "empty", base / "wrong-name", base / "a-folder", std::filesystem::path("good")}) {
        PageChoice missing = choosePage(folder);
        EXPECT_FALSE(missing.found) << folder;
        EXPECT_EQ(missing.html + missing.fileUri, "<h1>Vantorel resources missing.</h1>") << folder;
    }
    std::filesystem::current_path(workingFolder);
}

TEST(FileUri, EscapesEverythingButUnreservedCharactersAndSlashes) {
    EXPECT_EQ(fileUri("/opt/vantorel-1.0/share_/~Web"), "file:///opt/vantorel-1.0/share_/~Web");
    EXPECT_EQ(fileUri("/a b/c#d/e%f/\xC3\xA9/x?y/AZaz09@[`{"),
              "file:///a%20b/c%23d/e%25f/%C3%A9/x%3Fy/AZaz09%40%5B%60%7B");
    EXPECT_EQ(fileUri("/a/./b/../c/"), "file:///a/c");
    EXPECT_EQ(fileUri("/"), "file:///");
    EXPECT_EQ(scriptAllowPattern("/my bundle/Web"), "file:///my%20bundle/Web/*");
}

TEST(OpensInBrowser, OnlyWebAndMailLinksTheUserFollows) {
    for (const char* uri : {"http://example.invalid/", "https://example.invalid/a?b", "HTTPS://EXAMPLE.INVALID/",
                            "mailto:someone@example.invalid"})
        EXPECT_TRUE(opensInBrowser(uri, true)) << uri;
    for (const char* uri : {"file:///opt/v/share/vantorel/Web/other.html", "about:blank", "javascript:void(0)",
                            "data:text/html,x", "no-scheme", "httpx://a"})
        EXPECT_FALSE(opensInBrowser(uri, true)) << uri;
    // A page's own loads (frames, redirects, scripts) are not links the user followed.
    EXPECT_FALSE(opensInBrowser("https://example.invalid/", false));
}

}  // namespace
}  // namespace nerix
