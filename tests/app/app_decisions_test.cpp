// What the application decides, without a display: where its resources are, what its Info.plist
// says, the bridge and the script that hands it to the page, which page to show, which links
// leave the window, and what to do when the page's content process ends; and its settings: the
// layers joined, the user's file read (broken files left as they are, kept aside on Save), and the
// checks that name what is wrong.
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
#include "app/settings.h"
#include "app/settings_check.h"
#include "app/tool_chain.h"
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
    test::writeFile(base / "good/Web/index.html", "<p>page</p>");
    PageChoice page = choosePageIn(webFolder(base / "good"));
    EXPECT_TRUE(page.found);
    EXPECT_EQ(page.uri + page.html, "vantorel://app/");

    test::writeFile(base / "wrong-name/index.htm", "<p>page</p>");
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

using Values = SettingValues;

std::string describe(const Setting& s) { return s.value + "@" + std::to_string(static_cast<int>(s.layer)); }

// Later layers win key by key; an empty value is no value.
TEST(SettingLayers, LaterLayersWinKeyByKey) {
    const Values bundle{"/usr/bin/node", "/usr/share/demo", std::nullopt};
    const struct {
        Values file, options;
        std::string node, repo, web;
    } rows[] = {
        {{}, {}, "/usr/bin/node@1", "/usr/share/demo@1", "@0"},
        {{std::nullopt, "/home/u/chain", std::nullopt}, {}, "/usr/bin/node@1", "/home/u/chain@2", "@0"},
        {{"/opt/node", "/home/u/chain", "/home/u/web"},
         {std::nullopt, "/dev/chain", std::nullopt},
         "/opt/node@2",
         "/dev/chain@3",
         "/home/u/web@2"},
        {{"", "", ""}, {"", std::nullopt, "/w"}, "/usr/bin/node@1", "/usr/share/demo@1", "/w@3"},
    };
    for (const auto& row : rows) {
        const Settings s = layerSettings(bundle, row.file, row.options);
        EXPECT_EQ(describe(s.node) + " " + describe(s.repoRoot) + " " + describe(s.web),
                  row.node + " " + row.repo + " " + row.web);
    }
}

TEST(SettingPaths, HomeAndRelativePathsResolveAndABareNameStays) {
    EXPECT_EQ(settingsFilePath("", "/home/u"), "/home/u/.config/vantorel/settings.ini");
    EXPECT_EQ(settingsFilePath("relative", "/home/u"), "/home/u/.config/vantorel/settings.ini");
    EXPECT_EQ(settingsFilePath("/x/cfg", "/home/u"), "/x/cfg/vantorel/settings.ini");
    const struct {
        std::string value;
        bool bare;
        std::string resolved;
    } rows[] = {{"~/chain", false, "/home/u/chain"}, {"~", false, "/home/u"}, {"chain/../w", false, "/cwd/w"},
                {"/a//b/", false, "/a/b/"},          {"node", true, "node"},  {"node", false, "/cwd/node"},
                {"./node", true, "/cwd/node"},       {"", false, ""}};
    for (const auto& row : rows) EXPECT_EQ(resolvePath(row.value, "/cwd", "/home/u", row.bare), row.resolved);
    // Typed options: a bare Node.js name is looked up later; folders are taken where typed.
    const SettingValues typed = resolveOptions({"node", "chain", "~/web"}, "/cwd", "/home/u");
    EXPECT_EQ(typed.node, "node");
    EXPECT_EQ(typed.repoRoot, "/cwd/chain");
    EXPECT_EQ(typed.web, "/home/u/web");
}

// A file that cannot be read or parsed sets nothing, says where, and is never written over: Save
// keeps it aside first and keeps the comments and other keys of a good one.
TEST_F(Scratch, TheSettingsFileIsReadAndABrokenOneIsKeptAside) {
    const fs::path file = root + "/cfg/vantorel/settings.ini";
    auto write = [&](const std::string& text) { test::writeFile(file, text); };
    EXPECT_FALSE(readSettingsFile(file, "/cwd", "/h").error);  // missing: no error, no values
    write("# mine\n[toolchain]\nnode=~/n/node\nrepo-root=chain\n[web]\nfolder=\n[other]\nkept=1\n");
    SettingsFile good = readSettingsFile(file, "/cwd", "/h");
    EXPECT_FALSE(good.error);
    EXPECT_EQ(
        good.values.node.value_or("-") + " " + good.values.repoRoot.value_or("-") + " " + good.values.web.value_or("-"),
        "/h/n/node /cwd/chain ");
    ASSERT_TRUE(saveSettingsFile(good, Values{"node", std::nullopt, "/w"}, 0));
    EXPECT_EQ(test::contentOf(file), "# mine\n\n[toolchain]\nnode=node\n\n[web]\nfolder=/w\n\n[other]\nkept=1\n");

    const std::string broken = "[toolchain]\nnode=/n\nthis is not a key\n";
    write(broken);
    SettingsFile bad = readSettingsFile(file, "/cwd", "/h");
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(bad.error->rfind(file.string() + ": line 3: ", 0), 0u) << *bad.error;
    EXPECT_FALSE(bad.values.any());
    EXPECT_EQ(test::contentOf(file), broken);
    ASSERT_TRUE(saveSettingsFile(bad, Values{std::nullopt, "/r", std::nullopt}, 86400));
    const std::time_t saved = 86400;
    std::tm local{};
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", localtime_r(&saved, &local));
    EXPECT_EQ(test::contentOf(file.string() + ".bad-" + stamp), broken);
    EXPECT_EQ(test::contentOf(file), "[toolchain]\nrepo-root=/r\n");

    fs::permissions(file, fs::perms::none);
    EXPECT_TRUE(::access(file.c_str(), R_OK) == 0 || readSettingsFile(file, "/cwd", "/h").error);  // root reads it
}

