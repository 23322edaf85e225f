// A job's output on its way into an answer: cut at character boundaries wherever the reads
// split it, escaped for a plain answer (empty when not UTF-8) or framed as live lines (bad
// bytes as U+FFFD).
#include "bridge/escaped_stream.h"
#include "bridge/live_stream.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "http/answer_writer.h"
#include "http/json_writer.h"

namespace nerix {
namespace {

const std::string kBad = "\xEF\xBF\xBD";  // U+FFFD

TEST(JobOutput, WhereverTheReadsSplitTheStreamTheTextIsTheSame) {
    const std::pair<std::string, std::string> samples[] = {
        // the bytes, the text the live lines carry
        {"plain \"ascii\" /\n\x01", "plain \"ascii\" /\n\x01"},
        {"a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z", "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z"},
        {"ab\x80"
         "cd",
         "ab" + kBad + "cd"},         // stray continuation byte
        {"ab\xe2\x82", "ab" + kBad},  // cut short at the end
        {"\xe2\x82"
         "a\xac",
         kBad + "a" + kBad},                              // lead byte interrupted
        {"\xc0\xaf", kBad + kBad},                        // overlong "/"
        {"\xed\xa0\x80", kBad + kBad + kBad},             // surrogate
        {"\xf4\x90\x80\x80", kBad + kBad + kBad + kBad},  // beyond U+10FFFF
        {"\xf0\x9f\x98\x80\x80\x80", "\xf0\x9f\x98\x80" + kBad + kBad},
        {"x\xff\xf0\x9f\x98\x80\x80\x80\x80\x80", "x" + kBad + "\xf0\x9f\x98\x80" + kBad + kBad + kBad + kBad},
        // the first and last character of each lead byte's range (U+0080, U+07FF, U+0800,
        // U+D7FF, U+FFFF, U+10000, U+3FFFF, U+10FFFF) behind a bad byte, which makes the live
        // lines judge each of them; then just outside the ranges the second byte allows
        {"\xff\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf0\xbf\xbf\xbf\xf4\x8f\xbf\xbf",
         kBad + "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xef\xbf\xbf\xf0\x90\x80\x80\xf0\xbf\xbf\xbf\xf4\x8f\xbf\xbf"},
        {"\xe0\x9f\xbf\xc1\xbf\xf5\x80\xf0\x8f\xbf\xbf",
         kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad + kBad},
    };
    for (const auto& [bytes, expected] : samples) {
        const bool utf8 = expected == bytes;  // then the plain answer holds it escaped, else nothing
        std::string escaped;
        appendJsonEscaped(escaped, bytes);
        const std::string_view all = bytes;
        for (std::size_t i = 0; i <= bytes.size(); ++i)
            for (std::size_t j = i; j <= bytes.size(); ++j) {
                const std::string_view reads[] = {all.substr(0, i), all.substr(i, j - i), all.substr(j)};
                LiveStream live;
                EscapedStream plain;
                std::string text;
                // Each read's text as its live chunk carries it: the size line, then the line.
                auto take = [&](LiveText read) {
                    auto chunk = liveOutputChunk("stderr", read.first, read.second);
                    if (chunk.empty()) return;
                    ASSERT_EQ(chunk.size(), 2u);
                    const std::string& line = chunk[1];
                    ASSERT_TRUE(line.ends_with("}\n\r\n")) << line;
                    EXPECT_EQ(std::stoul(chunk[0], nullptr, 16), line.size() - 2) << chunk[0];
                    auto json = nlohmann::json::parse(line);
                    ASSERT_EQ(json.size(), 1u);
                    text += json.at("stderr").get<std::string>();
                };
                for (auto read : reads) {
                    take(live.text(read));
                    plain.add(read);
                }
                take(live.finish());
                plain.finish();
                std::string joined;
                for (const auto& piece : plain.take()) joined += piece;
                EXPECT_EQ(text, expected) << testing::PrintToString(bytes) << " split at " << i << ", " << j;
                EXPECT_EQ(joined, utf8 ? escaped : "") << testing::PrintToString(bytes) << " at " << i << ", " << j;
            }
    }
}

}  // namespace
}  // namespace nerix
