// The page without a display. Its origin: which file a request path names (and every way out of
// the folder refused without reading), the answer's status and fields, the application's own
// pages, and the missing files logged once. Its channel: which messages are taken (and as what),
// which refused, the files kept for a page still loading, and a launch's file arguments made
// absolute.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "app/page_files.h"
#include "app/page_message.h"
#include "app/page_server.h"
#include "common/scratch.h"
#include "http/page_path.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;

class PageFolder : public test::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        web = fs::path(root) / "web";
        write(web / "index.html", "<p>page</p>");
        write(web / "assets/app.js", "export {};");
        write(web / "a b.txt", "spaced");
        write(web / "tone.wav", std::string(1000, 'w'));
        write(fs::path(root) / "secret.txt", "secret");
        fs::create_directories(fs::path(root) / "outside");
        write(fs::path(root) / "outside/secret.txt", "secret");
        fs::create_symlink("../secret.txt", web / "out-link.txt");
        fs::create_symlink(fs::path(root) / "outside", web / "out-folder");
        fs::create_symlink("assets/app.js", web / "in-link.js");
        fs::create_symlink("/dev/null", web / "device.wav");
        ASSERT_EQ(::mkfifo((web / "pipe.wav").c_str(), 0600), 0);
        server.setFolder(web);
    }
    static void write(const fs::path& file, const std::string& text) { test::writeFile(file, text); }
    fs::path web;
    PageServer server;  // serving `web` from each test's start
};

TEST_F(PageFolder, ARequestPathNamesAFileInsideTheFolderOrIsRefused) {
    using Kind = PagePath::Kind;
    const struct {
        const char* path;
        Kind kind;
        const char* file;  // below the folder, for a file
    } cases[] = {
        {"/", Kind::File, "index.html"},
        {"/assets/app.js", Kind::File, "assets/app.js"},
        {"/assets/app%2Ejs", Kind::File, "assets/app.js"},
        {"/a%20b.txt", Kind::File, "a b.txt"},
        {"/in-link.js", Kind::File, "assets/app.js"},
        // Client-side routes: no such file and no extension.
        {"/mixes/3", Kind::File, "index.html"},
        {"/settings/", Kind::File, "index.html"},
        {"/assets/missing.js", Kind::Missing, ""},
        {"/assets/missing.", Kind::File, "index.html"},  // a dot at the end is no extension
        {"/a.js", Kind::Missing, ""},
        {"/.settings", Kind::File, "index.html"},  // nor is a dot at the start
        // Ways out, in every spelling.
        {"/../secret.txt", Kind::Refused, ""},
        {"/%2e%2e/secret.txt", Kind::Refused, ""},
        {"/assets/%2E%2e/%2e%2E/secret.txt", Kind::Refused, ""},
        {"/assets/./app.js", Kind::Refused, ""},
        {"//etc/passwd", Kind::Refused, ""},
        {"/assets//app.js", Kind::Refused, ""},
        {"/..%5csecret.txt", Kind::Refused, ""},
        {"/..%5Csecret.txt", Kind::Refused, ""},
        {"/assets\\..\\..\\secret.txt", Kind::Refused, ""},
        {"/index.html%00.js", Kind::Refused, ""},
        {"/%00", Kind::Refused, ""},
        {"/%2fetc/passwd", Kind::Refused, ""},
        {"/out-link.txt", Kind::Refused, ""},
        {"/out-folder/secret.txt", Kind::Refused, ""},
        // Not regular files: nothing is opened.
        {"/assets", Kind::Refused, ""},
        {"/device.wav", Kind::Refused, ""},
        {"/pipe.wav", Kind::Refused, ""},
        {"/%zz", Kind::Malformed, ""},
        {"/abc%4", Kind::Malformed, ""},
        {"no-slash", Kind::Malformed, ""},
    };
    for (const auto& c : cases) {
        const PagePath found = resolvePagePath(web, c.path);
        EXPECT_EQ(found.kind, c.kind) << c.path;
        const fs::path expected = c.kind == Kind::File ? fs::canonical(web / c.file) : fs::path();
        EXPECT_EQ(found.file, expected) << c.path;
    }
    EXPECT_EQ(resolvePagePath(web, "/assets/missing.js").name, "assets/missing.js");
    // An escape cut by the path's end is malformed, whatever bytes follow the path.
    EXPECT_EQ(resolvePagePath(web, std::string_view("/abc%4f").substr(0, 6)).kind, Kind::Malformed);
    // A folder with no index.html: its routes are missing too.
    EXPECT_EQ(resolvePagePath(fs::path(root) / "outside", "/").kind, Kind::Missing);
}