// Each check, and the line it logs: the setting, its value, its layer, what is wrong.
TEST_F(Scratch, TheChecksNameTheSettingItsValueItsLayerAndWhatIsWrong) {
    const std::string chain = root + "/chain", web = root + "/web", node = root + "/node", text = root + "/text";
    test::writeFile(chain + "/packages/cli/dist/index.js", "");
    test::writeFile(web + "/index.html", "");
    std::ofstream(node) << "#!/bin/sh\n";
    fs::permissions(node, fs::perms::owner_all);
    std::ofstream(text) << "";
    fs::create_directories(root + "/odd/index.html");  // a folder by that name is no page
    const struct {
        std::optional<SettingProblem> problem;
        std::string sentence;
    } rows[] = {
        {checkNode(node), ""},
        {checkNode("/opt/nowhere/node"), "Node.js was not found at /opt/nowhere/node"},
        {checkNode(text), "Node.js at " + text + " is not an executable file"},
        {checkNode(chain), "Node.js at " + chain + " is not an executable file"},
        {checkNode("node"), "Node.js (node) was not found in PATH or the usual places"},
        {checkRepoRoot(chain), ""},
        {checkRepoRoot(""), "No tool chain folder is set"},
        {checkRepoRoot(root + "/none"), "The tool chain folder " + root + "/none was not found"},
        {checkRepoRoot(text), "The tool chain folder " + text + " is not a folder"},
        {checkRepoRoot(web), "The tool chain folder " + web + " holds no packages/cli/dist/index.js"},
        {checkWebFolder(web), ""},
        {checkWebFolder(chain), "The web interface folder " + chain + " holds no index.html"},
        {checkWebFolder("/"), "The web interface folder cannot be the root folder"},
        {checkWebFolder(root + "/odd"), "The web interface folder " + root + "/odd holds no index.html"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.problem ? row.problem->sentence : "", row.sentence);

    Settings settings = layerSettings({"/opt/nowhere/node", chain, std::nullopt}, {std::nullopt, web, std::nullopt}, {},
                                      "/cfg/settings.ini");
    const SettingsReport report = checkSettings(settings, "/opt/nowhere/node", root + "/bundle/Web");
    EXPECT_EQ(
        report.logLines,
        (std::vector<std::string>{
            "Setting node = \"/opt/nowhere/node\" (from Info.plist): not found",
            "Setting repo-root = \"" + web + "\" (from /cfg/settings.ini): holds no packages/cli/dist/index.js",
            "Setting web folder = \"" + root + "/bundle/Web\" (from the bundle's default): holds no index.html"}));
    EXPECT_EQ(report.sentences.size(), 3u);
}

// The web folder in use replaces the bundle's; a bare name found nowhere leaves the login shell to
// ask, and is in use until it answers.
TEST(ToolChainResolved, TheWebFolderAndNodeInUse) {
    const platform::NodePlaces nowhere{"/nonexistent", "/nonexistent-home", "", "", "", ""};
    Settings settings = layerSettings({"nodejs-nowhere", "/r", std::nullopt}, {}, {});
    ToolChain chain = resolveToolChain(settings, "/b/Web", nowhere);
    auto inUse = [&] {
        const SettingValues values = chain.inUse();
        return values.node.value_or("-") + " " + values.repoRoot.value_or("-") + " " + values.web.value_or("-");
    };
    EXPECT_TRUE(chain.askLoginShell);
    EXPECT_EQ(inUse(), "nodejs-nowhere /r /b/Web");
    takeLoginShellAnswer(chain, {"/found/node", "why"});
    EXPECT_EQ(inUse() + " " + chain.nodeWhy, "/found/node /r /b/Web Node.js: why");

    settings = layerSettings({"/abs/node", std::nullopt, std::nullopt}, {std::nullopt, std::nullopt, "/mine"}, {});
    chain = resolveToolChain(settings, "/b/Web", nowhere);
    EXPECT_FALSE(chain.askLoginShell);
    EXPECT_EQ(inUse(), "/abs/node  /mine");
}

}  // namespace
}  // namespace nerix
