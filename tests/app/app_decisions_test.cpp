// What the application decides, without a display: where its resources are, what its Info.plist
// says, the bridge and the script that hands it to the page, which page to show, which links
// leave the window, and what to do when the page's content process ends.
#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "app/bridge_launch.h"
#include "app/bundle.h"
#include "app/info_dictionary.h"
#include "app/page_choice.h"
#include "app/page_origin.h"
#include "app/page_recovery.h"
#include "common/scratch.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using Scratch = test::ScratchTest;

// Five lines with the port twice, for the pages of the own origin only.
TEST(BridgeScript, IsFiveLinesWithThePortTwiceForTheOwnOriginsPages) {
    EXPECT_EQ(bridgeScript(54321, "QUJD+/=="),
              "window.__NERIX_BRIDGE = {\n  port: 54321,\n  token: \"QUJD+/==\",\n"
              "  origin: \"http://127.0.0.1:54321\"\n};");
    EXPECT_EQ(scriptAllowPattern(), "vantorel://app/*");
}

// A bridge only for two non-empty values, and a script exactly when there is one, with the port
// and token read once; a failed start is one log line.
TEST(BringUpBridge, ABridgeForTwoNonEmptyValuesAndAScriptExactlyWhenThereIsOne) {
    std::vector<std::string> log;
    // The bridge made, and started or not (as start() leaves it when its wait expired).
    auto launch = [&](const SettingValues& values, bool started, const BridgeOptions& options = {}) {
        log.clear();
        return bringUpBridge(
            values,
            [&](const std::string& node, const std::string& repo) {
                auto bridge = std::make_shared<NerixBridge>(node, repo, options);
                if (started) bridge->start();
                return bridge;
            },
            [&](std::string_view line) { log.emplace_back(line); });
    };
    for (const SettingValues& none : {SettingValues{std::nullopt, "/r", {}}, SettingValues{"/n", "", {}}}) {
        BridgeLaunch launched = launch(none, true);
        EXPECT_FALSE(launched.bridge || launched.script || !log.empty());
    }
    const SettingValues settings{"/usr/bin/node", "/tmp", std::nullopt};
    for (bool started : {true, false}) {  // not started: its listener never reported, port 0
        BridgeLaunch ready = launch(settings, started);
        ASSERT_TRUE(ready.bridge && ready.script);
        EXPECT_EQ(ready.bridge->port() != 0, started);
        EXPECT_EQ(*ready.script, bridgeScript(ready.bridge->port(), ready.bridge->token()));
        EXPECT_TRUE(log.empty());
    }
    BridgeOptions broken;
    broken.random = [](void*, std::size_t) { return 5; };
    BridgeLaunch failed = launch(settings, true, broken);
    EXPECT_FALSE(failed.bridge || failed.script);
    EXPECT_EQ(log, std::vector<std::string>{"NerixBridge failed to start: SecRandomCopyBytes failed"});
}

// Resources lie in share/vantorel beside bin, wherever the bundle is (this program's: <build>/tests).
TEST(Bundle, ResourcesLieInShareBesideBin) {
    EXPECT_EQ(resourceFolderFor("/opt/vantorel/bin/vantorel"), "/opt/vantorel/share/vantorel");
    EXPECT_EQ(infoPlistPath(resourceFolderFor("/usr/bin/vantorel")), "/usr/share/vantorel/Info.plist");
    EXPECT_EQ(resourceFolder(), fs::path(VANTOREL_BINARY_DIR "/tests/share/vantorel").lexically_normal());
}

// The page only when index.html is a file of a known (absolute) folder, else the fallback text.
TEST_F(Scratch, PageChoiceIsIndexWhenItExistsElseTheFallbackText) {
    const fs::path base = root;
    fs::create_directories(base / "good/Web");
    std::ofstream(base / "good/Web/index.html") << "<p>page</p>";
    PageChoice page = choosePageIn(webFolder(base / "good"));
    EXPECT_TRUE(page.found);
    EXPECT_EQ(page.uri + page.html, "vantorel://app/");

    fs::create_directories(base / "wrong-name");
    std::ofstream(base / "wrong-name/index.htm") << "<p>page</p>";
    fs::create_directories(base / "a-folder/index.html");
    const auto workingFolder = fs::current_path();
    fs::current_path(base);
    for (auto folder : {base / "empty", base / "wrong-name", base / "a-folder", fs::path("good/Web"), fs::path("/")}) {
        PageChoice missing = choosePageIn(folder);
        EXPECT_FALSE(missing.found) << folder;
        EXPECT_EQ(missing.html + missing.uri, "<h1>Vantorel resources missing.</h1>") << folder;
    }
    fs::current_path(workingFolder);
}

