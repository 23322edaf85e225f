// The settings without a display: the layers joined, the user's file read (broken files left as
// they are, kept aside on Save), and the checks that name what is wrong.
#include <fstream>

#include <gtest/gtest.h>

#include "app/settings.h"
#include "app/settings_check.h"
#include "app/tool_chain.h"
#include "common/scratch.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using Scratch = test::ScratchTest;
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
    if (::access(file.c_str(), R_OK) != 0) {
        EXPECT_TRUE(readSettingsFile(file, "/cwd", "/h").error);
    }
}

// Each check, and the line it logs: the setting, its value, its layer, what is wrong.
TEST_F(Scratch, TheChecksNameTheSettingItsValueItsLayerAndWhatIsWrong) {
    const std::string chain = root + "/chain", web = root + "/web", node = root + "/node", text = root + "/text";
    fs::create_directories(chain + "/packages/cli/dist");
    std::ofstream(chain + "/packages/cli/dist/index.js") << "";
    fs::create_directories(web);
    std::ofstream(web + "/index.html") << "";
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
