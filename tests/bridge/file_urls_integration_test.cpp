// The bridge's file URLs over real loopback sockets: which files the page may have a URL for,
// and how a URL answers, as a media element or a fetch asks it.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bridge/nerix_bridge.h"
#include "common/scratch.h"
#include "support/loopback_client.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using namespace support;
using test::writeFile;

class FileUrls : public test::ScratchTest {
protected:
    void SetUp() override {
        ScratchTest::SetUp();
        home = root;
        saveAndSet("HOME", root), saveAndSet("XDG_CONFIG_HOME", root + "/.config");
        bridge =
            std::make_shared<NerixBridge>("/nonexistent/node", "/nonexistent/repo",
                                          BridgeOptions{.random = {}, .log = [](std::string_view) {}, .limits = {}});
        bridge->start();
        ASSERT_NE(port = bridge->port(), 0);
    }
    void TearDown() override {
        bridge.reset();
        ScratchTest::TearDown();
    }

    ParsedAnswer askUrl(const std::string& path, const std::string& token) {
        return roundTrip(port, post("/files", token, nlohmann::json{{"path", path}}.dump()));
    }
    // The path of the URL the page gets for `path`; empty when it gets none.
    std::string urlPath(const fs::path& path) {
        auto answer = askUrl(path.string(), bridge->token());
        if (answer.status != 200) return {};
        const std::string url = nlohmann::json::parse(answer.body)["url"];
        const std::string origin = "http://127.0.0.1:" + std::to_string(port);
        EXPECT_EQ(url.substr(0, origin.size()), origin);
        return url.substr(origin.size());
    }
    ParsedAnswer get(const std::string& path, const std::string& extra = "", const std::string& method = "GET") {
        return roundTrip(port, method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n" +
                                   extra + "\r\n");
    }

    fs::path home;
    std::shared_ptr<NerixBridge> bridge;
    std::uint16_t port = 0;
};

// A URL only for what the page was given: a granted file, a file below the output folder; never
// another path, a relative one, or one without the token. The URL is random, not the path, the
// same for one file, and names its file by its id alone.
TEST_F(FileUrls, OnlyGivenFilesGetAUrl) {
    const fs::path chosen = home / "Zo\u00eb take.wav", other = home / "secret.txt";
    const fs::path output = home / "Music/Nerix/song.mid";
    writeFile(chosen, "RIFF....WAVE");
    writeFile(other, "secret");
    writeFile(output, "MThd");

    EXPECT_EQ(askUrl(chosen.string(), bridge->token()).status, 403);
    bridge->grantFile(chosen.string());
    const std::string url = urlPath(chosen);
    ASSERT_FALSE(url.empty());
    EXPECT_EQ(url.find(home.string()), std::string::npos);
    EXPECT_EQ(url.substr(url.rfind('/')), "/Zo%C3%AB%20take.wav");
    EXPECT_EQ(urlPath(home / "." / "Zo\u00eb take.wav"), url);
    EXPECT_FALSE(urlPath(output).empty());

    EXPECT_EQ(askUrl(other.string(), bridge->token()).status, 403);
    EXPECT_EQ(askUrl("chosen take.wav", bridge->token()).status, 400);
    EXPECT_EQ(askUrl((home / "gone.wav").string(), bridge->token()).status, 404);
    EXPECT_EQ(askUrl(chosen.string(), "").status, 401);
    EXPECT_EQ(roundTrip(port, post("/files", bridge->token(), "[1]")).status, 400);

    // The id is what counts: another name after it, or another id, changes nothing or finds nothing.
    const std::string id = url.substr(0, url.rfind('/'));
    EXPECT_EQ(get(id + "/anything.wav").body, "RIFF....WAVE");
    EXPECT_EQ(get("/files/0123456789abcdef0123456789abcdef/chosen%20take.wav").status, 404);
    // A link put in the file's place is not followed.
    fs::remove(chosen);
    fs::create_symlink(other, chosen);
    EXPECT_EQ(get(url).status, 404);
}

// A URL answers as a web server does, without the token: the whole file with its type and
// length, a range as 206 with Content-Range, 416 past the end, HEAD with no body; a file larger
// than what is queued at once arrives whole.
TEST_F(FileUrls, AUrlAnswersLikeAWebServer) {
    std::string bytes(3 * 1024 * 1024 + 1, '\0');  // a last piece of one byte
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + i / 4096);
    const fs::path file = home / "Music/Nerix/master.wav";
    writeFile(file, bytes);
    const std::string url = urlPath(file);
    ASSERT_FALSE(url.empty());

    auto whole = get(url);
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.headers["Content-Type"], "audio/wav");
    EXPECT_EQ(whole.headers["Content-Length"], std::to_string(bytes.size()));
    EXPECT_EQ(whole.headers["Accept-Ranges"], "bytes");
    EXPECT_EQ(whole.headers["Access-Control-Allow-Origin"], "*");
    EXPECT_TRUE(whole.body == bytes) << whole.body.size();

    auto part = get(url, "Range: bytes=1048576-1048579\r\n");
    EXPECT_EQ(part.status, 206);
    EXPECT_EQ(part.headers["Content-Range"], "bytes 1048576-1048579/" + std::to_string(bytes.size()));
    EXPECT_EQ(part.body, bytes.substr(1048576, 4));

    auto past = get(url, "Range: bytes=" + std::to_string(bytes.size()) + "-\r\n");
    EXPECT_EQ(past.statusLine, "HTTP/1.1 416 Range Not Satisfiable");
    EXPECT_EQ(past.headers["Content-Range"], "bytes */" + std::to_string(bytes.size()));
    EXPECT_EQ(past.body, "");

    auto head = get(url, "", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_EQ(head.headers["Content-Length"], std::to_string(bytes.size()));
    EXPECT_EQ(head.body, "");
    EXPECT_EQ(get(url, "Host: evil.example\r\n").status, 421);
}

// The web folder served for its media: its files by their paths, as the page's origin serves
// them, and no way out of it.
TEST_F(FileUrls, AServedFolderKeepsToItself) {
    const fs::path web = home / "web";
    writeFile(web / "index.html", "<p>page</p>");
    writeFile(web / "media/tone.wav", "RIFFtone");
    writeFile(home / "outside.txt", "outside");
    fs::create_symlink(home / "outside.txt", web / "media/out.wav");
    auto folder = bridge->serveFolder(web.string());
    ASSERT_TRUE(folder) << folder.error().message;
    EXPECT_EQ(*bridge->serveFolder((web / ".").string()), *folder);
    const std::string prefix = folder->substr(folder->find("/files/"));

    EXPECT_EQ(get(prefix + "/media/tone.wav").body, "RIFFtone");
    EXPECT_EQ(get(prefix + "/media/tone.wav?t=1").body, "RIFFtone");
    EXPECT_EQ(get(prefix + "/").body, "<p>page</p>");
    for (const std::string escape : {"/../outside.txt", "/media/%2e%2e/%2E%2E/outside.txt", "//outside.txt",
                                     "/media%5C..%5Coutside.txt", "/media/out.wav", "/media/tone.wav%00"})
        EXPECT_EQ(get(prefix + escape).status, 403) << escape;
    EXPECT_EQ(get(prefix + "/media/missing.wav").status, 404);
    EXPECT_FALSE(bridge->serveFolder((home / "nowhere").string()));
}

}  // namespace
}  // namespace nerix