// Only web and mail links the user follows; a page's own loads (frames, redirects, scripts) stay.
TEST(OpensInBrowser, OnlyWebAndMailLinksTheUserFollows) {
    for (const char* uri : {"http://example.invalid/", "https://example.invalid/a?b", "HTTPS://EXAMPLE.INVALID/",
                            "mailto:someone@example.invalid"})
        EXPECT_TRUE(opensInBrowser(uri, true) && !opensInBrowser(uri, false)) << uri;
    for (const char* uri : {"vantorel://app/other.html", "file:///opt/v/share/vantorel/Web/other.html", "about:blank",
                            "javascript:void(0)", "data:text/html,x", "no-scheme", "httpx://a"})
        EXPECT_FALSE(opensInBrowser(uri, true)) << uri;
}

std::string xmlPlist(const std::string& entries) {
    return "<?xml version=\"1.0\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries + "</dict>\n</plist>\n";
}

// Only string values count; any other type, and anything that is not a dictionary, reads as
// absent (no bridge).
TEST_F(Scratch, InfoPlistGivesTheStringValuesOfAnXmlOrBinaryPlistAndNothingElse) {
    auto info =
        InfoDictionary::parse(xmlPlist("<key>NerixNodePath</key><string>/usr/bin/node</string>\n"
                                       "<key>NerixRepoRoot</key><string>/srv/a &amp; b</string>\n"
                                       "<key>Empty</key><string></string>\n"
                                       "<key>Number</key><integer>18</integer>\n"
                                       "<key>List</key><array><string>x</string></array>\n"));
    EXPECT_EQ(info.text("NerixNodePath"), "/usr/bin/node");
    EXPECT_EQ(info.text("NerixRepoRoot"), "/srv/a & b");
    EXPECT_EQ(info.text("Empty"), "");
    for (const char* absent : {"nerixnodepath", "Number", "List"}) EXPECT_EQ(info.text(absent), std::nullopt) << absent;

    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "NerixNodePath", plist_new_string("/opt/node/bin/node"));
    plist_dict_set_item(dict, "NerixRepoRoot", plist_new_uint(7));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    plist_free(dict);
    auto binary = InfoDictionary::parse(std::string(bytes, length));
    std::free(bytes);
    EXPECT_EQ(binary.text("NerixNodePath"), "/opt/node/bin/node");
    EXPECT_EQ(binary.text("NerixRepoRoot"), std::nullopt);

    for (const std::string& bad : {std::string(), std::string("not a plist"), std::string("<plist><dict><key>A"),
                                   std::string("<plist version=\"1.0\"><array><string>x</string></array></plist>")})
        EXPECT_EQ(InfoDictionary::parse(bad).text("NerixNodePath"), std::nullopt) << bad;
    EXPECT_EQ(InfoDictionary::load(root + "/none/Info.plist").text("NerixNodePath"), std::nullopt);
    std::ofstream(root + "/Info.plist") << xmlPlist("<key>NerixNodePath</key><string>node</string>\n");
    EXPECT_EQ(InfoDictionary::load(root + "/Info.plist").text("NerixNodePath"), "node");
}

// Reload until three ends of the content process fall within a minute, then the plain page once
// and nothing after.
TEST(PageRecovery, ReloadsUntilThreeEndsWithinAMinuteThenGivesUpForGood) {
    using enum PageRecovery::Action;
    const struct {
        std::vector<int> at;  // seconds since the first end
        std::vector<PageRecovery::Action> expected;
    } cases[] = {
        {{0, 1, 2, 3}, {Reload, Reload, ShowGaveUpPage, Nothing}},
        // Ends a minute apart or more are forgotten.
        {{0, 30, 60, 90, 120, 121}, {Reload, Reload, Reload, Reload, Reload, ShowGaveUpPage}},
        {{0, 59, 200, 201, 202}, {Reload, Reload, Reload, Reload, ShowGaveUpPage}},
    };
    for (const auto& c : cases) {
        PageRecovery recovery;
        const auto start = PageRecovery::Clock::now();
        std::vector<PageRecovery::Action> actions;
        for (int at : c.at) actions.push_back(recovery.pageEnded(start + std::chrono::seconds(at)));
        EXPECT_EQ(actions, c.expected) << "case with " << c.at.size() << " ends";
    }
}

}  // namespace
}  // namespace nerix
