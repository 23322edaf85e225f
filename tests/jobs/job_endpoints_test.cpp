#include "jobs/job_endpoints.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nerix {
namespace {

std::string joined(const std::vector<std::string>& args) {
    std::string line;
    for (const auto& a : args) line += (line.empty() ? "" : "|") + a;
    return line;
}

// Each path reads its own body into its own kind of job: the arguments, the answer's members
// on success and on failure, and the file it names (master's relative output counts from the
// tool's folder). Compose's arguments and file come from its files, made only when it runs.
TEST(JobEndpoints, EachPathMakesItsJobWithItsArgumentsAnswersAndFile) {
    struct Case {
        std::string path, body, arguments, succeeded, failed, written;
    };
    for (const Case& c : std::vector<Case>{
             {"/compose", R"({"source":"x"})", "compose|build||-o|", R"({"ok":true,"outputPath":""})",
              R"({"error":"compose failed","exitCode":3})", ""},
             {"/master", R"({"manifest":"m","output":"o.wav"})", "master|run|m|-o|o.wav", R"({"ok":true})",
              R"({"error":"master failed","exitCode":3})", "/repo/o.wav"},
             {"/master", R"({"manifest":"m","output":"/o.wav"})", "master|run|m|-o|/o.wav", R"({"ok":true})",
              R"({"error":"master failed","exitCode":3})", "/o.wav"},
             {"/master", R"({"manifest":"m"})", "master|run|m", R"({"ok":true})",
              R"({"error":"master failed","exitCode":3})", "(none)"},
             {"/verify", R"({"wav":"w","seed":"s"})", "master|verify|w|--seed|s", R"({"ok":true})", R"({"ok":false})",
              "(none)"},
         }) {
        const JobEndpoint* endpoint = findJobEndpoint(c.path);
        ASSERT_NE(endpoint, nullptr) << c.path;
        auto accepted = endpoint->accept(c.body);
        ASSERT_TRUE(std::holds_alternative<JobPointer>(accepted)) << c.body;
        const Job& job = *std::get<JobPointer>(accepted);
        EXPECT_EQ(joined(job.arguments()), c.arguments);
        const JobAnswer succeeded = job.answer(0), failed = job.answer(3);
        EXPECT_EQ(succeeded.status, 200);
        EXPECT_EQ(succeeded.fields.dump(), c.succeeded) << c.body;
        EXPECT_EQ(failed.status, 500);
        EXPECT_EQ(failed.fields.dump(), c.failed) << c.body;
        EXPECT_TRUE(failed.withStderr);
        EXPECT_EQ(succeeded.withStderr, c.path == "/verify");
        EXPECT_EQ(job.writtenFile("/repo").value_or("(none)"), c.written) << c.body;
    }
    for (const char* path : {"/", "/compose/", "/Compose", "/health", ""}) EXPECT_EQ(findJobEndpoint(path), nullptr);
    auto refused = findJobEndpoint("/verify")->accept(R"({"wav":"w"})");
    ASSERT_TRUE(std::holds_alternative<Response>(refused));
    EXPECT_EQ(std::get<Response>(refused).status, 400);
}

}  // namespace
}  // namespace nerix
