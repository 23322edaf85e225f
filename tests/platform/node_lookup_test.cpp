// Finding Node.js as a desktop launch needs it, over a made-up PATH and made-up home folders.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/scratch.h"
#include "platform/posix/node_lookup.h"
#include "platform/posix/program_output.h"
#include "support/process_probe.h"

namespace nerix::platform {
namespace {

namespace fs = std::filesystem;

class NodeLookup : public test::ScratchTest {
protected:
    std::string program(const std::string& path, const std::string& body = "exit 0") {
        test::writeFile(path, "#!/bin/sh\n" + body + "\n");
        fs::permissions(path, fs::perms::owner_all);
        return path;
    }
    NodePlaces places() { return NodePlaces{root + "/empty:" + root + "/bin", root + "/home", "", "", "", ""}; }
};

// Each row: the programs that exist, the value asked for, the one taken.
TEST_F(NodeLookup, TakesTheFirstPlaceThatHasIt) {
    const std::string home = root + "/home", nvm = home + "/.nvm/versions/node";
    const struct {
        std::vector<std::string> files;
        std::string value, taken;
    } rows[] = {
        {{}, "/opt/nowhere/node", "/opt/nowhere/node"},  // a path is used as it is, found or not
        {{root + "/bin/node", nvm + "/v22.1.0/bin/node"}, "node", root + "/bin/node"},
        {{root + "/bin/nodejs"}, "nodejs", root + "/bin/nodejs"},
        // the newest of several: v9 < v20.2 < v20.11, and a version folder without node is passed over
        {{nvm + "/v9.11.2/bin/node", nvm + "/v20.11.0/bin/node", nvm + "/v20.2.0/bin/node", nvm + "/v23.0.0/bin/x"},
         "",
         nvm + "/v20.11.0/bin/node"},
        {{home + "/.volta/bin/node", home + "/.local/bin/node"}, "node", home + "/.volta/bin/node"},
        {{home + "/.local/share/fnm/node-versions/v18.0.0/installation/bin/node"},
         "node",
         home + "/.local/share/fnm/node-versions/v18.0.0/installation/bin/node"},
        {{home + "/.local/bin/node"}, "node", home + "/.local/bin/node"},
        {{}, "node", ""},
    };
    for (const auto& row : rows) {
        fs::remove_all(root + "/bin"), fs::remove_all(home);
        for (const auto& file : row.files) program(file);
        if (!fs::exists("/usr/local/bin/node") || row.taken != "") {
            EXPECT_EQ(findNode(row.value, places()).path, row.taken) << row.value;
        }
    }
    // A file that cannot be run is no Node.js.
    program(root + "/bin/node");
    fs::permissions(root + "/bin/node", fs::perms::owner_read);
    program(home + "/.local/bin/node");
    EXPECT_EQ(findNode("node", places()).path, home + "/.local/bin/node");
}

// Found nowhere else: the login shell's PATH, asked with the name quoted; a shell that hangs is
// cut off with what it started, and a shell that prints its profile's chatter first still answers.
TEST_F(NodeLookup, TheLoginShellIsAskedLastAndCutOffWhenItHangs) {
    const std::string node = program(root + "/shell-bin/node");
    NodePlaces asked = places();
    asked.shell = program(root + "/answering-shell",
                          "echo 'Welcome'; [ \"$1\" = -lc ] && [ \"$2\" = \"command -v 'node'\" ] && echo " + node);
    EXPECT_EQ(askLoginShell("node", asked).path, node);

    const std::string pidFile = root + "/sleeper.pid";
    asked.shell = program(root + "/hanging-shell", "sleep 300 & echo $! > " + pidFile + "; wait");
    EXPECT_EQ(askLoginShell("node", asked, std::chrono::milliseconds(200)).path, "");
    // On a busy machine the cut-off may come before the shell got as far as its child.
    if (const std::string written = test::contentOf(pidFile); !written.empty()) {
        EXPECT_TRUE(support::waitFor([&] { return support::ended(std::stoi(written)); }))
            << "the hanging shell's child still runs";
    }

    asked.shell = "";
    EXPECT_EQ(askLoginShell("node", asked).path, "");
}

// A program's output counts only from a whole run that ended with 0; what it leaves running in its
// group ends with it.
TEST_F(NodeLookup, AProgramsOutputCountsOnlyFromARunThatEndedWell) {
    const auto limit = std::chrono::seconds(5);
    const auto run = [&](const std::string& body) { return programOutput({program(root + "/p", body), "-x"}, limit); };
    EXPECT_EQ(run("echo \"$1\"; echo v20.1.0").value(), "-x\nv20.1.0\n");
    EXPECT_EQ(run("echo half; exit 3").error().message, root + "/p: ended with status 3");
    EXPECT_EQ(programOutput({root + "/missing"}, limit).error().code, ENOENT);
    for (const std::string body : {"sleep 300", "exec >&-; sleep 300"})  // silent, or its output closed early
        EXPECT_EQ(programOutput({program(root + "/h", body)}, std::chrono::milliseconds(200)).error().code, ETIMEDOUT);

    const std::string pidFile = root + "/left.pid";
    EXPECT_EQ(run("sleep 300 >/dev/null & echo $! > " + pidFile + "; echo done").value(), "done\n");
    EXPECT_TRUE(support::waitFor([&] { return support::ended(std::stoi(test::contentOf(pidFile))); }))
        << "what the program left running still runs";
}

}  // namespace
}  // namespace nerix::platform
