// The page's channel without a window: which messages are taken (and as what), which refused,
// the files kept for a page still loading, and a launch's file arguments made absolute.
#include <gtest/gtest.h>

#include "app/page_files.h"
#include "app/page_message.h"

namespace nerix {
namespace {

const std::string kKey = "k3y";
std::string message(const std::string& call, const std::string& args) {
    return R"({"key":"k3y","call":")" + call + R"(","args":)" + args + "}";
}

TEST(PageMessage, TakesEachDocumentedCallWithItsArguments) {
    DialogRequest open{DialogRequest::Kind::OpenFiles,
                       "Pick",
                       "/home/u/Music",
                       "",
                       true,
                       {{"WAV", {"*.wav"}, {"audio/x-wav"}}, {"", {}, {"audio/midi"}}}};
    DialogRequest save{DialogRequest::Kind::SaveFile, "", std::nullopt, "master.wav", false, {}};
    DialogRequest folder{DialogRequest::Kind::ChooseFolder, "Out", "/tmp", "", false, {}};
    const std::vector<std::pair<std::string, PageMessage>> rows = {
        {message("openFiles",
                 R"({"title":"Pick","folder":"/home/u/Music","multiple":true,"filters":[)"
                 R"({"name":"WAV","patterns":["*.wav"],"mimeTypes":["audio/x-wav"]},{"mimeTypes":["audio/midi"]}]})"),
         open},
        {message("saveFile", R"({"name":"master.wav","folder":null})"), save},
        // A folder dialog has no filters: any given are not its business.
        {message("chooseFolder", R"({"title":"Out","folder":"/tmp","filters":7})"), folder},
        {message("showInFiles", R"({"path":"/a/b.wav"})"), FileRequest{FileRequest::Kind::ShowInFiles, "/a/b.wav"}},
        {message("openFile", R"({"path":"/a/b.wav"})"), FileRequest{FileRequest::Kind::OpenFile, "/a/b.wav"}},
        {R"({"key":"k3y","call":"listen"})", ListenRequest{}},
        {message("dropped", "{}"), DropRequest{}},
    };
    for (const auto& [text, expected] : rows) {
        Result<PageMessage> read = readPageMessage(text, kKey);
        ASSERT_TRUE(read) << text << ": " << read.error().message;
        EXPECT_EQ(*read, expected) << text;
    }
}

// Each row: the message, then the start of the reason it is refused.
TEST(PageMessage, RefusesAnythingElseAndSaysWhy) {
    const std::vector<std::pair<std::string, std::string>> rows = {
        {"not json", "the message is not an object"},
        {"[1]", "the message is not an object"},
        {R"({"call":"listen"})", "the message does not carry the channel's key"},
        {R"({"key":"other","call":"listen"})", "the message does not carry the channel's key"},
        {R"({"key":"k3y"})", "the message names no call"},
        {message("readFile", R"({"path":"/etc/passwd"})"), "no such call: readFile"},
        {message("openFiles", "[]"), "openFiles: the arguments are not an object"},
        {message("openFiles", R"({"title":3})"), "openFiles: title is not a string"},
        {message("openFiles", R"({"folder":"Music"})"), "openFiles: folder is not an absolute path"},
        {message("openFiles", R"({"multiple":"yes"})"), "openFiles: multiple is not true or false"},
        {message("openFiles", R"({"filters":{"name":"x"}})"), "openFiles: filters is not a list"},
        {message("openFiles", R"({"filters":[{"name":"x"}]})"), "openFiles: a filter has neither"},
        {message("openFiles", R"({"filters":[{"patterns":[1]}]})"), "openFiles: filter patterns holds"},
        {message("saveFile", R"({"name":"../x.wav"})"), "saveFile: name holds a \"/\""},
        {message("showInFiles", "{}"), "showInFiles: no path"},
        {message("openFile", R"({"path":"b.wav"})"), "openFile: path is not an absolute path"},
        {message("openFile", R"({"path":"/a\u0000b"})"), "openFile: path holds a NUL"},
    };
    for (const auto& [text, reason] : rows) {
        Result<PageMessage> read = readPageMessage(text, kKey);
        ASSERT_FALSE(read) << text;
        EXPECT_EQ(read.error().message.rfind(reason, 0), 0u) << text << ": " << read.error().message;
    }
}

TEST(PageMessage, OnlyTheOwnPagesPrefixCounts) {
    EXPECT_TRUE(fromOwnPage("vantorel://app/index.html", "vantorel://app/"));
    for (const char* other : {"vantorel://app.evil/x", "https://vantorel://app/", "file:///x", "", "vantorel://ap"})
        EXPECT_FALSE(fromOwnPage(other, "vantorel://app/")) << other;
    EXPECT_FALSE(fromOwnPage("vantorel://app/", ""));
}

TEST(PageMessage, ScriptsQuoteWhatTheyCarry) {
    EXPECT_EQ(pathsJson({"/a \"b\"", "/c\\d"}), R"(["/a \"b\"","/c\\d"])");
    EXPECT_EQ(pageEventScript("open", {"/x');alert(1);//"}),
              R"(window.vantorel && window.vantorel._receive("open", ["/x');alert(1);//"]);)");
    const std::string script = channelScript("vantorel", "a\"b");
    EXPECT_NE(script.find(R"(handlers["vantorel"])"), std::string::npos);
    EXPECT_NE(script.find(R"(const key = "a\"b";)"), std::string::npos);
}

TEST(OpenedFiles, KeptUntilThePageListensThenHandedOverAtOnce) {
    OpenedFiles files;
    EXPECT_TRUE(files.arrive({"/a"}).empty());
    EXPECT_TRUE(files.arrive({"/b", "/c"}).empty());
    EXPECT_EQ(files.pageListens(), (std::vector<std::string>{"/a", "/b", "/c"}));
    EXPECT_EQ(files.arrive({"/d"}), std::vector<std::string>{"/d"});
    EXPECT_TRUE(files.pageListens().empty());  // nothing handed over twice
    files.pageGone();                          // a reload: kept again until its page listens
    EXPECT_TRUE(files.arrive({"/e"}).empty());
    EXPECT_EQ(files.pageListens(), std::vector<std::string>{"/e"});
}

TEST(GrantedFiles, HoldsPathsInTheirPlainSpelling) {
    GrantedFiles granted;
    granted.add(std::vector<std::string>{"/m/./a.wav", "/m/x/../b.wav"});
    EXPECT_TRUE(granted.contains("/m/a.wav"));
    EXPECT_TRUE(granted.contains("/m//b.wav"));
    EXPECT_FALSE(granted.contains("/m/c.wav"));
    EXPECT_EQ(granted.paths().size(), 2u);
}

TEST(AbsolutePaths, RelativeFromTheLaunchFolderUrisAsPaths) {
    EXPECT_EQ(absolutePaths({"a.wav", "../b/c.mid", "/abs/./d.json", "", "file:///e%20f.wav", "file:///bad%zz",
                             "file://host/g.wav"},
                            "/home/u/work"),
              (std::vector<std::string>{"/home/u/work/a.wav", "/home/u/b/c.mid", "/abs/d.json", "/e f.wav"}));
}

}  // namespace
}  // namespace nerix
