// Reading the two configuration values from an Info.plist, XML or binary.
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "app/info_dictionary.h"
#include "app/launch_plan.h"

namespace nerix {
namespace {

std::string xmlPlist(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
           "</dict>\n</plist>\n";
}

std::optional<BridgeSettings> settingsFrom(const InfoDictionary& info) {
    return bridgeSettings(info.text("NerixNodePath"), info.text("NerixRepoRoot"));
}

TEST(InfoDictionary, ReadsStringValuesOfAnXmlPlist) {
    auto info = InfoDictionary::parse(xmlPlist("<key>NerixNodePath</key><string>/usr/bin/node</string>\n"
                                               "<key>NerixRepoRoot</key><string>/srv/a &amp; b</string>\n"));
    EXPECT_EQ(info.text("NerixNodePath"), "/usr/bin/node");
    EXPECT_EQ(info.text("NerixRepoRoot"), "/srv/a & b");
    EXPECT_EQ(info.text("nerixnodepath"), std::nullopt);  // keys are matched exactly
    ASSERT_TRUE(settingsFrom(info));
}

TEST(InfoDictionary, ValuesThatAreNotTextReadAsAbsent) {
    auto info = InfoDictionary::parse(xmlPlist("<key>NerixNodePath</key><integer>18</integer>\n"
                                               "<key>NerixRepoRoot</key><string>/repo</string>\n"
                                               "<key>Flag</key><true/>\n"
                                               "<key>List</key><array><string>x</string></array>\n"));
    EXPECT_EQ(info.text("NerixNodePath"), std::nullopt);
    EXPECT_EQ(info.text("Flag"), std::nullopt);
    EXPECT_EQ(info.text("List"), std::nullopt);
    EXPECT_FALSE(settingsFrom(info));
}

TEST(InfoDictionary, AnEmptyStringIsTextButGivesNoBridge) {
    auto info = InfoDictionary::parse(xmlPlist("<key>NerixNodePath</key><string>/usr/bin/node</string>\n"
                                               "<key>NerixRepoRoot</key><string></string>\n"));
    EXPECT_EQ(info.text("NerixRepoRoot"), "");
    EXPECT_FALSE(settingsFrom(info));
}

TEST(InfoDictionary, ReadsABinaryPlist) {
    plist_t dict = plist_new_dict();
    plist_dict_set_item(dict, "NerixNodePath", plist_new_string("/opt/node/bin/node"));
    plist_dict_set_item(dict, "NerixRepoRoot", plist_new_uint(7));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    plist_free(dict);
    ASSERT_NE(bytes, nullptr);
    auto info = InfoDictionary::parse(std::string(bytes, length));
    std::free(bytes);
    EXPECT_EQ(info.text("NerixNodePath"), "/opt/node/bin/node");
    EXPECT_EQ(info.text("NerixRepoRoot"), std::nullopt);
}

TEST(InfoDictionary, AnythingElseIsAnEmptyDictionary) {
    for (const std::string& bytes : {std::string(), std::string("not a plist"), std::string("<plist><dict><key>A"),
                                     std::string("<plist version=\"1.0\"><array><string>x</string></array></plist>")}) {
        auto info = InfoDictionary::parse(bytes);
        EXPECT_EQ(info.text("NerixNodePath"), std::nullopt) << bytes;
    }
    EXPECT_EQ(InfoDictionary::load("/nonexistent/Info.plist").text("NerixNodePath"), std::nullopt);
}

TEST(InfoDictionary, LoadsAFile) {
    std::string name = (std::filesystem::temp_directory_path() / "vantorel-info-XXXXXX").string();
    int fd = ::mkstemp(name.data());
    ASSERT_GE(fd, 0);
    ::close(fd);
    std::ofstream(name) << xmlPlist("<key>NerixNodePath</key><string>node</string>\n");
    EXPECT_EQ(InfoDictionary::load(name).text("NerixNodePath"), "node");
    std::filesystem::remove(name);
}

}  // namespace
}  // namespace nerix
