// Bookmark files: their exact text, how they read back, and pruning.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "core/bookmark_store.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "reader_fixture.h"
#include "support/temp_dir.h"

namespace cvn::reader_test {
namespace {

using cvn::testing::ReadFileBytes;
using cvn::testing::TempDir;
using cvn::testing::WriteFileBytes;

TEST(BookmarkStoreTest, FilesHoldExactlyTheFourNumbersAndReadBack) {
  TempDir dir;
  {
    CBookmarkStore store;
    store.SetFolder(dir.u16());
    ASSERT_TRUE(store.SetBookmark(u"Ops/Admin/x", LogBookmark{1000, -5, 2, false}));
    EXPECT_EQ(ReadFileBytes(dir.path() / "Ops_Admin_x"), "1000 -5 2 0");
    // A shorter text replaces the longer one whole.
    ASSERT_TRUE(store.SetBookmark(u"Ops/Admin/x", LogBookmark{0, 0, 0, true}));
    EXPECT_EQ(ReadFileBytes(dir.path() / "Ops_Admin_x"), "0 0 0 1");
  }
  WriteFileBytes(dir.path() / "Two", "7 123 1 2");
  WriteFileBytes(dir.path() / "Short", "7 123 1");
  WriteFileBytes(dir.path() / "Empty", "");

  CBookmarkStore store;
  store.SetFolder(dir.u16());
  LogBookmark bookmark;
  bool unreadable = true;
  ASSERT_TRUE(store.GetBookmark(u"Ops/Admin/x", bookmark, &unreadable));
  EXPECT_TRUE(bookmark.empty);
  EXPECT_FALSE(unreadable);
  ASSERT_TRUE(store.GetBookmark(u"Two", bookmark));
  EXPECT_EQ(bookmark.lastRecord, 7);
  EXPECT_EQ(bookmark.lastTime, 123);
  EXPECT_FALSE(bookmark.empty);  // only a fourth number of exactly 1 sets it
  for (const char16_t* name : {u"Short", u"Empty"}) {
    EXPECT_FALSE(store.GetBookmark(name, bookmark, &unreadable));
    EXPECT_TRUE(unreadable) << "file " << std::filesystem::path(std::u16string(name));
  }
  EXPECT_FALSE(store.GetBookmark(u"Missing", bookmark, &unreadable));
  EXPECT_FALSE(unreadable);
  // An unreadable file is replaced by the next update.
  ASSERT_TRUE(store.SetBookmark(u"Short", LogBookmark{9, 9, 9, false}));
  EXPECT_EQ(ReadFileBytes(dir.path() / "Short"), "9 9 9 0");
}

TEST(BookmarkStoreTest, PruneKeepsTheFilesOfTheNamedLogsOnly) {
  TempDir dir;
  CBookmarkStore store;
  store.SetFolder(dir.u16());
  ASSERT_TRUE(store.SetBookmark(u"Keep", LogBookmark{1, 1, 1, false}));
  ASSERT_TRUE(store.SetBookmark(u"Gone", LogBookmark{1, 1, 1, false}));
  WriteFileBytes(dir.path() / "A_B", "2 2 2 0");
  WriteFileBytes(dir.path() / "Case", "3 3 3 0");
  std::filesystem::create_directory(dir.path() / "Sub");

  // Names compare case-sensitively, also where file names do not.
  store.PruneBookmarks({u"Keep", u"A/B", u"case"});
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "Keep"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "A_B"));
  EXPECT_TRUE(std::filesystem::exists(dir.path() / "Sub"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Gone"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Case"));
  // The pruned log is forgotten: it counts as new when it comes back.
  LogBookmark bookmark;
  EXPECT_FALSE(store.GetBookmark(u"Gone", bookmark));
}

// A process killed in the middle of an update leaves its temporary file
// beside an intact bookmark: the old bookmark is read, the next update
// replaces both, and a prune removes a leftover without touching the log's
// bookmark.
TEST(BookmarkStoreTest, UpdateCutShortLeavesTheOldBookmark) {
  TempDir dir;
  WriteFileBytes(dir.path() / "App", "1000 -5 2 0");
  WriteFileBytes(dir.path() / "App.cvn~", "0 0 0 1 ");  // the update that was cut short
  WriteFileBytes(dir.path() / "Old.cvn~", "7");

  CBookmarkStore store;
  store.SetFolder(dir.u16());
  LogBookmark bookmark;
  ASSERT_TRUE(store.GetBookmark(u"App", bookmark));
  EXPECT_EQ(bookmark.lastRecord, 1000);
  EXPECT_FALSE(bookmark.empty);

  store.PruneBookmarks({u"App"});
  EXPECT_EQ(ReadFileBytes(dir.path() / "App"), "1000 -5 2 0");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "App.cvn~"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Old.cvn~"));

  WriteFileBytes(dir.path() / "App.cvn~", "garbage that is longer than a bookmark");
  ASSERT_TRUE(store.SetBookmark(u"App", LogBookmark{0, 0, 0, true}));
  EXPECT_EQ(ReadFileBytes(dir.path() / "App"), "0 0 0 1");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "App.cvn~"));
}

TEST_F(ReaderTest, UnreadableBookmarkIsLoggedAndTheLogCountsAsNew) {
  const std::u16string log = u"CvnReaderBroken";
  REQUIRE_REAL_EVENT_LOG(log);
  WriteRecords(log, 3);
  const std::u16string path = CCVNCore::GetEventLogsFolder() + log;
  WriteFileBytes(std::filesystem::path(path), "garbage");
  EXPECT_TRUE(Pass(log).empty());
  EXPECT_NE(Logs().find("Bookmark file cannot be read, Eventlog CvnReaderBroken counts as new: " +
                        std::filesystem::path(path).string()),
            std::string::npos);
  EXPECT_EQ(BookmarkText(log), "3 " + std::to_string(RecordTime(log, 3)) + " 1 0");
  platform::DeleteEventLog(log);
}

TEST_F(ReaderTest, LogNameWithSlashKeepsItsBookmarkUnderscored) {
  const std::u16string log = u"CvnReader/Slash";
  REQUIRE_REAL_EVENT_LOG(log);
  WriteRecords(log, 2);
  Pass(log);
  EXPECT_EQ(BookmarkText(u"CvnReader_Slash"), "2 " + std::to_string(RecordTime(log, 2)) + " 1 0");
  WriteRecords(log, 1);
  Restart();
  EXPECT_EQ(Pass(log), std::vector<uint32_t>{3});
  platform::DeleteEventLog(log);
}

}  // namespace
}  // namespace cvn::reader_test
