// The once-only move of what the earlier release's file:// page stored, on folders laid out as
// WebKit lays them out: the names WebKit gives, and each way a launch can find the folder.
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/stored_data_move.h"
#include "common/scratch.h"

namespace nerix {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using Outcome = StoredDataMoveOutcome;

// A salt and the folder names WebKit made with it (WebKitGTK 6.0, a page under each origin).
const std::string kSalt("\xea\xe8\x3c\x46\x2c\xda\x06\x98", 8);
const std::string kFileFolder = "Cu8ezWhAu7jGm09_5xjw8usW7eiX5kVWhq4ajxVokCc";
const std::string kAppFolder = "Y2qg3BEvxstA5xIFB6WSBY1k2dVcx6UzTVnwQQnzig4";
const std::string kDatabase = "7BDC25D1694EF984782A16F6F1710C1C6BC83BA7A131B515BAF532BEA021D011";

TEST(StoredDataNames, AreTheOnesWebKitMade) {
    EXPECT_EQ(originFolderName("file://", kSalt), kFileFolder);
    EXPECT_EQ(originFolderName("vantorel://app", kSalt), kAppFolder);
    // The origin files WebKit wrote in those two folders.
    EXPECT_EQ(originFileText("vantorel", "app"),
              std::string("\x08\0\0\0\001vantorel\x03\0\0\0\001app\0\x08\0\0\0\001vantorel\x03\0\0\0\001app\0", 44));
    EXPECT_EQ(originFileText("file", ""),
              std::string("\x04\0\0\0\001file\0\0\0\0\001\0\x04\0\0\0\001file\0\0\0\0\001\0", 30));
}

class StoredDataMove : public test::ScratchTest {
protected:
    void SetUp() override {
        test::ScratchTest::SetUp();
        data_ = fs::path(root) / "vantorel";
        from_ = data_ / "storage" / kFileFolder / kFileFolder;
        to_ = data_ / "storage" / kAppFolder / kAppFolder;
    }

    static void write(const fs::path& file, const std::string& text) { test::writeFile(file, text); }

    // What the earlier release left: the salt, and its page's localStorage and one database
    // with its log and a blob file beside it.
    void storeUnderFileOrigin() {
        write(data_ / "storage/salt", kSalt);
        write(from_ / "origin", originFileText("file", ""));
        write(from_ / "LocalStorage/localstorage.sqlite3", "local");
        write(from_ / "LocalStorage/localstorage.sqlite3-wal", "local log");
        write(from_ / "IndexedDB" / kDatabase / "IndexedDB.sqlite3", "records");
        write(from_ / "IndexedDB" / kDatabase / "IndexedDB.sqlite3-wal", "records log");
        write(from_ / "IndexedDB" / kDatabase / "1.blob", "a blob");
    }

    Outcome move() {
        return moveStoredPageData(data_, [this](std::string_view line) { lines_.emplace_back(line); });
    }

    bool marked() const { return fs::exists(data_ / kStoredDataMovedMarker); }

