// Files kept aside: what a later start may put back, and what it must leave alone.
#include "platform/posix/kept_file.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "common/scratch.h"
#include "support/process_probe.h"

namespace nerix::platform {
namespace {

namespace fs = std::filesystem;
using test::contentOf;
using test::entriesOf;

using KeptFileTest = test::ScratchTest;

// A record still held (a live bridge or reaper) is left alone; once nobody holds it, the file
// goes back in its place, over what a dead run left there, and nothing of the keeping is left.
// A record that says nothing yet (its owner has not written it), or is cut short, is no
// record. The record is private.
TEST_F(KeptFileTest, ALaterStartPutsBackOnlyWhatNobodyHolds) {
    const std::string piece = root + "/piece.mid";
    std::ofstream(piece) << "old";
    auto kept = KeptFile::keepAside(piece);
    ASSERT_TRUE(kept && *kept) << (kept ? "" : kept.error().message);
    EXPECT_FALSE(fs::exists(piece));
    struct stat info {};
    ASSERT_EQ(::stat((*kept)->record().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ofstream(piece) << "half";
    const auto open = support::openDescriptors(::getpid());
    EXPECT_TRUE(restoreAbandoned(root).empty()) << "held by its owner";
    EXPECT_EQ(support::openDescriptors(::getpid()), open) << "a record's descriptor is left open";
    std::ofstream(root + "/.vantorel-keep-AAAAAA");                                 // empty: a record being written
    std::ofstream(root + "/.vantorel-keep-BBBBBB") << "vantorel kept file\npiece";  // cut short
    kept->reset();                                                                  // the owner is gone, without a word
    EXPECT_EQ(restoreAbandoned(root), std::vector<std::string>{piece});
    EXPECT_EQ(contentOf(piece), "old");
    EXPECT_EQ(entriesOf(root),
              (std::vector<std::string>{".vantorel-keep-AAAAAA", ".vantorel-keep-BBBBBB", "piece.mid"}));

    // Nothing there, or a folder, is not kept aside.
    auto none = KeptFile::keepAside(root + "/absent.mid");
    ASSERT_TRUE(none);
    EXPECT_FALSE(*none);
    fs::create_directory(root + "/folder.mid");
    auto folder = KeptFile::keepAside(root + "/folder.mid");
    ASSERT_TRUE(folder);
    EXPECT_FALSE(*folder);
}

}  // namespace
}  // namespace nerix::platform
