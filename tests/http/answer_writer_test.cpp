// The bytes of answers: statuses the sockets never show (400, 500, one not known), a payload
// that cannot be written (the same status, an empty body), and a job's plain answer, whose
// output texts take their places among the other members by name.
#include "http/answer_writer.h"

#include <cmath>

#include <gtest/gtest.h>

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
    const std::pair<int, std::string> reasons[] = {{400, "Bad Request"}, {500, "Internal Server Error"}, {302, "OK"}};
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
}

}  // namespace
}  // namespace nerix