    fs::path data_, from_, to_;
    std::vector<std::string> lines_;
};

// A fresh home writes nothing at all; once WebKit has a storage folder without file:// data, the
// marker spares later launches the look.
TEST_F(StoredDataMove, NothingToMoveWritesNothingUntilWebKitHasAFolder) {
    EXPECT_EQ(move(), Outcome::NothingToMove);
    EXPECT_FALSE(fs::exists(data_));
    write(data_ / "storage/salt", kSalt);
    write(to_ / "LocalStorage/localstorage.sqlite3", "new");
    EXPECT_EQ(move(), Outcome::NothingToMove);
    EXPECT_TRUE(marked());
    EXPECT_EQ(move(), Outcome::AlreadyDone);
    EXPECT_TRUE(lines_.empty());
    EXPECT_EQ(test::contentOf(to_ / "LocalStorage/localstorage.sqlite3"), "new");
}

// Every file arrives as it was, the origin file says what WebKit would, the old folder stays,
// and a later launch copies nothing again over what the page has since stored.
TEST_F(StoredDataMove, MovesEveryFileOnceAndLeavesTheOldInPlace) {
    storeUnderFileOrigin();
    EXPECT_EQ(move(), Outcome::Moved);
    EXPECT_THAT(lines_, ElementsAre(HasSubstr("moved to vantorel://app")));
    EXPECT_TRUE(marked());
    EXPECT_EQ(test::contentOf(to_ / "origin"), originFileText("vantorel", "app"));
    for (const std::string& file : std::vector<std::string>{
             "LocalStorage/localstorage.sqlite3", "LocalStorage/localstorage.sqlite3-wal",
             "IndexedDB/" + kDatabase + "/IndexedDB.sqlite3", "IndexedDB/" + kDatabase + "/IndexedDB.sqlite3-wal",
             "IndexedDB/" + kDatabase + "/1.blob"}) {
        EXPECT_EQ(test::contentOf(to_ / file), test::contentOf(from_ / file)) << file;
        EXPECT_FALSE(test::contentOf(from_ / file).empty()) << file;
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(to_ / "IndexedDB"), fs::directory_iterator()), 1);

    write(to_ / "LocalStorage/localstorage.sqlite3", "stored since");
    EXPECT_EQ(move(), Outcome::AlreadyDone);
    EXPECT_EQ(test::contentOf(to_ / "LocalStorage/localstorage.sqlite3"), "stored since");
    EXPECT_EQ(lines_.size(), 1U);
}

// After a failed move the page ran under its origin and stored some of its own: that stays, and
// what it does not have yet is still brought over.
TEST_F(StoredDataMove, WhatThePageOriginHasOfItsOwnIsKept) {
    storeUnderFileOrigin();
    write(to_ / "origin", "as WebKit wrote it");
    write(to_ / "LocalStorage/localstorage.sqlite3", "its own");
    write(to_ / "IndexedDB/0A/IndexedDB.sqlite3", "another database");
    EXPECT_EQ(move(), Outcome::Moved);
    EXPECT_EQ(test::contentOf(to_ / "origin"), "as WebKit wrote it");
    EXPECT_EQ(test::contentOf(to_ / "LocalStorage/localstorage.sqlite3"), "its own");
    EXPECT_FALSE(fs::exists(to_ / "LocalStorage/localstorage.sqlite3-wal"));
    EXPECT_EQ(test::contentOf(to_ / "IndexedDB" / kDatabase / "1.blob"), "a blob");
    EXPECT_EQ(test::contentOf(to_ / "IndexedDB/0A/IndexedDB.sqlite3"), "another database");
}

// A copy that fails says so in one line without a folder's name, leaves the old data, no marker
// and no half-copied folder; the next launch moves it.
TEST_F(StoredDataMove, AFailedCopyLeavesTheOldDataAndNoMarkerAndIsTriedAgain) {
    storeUnderFileOrigin();
    // Something in the database's folder that cannot be copied: a named pipe.
    ASSERT_EQ(::mkfifo((from_ / "IndexedDB" / kDatabase / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(move(), Outcome::Failed);
    ASSERT_THAT(lines_, ElementsAre(HasSubstr("not moved (tried again next launch): copying an IndexedDB database: ")));
    EXPECT_THAT(lines_[0], ::testing::Not(HasSubstr(kAppFolder)));
    EXPECT_FALSE(marked());
    EXPECT_EQ(test::contentOf(from_ / "IndexedDB" / kDatabase / "1.blob"), "a blob");
    for (const auto& entry : fs::directory_iterator(to_ / "IndexedDB"))
        EXPECT_EQ(entry.path().filename().string().find(".moving"), std::string::npos) << entry.path();

    fs::remove(from_ / "IndexedDB" / kDatabase / "pipe");
    fs::remove_all(from_ / "LocalStorage");  // a database alone is stored data to move too
    EXPECT_EQ(move(), Outcome::Moved);
    EXPECT_TRUE(marked());
    EXPECT_EQ(test::contentOf(to_ / "IndexedDB" / kDatabase / "1.blob"), "a blob");
}

}  // namespace
}  // namespace nerix
