// The demo tool chain's command line, run by node the way the bridge runs it: its files are
// real MIDI and WAV files, its findings are right, and every failure exits non-zero with a
// message on standard error.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

extern char** environ;

namespace nerix {
namespace {

namespace fs = std::filesystem;

const fs::path kToolchain = VANTOREL_SOURCE_DIR "/demo/toolchain";

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

class DemoTool : public ::testing::Test {
protected:
    void SetUp() override {
        FILE* pipe = ::popen("command -v node", "r");
        char buffer[512] = {};
        if (pipe && std::fgets(buffer, sizeof buffer, pipe)) node_ = buffer;
        if (pipe) ::pclose(pipe);
        while (!node_.empty() && node_.back() == '\n') node_.pop_back();
        if (node_.empty()) GTEST_SKIP() << "node is not on the PATH";
        scratch_ = fs::path(VANTOREL_BINARY_DIR) / "tests" / "demo-tool" /
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(scratch_);
        fs::create_directories(scratch_);
    }

    // node index.js ARGS, in the tool chain's folder as the bridge runs it.
    ToolRun tool(std::vector<std::string> args) {
        args.insert(args.begin(), {node_, (kToolchain / "packages/cli/dist/index.js").string()});
        const fs::path out = scratch_ / "stdout", err = scratch_ / "stderr";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addchdir_np(&actions, kToolchain.c_str());
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = -1;
        ToolRun run;
        if (::posix_spawn(&pid, node_.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        run.out = readText(out);
        run.err = readText(err);
        return run;
    }

    fs::path write(const std::string& name, const std::string& text) {
        std::ofstream(scratch_ / name, std::ios::binary) << text;
        return scratch_ / name;
    }

    std::string node_;
    fs::path scratch_;
};

std::uint32_t bigEndian32(const std::string& b, std::size_t at) {
    return std::uint32_t(std::uint8_t(b[at])) << 24 | std::uint32_t(std::uint8_t(b[at + 1])) << 16 |
           std::uint32_t(std::uint8_t(b[at + 2])) << 8 | std::uint8_t(b[at + 3]);
}

TEST_F(DemoTool, ComposeWritesAStandardMidiFile) {
    fs::path source = write("piece.morvane", "title \"T\"\ntempo 90  # slow\nC4 E4+G4:2 r F#:1/2\n");
    fs::path output = scratch_ / "sub" / "piece.mid";
    ToolRun run = tool({"compose", "build", source.string(), "-o", output.string()});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("4 notes"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("output: " + output.string()), std::string::npos) << run.out;

    std::string midi = readText(output);
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

TEST_F(DemoTool, ComposeFailuresSayWhyAndWriteNothing) {
    fs::path good = write("good.morvane", "C4\n");
    fs::path bad = write("bad.morvane", "C4 D4\n  H7\n");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"compose", "build", bad.string(), "-o", (scratch_ / "a.mid").string()}, 1, "bad.morvane:2:3: \"H7\""},
        {{"compose", "build", write("empty.morvane", "# nothing\n").string(), "-o", (scratch_ / "b.mid").string()},
         1, "no notes"},
        {{"compose", "build", good.string(), "-o", (scratch_ / "c.xyz").string()}, 1, "must end in .mid or .wav"},
        {{"compose", "build", (scratch_ / "missing.morvane").string(), "-o", (scratch_ / "d.mid").string()}, 1,
         "no such file"},
        {{"compose", "build", good.string()}, 2, "usage"},
        {{"compose", "render", good.string(), "-o", (scratch_ / "e.mid").string()}, 2, "unknown command"},
        {{"dance"}, 2, "unknown command"},
    };
    for (const Case& c : cases) {
        ToolRun run = tool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args.back() << ": " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
    for (const char* name : {"a.mid", "b.mid", "c.xyz", "d.mid", "e.mid"}) EXPECT_FALSE(fs::exists(scratch_ / name));
}

TEST_F(DemoTool, MasterMarksAndVerifyFindsTheMarkOfItsSeedOnly) {
    fs::path mastered = scratch_ / "master.wav";
    ToolRun master = tool({"master", "run", "examples/demo.master.json", "-o", mastered.string()});
    ASSERT_EQ(master.exitCode, 0) << master.err;
    EXPECT_NE(master.out.find("mark: seed \"demo-seed\""), std::string::npos) << master.out;
    EXPECT_NE(master.out.find("output: " + mastered.string()), std::string::npos) << master.out;
    std::string wav = readText(mastered);
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");

    ToolRun found = tool({"master", "verify", mastered.string(), "--seed", "demo-seed", "--carrier", "1000", "--mix-db",
                      "-30", "--null-trials", "40"});
    EXPECT_EQ(found.exitCode, 0) << found.err;
    EXPECT_NE(found.out.find("mark found: yes"), std::string::npos) << found.out;
    EXPECT_NE(found.out.find("against 40 null trials"), std::string::npos) << found.out;

    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"master", "verify", mastered.string(), "--seed", "another-seed"},
          std::vector<std::string>{"master", "verify", "examples/melody.wav", "--seed", "demo-seed"}}) {
        ToolRun missing = tool(args);
        EXPECT_EQ(missing.exitCode, 1) << args[2];
        EXPECT_NE(missing.out.find("mark found: no"), std::string::npos) << missing.out;
        EXPECT_NE(missing.err.find("no mark for seed"), std::string::npos) << missing.err;
    }
}

TEST_F(DemoTool, MasterAndVerifyRefuseWhatTheyCannotUse) {
    fs::path notJson = write("broken.master.json", "{ inputs: ");
    fs::path noInputs = write("empty.master.json", "{\"inputs\": []}");
    fs::path missingInput = write("missing.master.json", "{\"inputs\": [{\"file\": \"nowhere.wav\"}]}");
    fs::path notWav = write("not.wav", "RIFF....WAVEjunk");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"master", "run", notJson.string()}, 1, "is not JSON"},
        {{"master", "run", noInputs.string()}, 1, "\"inputs\" must list"},
        {{"master", "run", missingInput.string()}, 1, "nowhere.wav: no such file"},
        {{"master", "run", ""}, 1, "cannot read manifest"},
        {{"master", "verify", notWav.string(), "--seed", "s"}, 1, "not a WAV file"},
        {{"master", "verify", "examples/marked.wav"}, 2, "--seed"},
        {{"master", "verify", "examples/marked.wav", "--seed", "s", "--carrier", "null"}, 2, "not a number"},
        {{"master", "verify", "examples/marked.wav", "--seed", "s", "--null-trials", "1"}, 2, "outside 2 to 10000"},
        {{"master", "verify", "examples/marked.wav", "--seed", "s", "--carrier", "9000"}, 1, "half the sample rate"},
        {{"master", "verify", "examples/marked.wav", "--seed", "s", "--loud", "1"}, 2, "unknown option"},
    };
    for (const Case& c : cases) {
        ToolRun run = tool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.message << ": " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
    }
}

}  // namespace
}  // namespace nerix
