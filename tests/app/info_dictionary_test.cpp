// Reading the two configuration values from an Info.plist, XML or binary.
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>
#include <plist/plist.h>

#include "app/info_dictionary.h"

namespace nerix {
namespace {

std::string xmlPlist(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + entries +
           "</dict>\n</plist>\n";
}

// Only string values count; any other type reads as absent (and so gives no bridge).
TEST(InfoDictionary, ReadsTheStringValuesOfAnXmlOrBinaryPlist) {
    auto info = InfoDictionary::parse(xmlPlist("<key>NerixNodePath</key><string>/usr/bin/node</string>\n"
                                               "<key>NerixRepoRoot</key><string>/srv/a &amp; b</string>\n"
                                               "<key>Empty</key><string></string>\n"
                                               "<key>Number</key><integer>18</integer>\n"
                                               "<key>List</key><array><string>x</string></array>\n"));
    EXPECT_EQ(info.text("NerixNodePath"), "/usr/bin/node");
    EXPECT_EQ(info.text("NerixRepoRoot"), "/srv/a & b");
    EXPECT_EQ(info.text("nerixnodepath"), std::nullopt);  // keys are matched exactly
    EXPECT_EQ(info.text("Empty"), "");
    EXPECT_EQ(info.text("Number"), std::nullopt);
    EXPECT_EQ(info.text("List"), std::nullopt);

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
}

TEST(InfoDictionary, LoadsAFileAndReadsAnythingElseAsAnEmptyDictionary) {
    for (const std::string& bytes : {std::string(), std::string("not a plist"), std::string("<plist><dict><key>A"),
                                     std::string("<plist version=\"1.0\"><array><string>x</string></array></plist>")}) {
        EXPECT_EQ(InfoDictionary::parse(bytes).text("NerixNodePath"), std::nullopt) << bytes;
    }
    EXPECT_EQ(InfoDictionary::load("/nonexistent/Info.plist").text("NerixNodePath"), std::nullopt);

    std::string name = (std::filesystem::temp_directory_path() / "vantorel-info-XXXXXX").string();
    ::close(::mkstemp(name.data()));
    std::ofstream(name) << xmlPlist("<key>NerixNodePath</key><string>node</string>\n");
    EXPECT_EQ(InfoDictionary::load(name).text("NerixNodePath"), "node");
    std::filesystem::remove(name);
}

}  // namespace
}  // namespace nerix