std::string field(const PageAnswer& answer, const std::string& name) {
    for (const auto& [key, value] : answer.headers)
        if (key == name) return value;
    return "(none)";
}

TEST_F(PageFolder, AnswersAsAWebServerWithRangesAndTheApplicationsOwnPages) {
    PageAnswer page = server.answer("GET", "/", std::nullopt, std::nullopt);
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(field(page, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(field(page, "Content-Length"), "11");
    EXPECT_EQ(page.file, fs::canonical(web / "index.html"));
    EXPECT_EQ(page.offset + page.length, 11u);

    PageAnswer part = server.answer("GET", "/tone.wav", "bytes=100-", std::nullopt);
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(field(part, "Content-Range"), "bytes 100-999/1000");
    EXPECT_EQ(field(part, "Content-Length"), "900");
    EXPECT_EQ(field(part, "Accept-Ranges"), "bytes");
    EXPECT_EQ(part.offset * 10000 + part.length, 100u * 10000 + 900u);
    PageAnswer past = server.answer("GET", "/tone.wav", "bytes=1000-", std::nullopt);
    EXPECT_EQ(past.status, 416);
    EXPECT_EQ(field(past, "Content-Range"), "bytes */1000");
    EXPECT_TRUE(past.file.empty());

    PageAnswer head = server.answer("HEAD", "/tone.wav", std::nullopt, std::nullopt);
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(field(head, "Content-Length"), "1000");
    EXPECT_TRUE(head.file.empty() && head.text.empty());
    EXPECT_EQ(server.answer("POST", "/", std::nullopt, std::nullopt).status, 405);
    for (const char* path : {"/../secret.txt", "/out-link.txt", "/device.wav"}) {
        PageAnswer refused = server.answer("GET", path, std::nullopt, std::nullopt);
        EXPECT_EQ(refused.status, 403) << path;
        EXPECT_TRUE(refused.file.empty() && !refused.logLine) << path;
    }

    // The application's own paths are never the folder's.
    write(web / "__vantorel/other.html", "the folder's");
    EXPECT_EQ(server.answer("GET", "/__vantorel/other.html", std::nullopt, std::nullopt).status, 404);
}

// Each missing file is logged once with who asked for it; the bar's file is the first missing
// script or stylesheet; another folder starts afresh.
TEST_F(PageFolder, AMissingFileIsNamedOnceAndTheFirstMissingScriptIsKept) {
    EXPECT_FALSE(server.answer("GET", "/assets/app.js", std::nullopt, "vantorel://app/").logLine);
    PageAnswer image = server.answer("GET", "/assets/logo.png", std::nullopt, "vantorel://app/assets/site.css?v=1");
    EXPECT_EQ(image.status, 404);
    EXPECT_EQ(image.logLine.value_or(""),
              "web interface " + web.string() + ": no file assets/logo.png, asked for by assets/site.css");
    EXPECT_EQ(server.firstMissingScript(), "");
    const struct {
        const char* path;
        std::optional<std::string_view> referer;
        const char* line;
    } cases[] = {
        {"/assets/index-x.js", "vantorel://app/", "no file assets/index-x.js, asked for by index.html"},
        {"/assets/index-x.js", "vantorel://app/", nullptr},
        {"/assets/index-y.css", "vantorel://app/mixes/3", "no file assets/index-y.css, asked for by index.html"},
        {"/b%20c.json", std::nullopt, "no file b c.json, asked for by index.html"},
    };
    for (const auto& c : cases) {
        PageAnswer missing = server.answer("GET", c.path, std::nullopt, c.referer);
        EXPECT_EQ(missing.status, 404) << c.path;
        EXPECT_EQ(missing.logLine.value_or(""), c.line ? "web interface " + web.string() + ": " + c.line : "");
    }
    EXPECT_EQ(server.firstMissingScript(), "assets/index-x.js");
    server.setFolder(fs::path(root) / "outside");
    EXPECT_EQ(server.firstMissingScript(), "");
    EXPECT_TRUE(server.answer("GET", "/assets/index-x.js", std::nullopt, std::nullopt).logLine);
}

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
