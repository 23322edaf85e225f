// Where the application finds its resources: beside its executable, wherever the bundle is.
#include <gtest/gtest.h>

#include "app/bundle.h"

namespace nerix {
namespace {

TEST(Bundle, ResourcesLieInShareBesideBin) {
    EXPECT_EQ(resourceFolderFor("/opt/vantorel/bin/vantorel"), "/opt/vantorel/share/vantorel");
    EXPECT_EQ(resourceFolderFor("/usr/bin/vantorel"), "/usr/share/vantorel");
    EXPECT_EQ(infoPlistPath("/usr/share/vantorel"), "/usr/share/vantorel/Info.plist");
}

TEST(Bundle, TheRunningProgramIsFoundThroughItsOwnFile) {
    // This test program lives in <build>/tests/app, so its resource folder is <build>/tests/share/vantorel.
    EXPECT_EQ(resourceFolder(), std::filesystem::path(VANTOREL_BINARY_DIR "/tests/share/vantorel").lexically_normal());
}

}  // namespace
}  // namespace nerix
