// The demo tool chain's command line, run by node the way the bridge runs it: its files are
// real MIDI and WAV files, its findings are right, and every failure exits non-zero with a
// message on standard error.
#include <cstdio>

#include <gtest/gtest.h>

#include "jobs/cli_runner.h"
#include "jobs/job_endpoint_fixture.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using test::contentOf;

const fs::path kToolchain = VANTOREL_SOURCE_DIR "/demo/toolchain";

class DemoTool : public test::ScratchTest {
protected:
    void SetUp() override {
        FILE* pipe = ::popen("command -v node", "r");
        char buffer[512] = {};
        if (pipe && std::fgets(buffer, sizeof buffer, pipe)) node_ = buffer;
        if (pipe) ::pclose(pipe);
        while (!node_.empty() && node_.back() == '\n') node_.pop_back();
        if (node_.empty()) GTEST_SKIP() << "node is not on the PATH";
        ScratchTest::SetUp();
    }

    // node index.js ARGS, in the tool chain's folder, through the bridge's own runner.
    CliResult tool(const std::vector<std::string>& args) {
        return runCli(CliCommand{node_, kToolchain, (kToolchain / "packages/cli/dist/index.js").string()}, args);
    }

    std::string write(const std::string& name, const std::string& text) {
        std::ofstream(root + "/" + name, std::ios::binary) << text;
        return root + "/" + name;
    }

    std::string node_;
};

std::uint32_t bigEndian32(const std::string& b, std::size_t at) {
    return std::uint32_t(std::uint8_t(b[at])) << 24 | std::uint32_t(std::uint8_t(b[at + 1])) << 16 |
           std::uint32_t(std::uint8_t(b[at + 2])) << 8 | std::uint8_t(b[at + 3]);
}

TEST_F(DemoTool, ComposeWritesAStandardMidiFile) {
    fs::path source = write("piece.morvane", "title \"T\"\ntempo 90  # slow\nC4 E4+G4:2 r F#:1/2\n");
    fs::path output = fs::path(root) / "sub" / "piece.mid";
    CliResult run = tool({"compose", "build", source.string(), "-o", output.string()});
    ASSERT_EQ(run.exitCode, 0) << run.stderr;
    EXPECT_NE(run.stdout.find("4 notes"), std::string::npos) << run.stdout;
    EXPECT_NE(run.stdout.find("output: " + output.string()), std::string::npos) << run.stdout;

    std::string midi = contentOf(output);
    ASSERT_GE(midi.size(), 26u);
    EXPECT_EQ(midi.substr(0, 4), "MThd");
    EXPECT_EQ(bigEndian32(midi, 4), 6u);
    EXPECT_EQ(midi.substr(8, 6), std::string("\0\0\0\1\x01\xE0", 6));  // format 0, one track, 480 ticks
    EXPECT_EQ(midi.substr(14, 4), "MTrk");
    EXPECT_EQ(bigEndian32(midi, 18), midi.size() - 22) << "the track length must cover the rest of the file";
    EXPECT_EQ(midi.substr(midi.size() - 3), std::string("\xFF\x2F\x00", 3));
    // Tempo 90: 666667 microseconds per quarter note; F#4 is key 66.
    EXPECT_NE(midi.find(std::string("\xFF\x51\x03\x0A\x2C\x2B", 6)), std::string::npos);
    EXPECT_NE(midi.find(std::string("\x90\x42", 2)), std::string::npos);
}

TEST_F(DemoTool, MasterMarksAndVerifyFindsTheMarkOfItsSeedOnly) {
    fs::path mastered = fs::path(root) / "master.wav";
    CliResult master = tool({"master", "run", "examples/demo.master.json", "-o", mastered.string()});
    ASSERT_EQ(master.exitCode, 0) << master.stderr;
    EXPECT_NE(master.stdout.find("mark: seed \"demo-seed\""), std::string::npos) << master.stdout;
    EXPECT_NE(master.stdout.find("output: " + mastered.string()), std::string::npos) << master.stdout;
    EXPECT_NE(master.stderr.find("master: mixed 1.6 of 1.6 s\n"), std::string::npos) << "the mix stopped short";
    std::string wav = contentOf(mastered);
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");

    CliResult found = tool({"master", "verify", mastered.string(), "--seed", "demo-seed", "--carrier", "1000", "--mix-db",
                      "-30", "--null-trials", "40"});
    EXPECT_EQ(found.exitCode, 0) << found.stderr;
    EXPECT_NE(found.stdout.find("mark found: yes"), std::string::npos) << found.stdout;
    EXPECT_NE(found.stdout.find("against 40 null trials"), std::string::npos) << found.stdout;

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"master", "verify", mastered.string(), "--seed", "another-seed"},
          std::vector<std::string>{"master", "verify", "examples/melody.wav", "--seed", "demo-seed"}}) {
        CliResult missing = tool(args);
        EXPECT_EQ(missing.exitCode, 1) << args[2];
        EXPECT_NE(missing.stdout.find("mark found: no"), std::string::npos) << missing.stdout;
        EXPECT_NE(missing.stderr.find("no mark for seed"), std::string::npos) << missing.stderr;
    }
}

TEST_F(DemoTool, EveryFailureExitsNonZeroSaysWhyAndWritesNothing) {
    std::string good = write("good.morvane", "C4\n");
    std::string notWav = write("not.wav", "RIFF....WAVEjunk");
    const std::string marked = "examples/marked.wav";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"compose", "build", write("bad.morvane", "C4 D4\n  H7\n"), "-o", root + "/a.mid"}, 1, "bad.morvane:2:3: \"H7\""},
        {{"compose", "build", write("empty.morvane", "# nothing\n"), "-o", root + "/b.mid"}, 1, "no notes"},
        {{"compose", "build", good, "-o", root + "/c.xyz"}, 1, "must end in .mid or .wav"},
        {{"compose", "build", root + "/missing.morvane", "-o", root + "/d.mid"}, 1, "no such file"},
        {{"compose", "build", good}, 2, "usage"},
        {{"compose", "render", good, "-o", root + "/e.mid"}, 2, "unknown command"},
        {{"dance"}, 2, "unknown command"},
        {{"master", "run", write("broken.master.json", "{ inputs: ")}, 1, "is not JSON"},
        {{"master", "run", write("empty.master.json", "{\"inputs\": []}")}, 1, "\"inputs\" must list"},
        {{"master", "run", write("missing.master.json", "{\"inputs\": [{\"file\": \"nowhere.wav\"}]}")}, 1,
         "nowhere.wav: no such file"},
        {{"master", "run", ""}, 1, "cannot read manifest"},
        {{"master", "verify", notWav, "--seed", "s"}, 1, "not a WAV file"},
        {{"master", "verify", marked}, 2, "--seed"},
        {{"master", "verify", marked, "--seed", "s", "--carrier", "null"}, 2, "not a number"},
        {{"master", "verify", marked, "--seed", "s", "--null-trials", "1"}, 2, "outside 2 to 10000"},
        {{"master", "verify", marked, "--seed", "s", "--carrier", "9000"}, 1, "half the sample rate"},
        {{"master", "verify", marked, "--seed", "s", "--loud", "1"}, 2, "unknown option"},
    };
    for (const Case& c : cases) {
        CliResult run = tool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.message << ": " << run.stderr;
        EXPECT_NE(run.stderr.find(c.message), std::string::npos) << run.stderr;
    }
    for (const char* name : {"a.mid", "b.mid", "c.xyz", "d.mid", "e.mid"}) EXPECT_FALSE(fs::exists(root + "/" + name));
}

}  // namespace
}  // namespace nerix
