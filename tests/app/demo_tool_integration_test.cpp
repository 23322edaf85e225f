// The demo tool chain's command line, run by node the way the bridge runs it: its files are
// real MIDI and WAV files, its findings are right, and every failure exits non-zero with a
// message on standard error and writes nothing.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/scratch.h"
#include "jobs/cli_command.h"
#include "support/run_child.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using test::contentOf;
using ::testing::AllOf;
using ::testing::HasSubstr;

class DemoTool : public test::ScratchTest {
protected:
    // node (from the PATH) index.js ARGS, in the tool chain's folder, started and read as the
    // bridge runs its tools.
    support::ChildOutput tool(std::vector<std::string> args) {
        const fs::path toolchain = VANTOREL_SOURCE_DIR "/demo/toolchain";
        args.insert(args.begin(), (toolchain / "packages/cli/dist/index.js").string());
        auto run = support::runChild(toolArgv(CliCommand{"/usr/bin/env", toolchain, "node"}, args), toolchain);
        if (!run) ADD_FAILURE() << run.error().message;
        return run ? *std::move(run) : support::ChildOutput{};
    }

    std::string write(const std::string& name, const std::string& text) {
        return std::ofstream(root + "/" + name, std::ios::binary) << text, root + "/" + name;
    }
};

TEST_F(DemoTool, ComposeWritesAStandardMidiFile) {
    const std::string output = root + "/sub/piece.mid";
    auto run = tool(
        {"compose", "build", write("p.morvane", "title \"T\"\ntempo 90  # slow\nC4 E4+G4:2 r F#:1/2\n"), "-o", output});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.out, AllOf(HasSubstr("4 notes"), HasSubstr("output: " + output)));
    // Format 0, one track, 480 ticks; the track's length covers the rest of the file; it ends
    // with end-of-track; tempo 90 is 666667 microseconds per quarter note; F#4 is key 66.
    std::string midi = contentOf(output);
    EXPECT_EQ(midi.substr(0, 22), std::string("MThd\0\0\0\6\0\0\0\1\x01\xE0MTrk\0\0\0", 21) + char(midi.size() - 22));
    EXPECT_EQ(midi.substr(midi.size() - 3), std::string("\xFF\x2F\x00", 3));
    EXPECT_NE(midi.find(std::string("\xFF\x51\x03\x0A\x2C\x2B", 6)), std::string::npos);
    EXPECT_NE(midi.find(std::string("\x90\x42", 2)), std::string::npos);
}

TEST_F(DemoTool, MasterMarksAndVerifyFindsTheMarkOfItsSeedOnly) {
    const std::string wav = root + "/master.wav";
    auto master = tool({"master", "run", "examples/demo.master.json", "-o", wav});
    ASSERT_EQ(master.status, 0) << master.err;
    EXPECT_THAT(master.out, AllOf(HasSubstr("mark: seed \"demo-seed\""), HasSubstr("output: " + wav)));
    EXPECT_THAT(master.err, HasSubstr("master: mixed 1.6 of 1.6 s\n")) << "the mix stopped short";
    EXPECT_EQ(contentOf(wav).substr(0, 4) + contentOf(wav).substr(8, 8), "RIFFWAVEfmt ");

    auto found = tool({"master", "verify", wav, "--seed", "demo-seed", "--carrier", "1000", "--mix-db", "-30",
                       "--null-trials", "40"});
    EXPECT_EQ(found.status, 0) << found.err;
    EXPECT_THAT(found.out, AllOf(HasSubstr("mark found: yes"), HasSubstr("against 40 null trials")));
    for (const std::string& file : {wav, std::string("examples/melody.wav")}) {
        auto missing = tool({"master", "verify", file, "--seed", file == wav ? "another-seed" : "demo-seed"});
        EXPECT_EQ(missing.status, 1) << file;
        EXPECT_THAT(missing.out, HasSubstr("mark found: no"));
        EXPECT_THAT(missing.err, HasSubstr("no mark for seed"));
    }
}

TEST_F(DemoTool, EveryFailureExitsNonZeroSaysWhyAndWritesNothing) {
    const std::string good = write("good.morvane", "C4\n"), marked = "examples/marked.wav";
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    } cases[] = {
        {{"compose", "build", write("bad.morvane", "C4 D4\n  H7\n"), "-o", root + "/a.mid"},
         1,
         "bad.morvane:2:3: \"H7\""},
        {{"compose", "build", write("empty.morvane", "# nothing\n"), "-o", root + "/b.mid"}, 1, "no notes"},
        {{"compose", "build", good, "-o", root + "/c.xyz"}, 1, "must end in .mid or .wav"},
        {{"compose", "build", root + "/missing.morvane", "-o", root + "/d.mid"}, 1, "no such file"},
        {{"compose", "build", good}, 2, "usage"},
        {{"compose", "render", good, "-o", root + "/e.mid"}, 2, "unknown command"},
        {{"dance"}, 2, "unknown command"},
        {{"master", "run", write("broken.master.json", "{ inputs: ")}, 1, "is not JSON"},
        {{"master", "run", write("empty.master.json", "{\"inputs\": []}")}, 1, "\"inputs\" must list"},
        {{"master", "run", write("lost.master.json", "{\"inputs\": [{\"file\": \"nowhere.wav\"}]}")},
         1,
         "nowhere.wav: no such file"},
        {{"master", "run", ""}, 1, "cannot read manifest"},
        {{"master", "verify", write("not.wav", "RIFF....WAVEjunk"), "--seed", "s"}, 1, "not a WAV file"},
        {{"master", "verify", marked}, 2, "--seed"},
        {{"master", "verify", marked, "--seed", "s", "--carrier", "null"}, 2, "not a number"},
        {{"master", "verify", marked, "--seed", "s", "--null-trials", "1"}, 2, "outside 2 to 10000"},
        {{"master", "verify", marked, "--seed", "s", "--carrier", "9000"}, 1, "half the sample rate"},
        {{"master", "verify", marked, "--seed", "s", "--loud", "1"}, 2, "unknown option"},
    };
    for (const auto& c : cases) {
        auto run = tool(c.args);
        EXPECT_EQ(run.status, c.exitCode) << c.message << ": " << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.message));
    }
    for (const char* name : {"a.mid", "b.mid", "c.xyz", "d.mid", "e.mid"}) EXPECT_FALSE(fs::exists(root + "/" + name));
}

}  // namespace
}  // namespace nerix
