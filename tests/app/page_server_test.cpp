// The page's origin without a display: which file a request path names (and every way out of the
// folder refused without reading), the answer's status and fields, byte ranges, content types,
// the application's own pages, and the missing files logged once.
#include <sys/stat.h>

#include <fstream>

#include <gtest/gtest.h>

#include "app/page_server.h"
#include "http/byte_range.h"
#include "http/content_types.h"
#include "http/page_path.h"
#include "jobs/job_endpoint_fixture.h"

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
    }
    static void write(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
    }
    fs::path web;
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
        {"/assets/missing", Kind::File, "index.html"},
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
    // A folder with no index.html: its routes are missing too.
    EXPECT_EQ(resolvePagePath(fs::path(root) / "outside", "/").kind, Kind::Missing);
}

TEST(ByteRanges, AsAServerReadsThem) {
    using Kind = RangeAsked::Kind;
    const struct {
        std::optional<std::string_view> header;
        std::uint64_t size;
        Kind kind;
        std::uint64_t offset, length;
    } cases[] = {
        {std::nullopt, 100, Kind::Whole, 0, 0},
        {"bytes=0-9", 100, Kind::Part, 0, 10},
        {"bytes=10-", 100, Kind::Part, 10, 90},
        {"bytes=90-200", 100, Kind::Part, 90, 10},
        {"bytes=-30", 100, Kind::Part, 70, 30},
        {"bytes=-300", 100, Kind::Part, 0, 100},
        {"bytes=99-99", 100, Kind::Part, 99, 1},
        {" bytes=5-6 ", 100, Kind::Part, 5, 2},
        {"bytes=100-", 100, Kind::Unsatisfiable, 0, 0},
        {"bytes=150-160", 100, Kind::Unsatisfiable, 0, 0},
        {"bytes=-0", 100, Kind::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, Kind::Unsatisfiable, 0, 0},
        // Not understood, or several ranges: the whole file.
        {"bytes=9-1", 100, Kind::Whole, 0, 0},
        {"bytes=0-1,5-6", 100, Kind::Whole, 0, 0},
        {"items=0-1", 100, Kind::Whole, 0, 0},
        {"bytes=a-b", 100, Kind::Whole, 0, 0},
        {"bytes=-", 100, Kind::Whole, 0, 0},
        {"bytes=+1-2", 100, Kind::Whole, 0, 0},
        {"bytes=99999999999999999999-", 100, Kind::Whole, 0, 0},
    };
    for (const auto& c : cases) {
        const RangeAsked asked = parseRange(c.header, c.size);
        const std::string what = std::string(c.header.value_or("(none)")) + " of " + std::to_string(c.size);
        EXPECT_EQ(asked.kind, c.kind) << what;
        EXPECT_EQ(asked.range.offset * 1000 + asked.range.length, c.offset * 1000 + c.length) << what;
    }
}

TEST(ContentTypes, ByExtensionCaseIgnored) {
    for (const auto& [name, type] : std::initializer_list<std::pair<const char*, const char*>>{
             {"index.html", "text/html; charset=utf-8"},
             {"assets/index-x.js", "text/javascript; charset=utf-8"},
             {"worker.MJS", "text/javascript; charset=utf-8"},
             {"a.css", "text/css; charset=utf-8"},
             {"data.json", "application/json"},
             {"dsp.wasm", "application/wasm"},
             {"logo.svg", "image/svg+xml"},
             {"photo.JPG", "image/jpeg"},
             {"font.woff2", "font/woff2"},
             {"tone.wav", "audio/wav"},
             {"song.mp3", "audio/mpeg"},
             {"piece.mid", "audio/midi"},
             {"x.flac", "audio/flac"},
             {"notes.txt", "text/plain; charset=utf-8"},
             {"archive.tar.gz", "application/octet-stream"},
             {".htaccess", "application/octet-stream"},
             {"js/README", "application/octet-stream"},
         })
        EXPECT_EQ(contentTypeFor(name), type) << name;
}

std::string field(const PageAnswer& answer, const std::string& name) {
    for (const auto& [key, value] : answer.headers)
        if (key == name) return value;
    return "(none)";
}

TEST_F(PageFolder, AnswersAsAWebServerWithRangesAndTheApplicationsOwnPages) {
    PageServer server;
    server.setFolder(web);
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

    // The application's own pages win over the folder; other reserved paths are not the folder's.
    write(web / "__vantorel/move.html", "the folder's");
    write(web / "__vantorel/other.html", "the folder's");
    server.addBuiltInPage("/__vantorel/move.html", "<p>own</p>");
    PageAnswer own = server.answer("GET", "/__vantorel/move.html", std::nullopt, std::nullopt);
    EXPECT_EQ(own.status, 200);
    EXPECT_EQ(own.text, "<p>own</p>");
    EXPECT_EQ(field(own, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(server.answer("GET", "/__vantorel/other.html", std::nullopt, std::nullopt).status, 404);
}

// Each missing file is logged once with who asked for it; the bar's file is the first missing
// script or stylesheet; another folder starts afresh.
TEST_F(PageFolder, AMissingFileIsNamedOnceAndTheFirstMissingScriptIsKept) {
    PageServer server;
    server.setFolder(web);
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

}  // namespace
}  // namespace nerix
