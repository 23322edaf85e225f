// The bytes of answers: statuses the sockets never show (400, 500, one not known), a payload
// that cannot be written (the same status, an empty body), and a job's plain answer, whose
// output texts take their places among the other members by name; and what a file's answer is
// made of, as every server here reads it: a Range field, and the type by the file's extension.
#include "http/answer_writer.h"

#include <cmath>

#include <gtest/gtest.h>

#include "http/byte_range.h"
#include "http/content_types.h"

namespace nerix {
namespace {

std::string joined(const std::vector<std::string>& pieces) {
    std::string all;
    for (const auto& piece : pieces) all += piece;
    return all;
}

// The end of an answer with no body.
const std::string kEmptyEnd =
    "\r\nContent-Length: 0\r\nAccess-Control-Allow-Origin: *\r\nAccess-Control-Allow-Headers: Content-Type, "
    "X-Nerix-Token\r\nAccess-Control-Allow-Methods: GET, POST, OPTIONS\r\nConnection: close\r\n\r\n";

TEST(AnswerWriter, ReasonPhrasesBodiesAndTheJobAnswersMemberOrder) {
    const std::pair<int, std::string> reasons[] = {
        {400, "Bad Request"}, {421, "Misdirected Request"}, {500, "Internal Server Error"}, {302, "OK"}};
    for (const auto& [status, reason] : reasons) EXPECT_EQ(reasonPhrase(status), reason) << status;
    std::string unwritable = writeAnswer(Response{500, nlohmann::json{{"s", "\xc3"}}});
    EXPECT_TRUE(unwritable.starts_with("HTTP/1.1 500 Internal Server Error\r\n"));
    EXPECT_TRUE(unwritable.ends_with(kEmptyEnd)) << unwritable;

    const nlohmann::json fields{{"error", "master failed"}, {"exitCode", 2}, {"z/", "last"}};
    auto answer = joined(writeJobAnswer(500, fields, {{"stdout", {"o1", "o2"}}, {"stderr", {"e\\/"}}}));
    const std::string body = R"({"error":"master failed","exitCode":2,"stderr":"e\/","stdout":"o1o2","z\/":"last"})";
    EXPECT_EQ(answer.substr(answer.find("\r\n\r\n") + 4), body);
    EXPECT_NE(answer.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos);
    auto withoutFields = joined(writeJobAnswer(200, nlohmann::json::object(), {{"stdout", {}}}));
    EXPECT_TRUE(withoutFields.ends_with("\r\n\r\n{\"stdout\":\"\"}")) << withoutFields;
    auto broken = joined(writeJobAnswer(200, nlohmann::json{{"n", std::nan("")}}, {{"stdout", {"x"}}}));
    EXPECT_TRUE(broken.ends_with(kEmptyEnd)) << broken;
    // A live answer's last line: the status, then the fields, if there are any.
    EXPECT_EQ(liveLastChunk(200, nlohmann::json::object()), "f\r\n{\"status\":200}\n\r\n0\r\n\r\n");
    EXPECT_EQ(liveLastChunk(500, {{"exitCode", 2}}), "1c\r\n{\"status\":500,\"exitCode\":2}\n\r\n0\r\n\r\n");
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
        {" bytes=5-6 ", 100, Kind::Part, 5, 2},
        {"bytes=100-", 100, Kind::Unsatisfiable, 0, 0},
        {"bytes=-0", 100, Kind::Unsatisfiable, 0, 0},
        {"bytes=0-", 0, Kind::Unsatisfiable, 0, 0},
        // Not understood, or several ranges: the whole file.
        {"bytes=9-1", 100, Kind::Whole, 0, 0},
        {"bytes=0-1,5-6", 100, Kind::Whole, 0, 0},
        {"items=0-1", 100, Kind::Whole, 0, 0},
        {"bytes=a-b", 100, Kind::Whole, 0, 0},
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

// How a name is read (its last extension, in any case, after its folders; a leading dot is no
// extension), not the table again: wasm and JavaScript, which the engine insists on, stand for it.
TEST(ContentTypes, ByExtensionCaseIgnored) {
    for (const auto& [name, type] : std::initializer_list<std::pair<const char*, const char*>>{
             {"index.html", "text/html; charset=utf-8"},
             {"assets/index-x.js", "text/javascript; charset=utf-8"},
             {"worker.MJS", "text/javascript; charset=utf-8"},
             {"dsp.wasm", "application/wasm"},
             {"photo.JPG", "image/jpeg"},
             {"archive.tar.gz", "application/octet-stream"},
             {".htaccess", "application/octet-stream"},
             {"js/README", "application/octet-stream"},
         })
        EXPECT_EQ(contentTypeFor(name), type) << name;
}

}  // namespace
}  // namespace nerix
