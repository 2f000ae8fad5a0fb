#include "platform/file.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "base/win_errors.h"
#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

using testing::TempDir;

std::u16string Join(const std::u16string& folder, const std::u16string& name) {
  return WithTrailingSeparator(folder) + name;
}

TEST(Folders, CreateWithAllParentsReportsExisting) {
  TempDir tmp;
  const std::u16string deep = Join(Join(Join(tmp.u16(), u"a"), u"b c"), u"d");
  EXPECT_EQ(CreateFolderTree(deep), 0u);
  EXPECT_TRUE(FolderExists(deep));
  EXPECT_EQ(CreateFolderTree(deep), err::kAlreadyExists);
  EXPECT_EQ(CreateFolderTree(WithTrailingSeparator(deep)), err::kAlreadyExists);
}

TEST(Folders, TrailingSeparatorIsAddedOnce) {
  EXPECT_EQ(WithTrailingSeparator(u""), u"");
  const std::u16string once = WithTrailingSeparator(u"x");
  EXPECT_EQ(once.size(), 2u);
  EXPECT_EQ(WithTrailingSeparator(once), once);
}

TEST(Files, OpenModesAndErrorNumbers) {
  TempDir tmp;
  const std::u16string path = Join(tmp.u16(), u"f.bin");
  File f;
  EXPECT_EQ(f.Open(path, FileAccess::kRead, FileShare::kRead, FileCreate::kOpenExisting),
            err::kFileNotFound);
  EXPECT_EQ(f.Open(Join(Join(tmp.u16(), u"missing"), u"f"), FileAccess::kRead, FileShare::kRead,
                   FileCreate::kOpenExisting),
            err::kPathNotFound);
  ASSERT_EQ(f.Open(path, FileAccess::kReadWrite, FileShare::kRead, FileCreate::kCreateNew), 0u);
  ASSERT_EQ(f.Write("hello", 5), 0u);
  EXPECT_EQ(f.Sync(), 0u);
  f.Close();
  EXPECT_EQ(f.Open(path, FileAccess::kWrite, FileShare::kRead, FileCreate::kCreateNew),
            err::kFileExists);

  // Open-always keeps the content; append after seeking to the end.
  ASSERT_EQ(f.Open(path, FileAccess::kReadWrite, FileShare::kRead, FileCreate::kOpenAlways), 0u);
  ASSERT_EQ(f.Seek(0, SeekFrom::kEnd), 0u);
  ASSERT_EQ(f.Write(" world", 6), 0u);
  uint64_t size = 0;
  EXPECT_EQ(f.GetSize(size), 0u);
  EXPECT_EQ(size, 11u);
  int64_t pos = -1;
  ASSERT_EQ(f.Seek(5, SeekFrom::kBegin, &pos), 0u);
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(f.Truncate(), 0u);
  ASSERT_EQ(f.Seek(0, SeekFrom::kBegin), 0u);
  char buf[32] = {};
  uint32_t read = 0;
  EXPECT_EQ(f.Read(buf, sizeof buf, read), 0u);
  EXPECT_EQ(std::string(buf, read), "hello");
  EXPECT_EQ(f.Read(buf, sizeof buf, read), 0u);
  EXPECT_EQ(read, 0u);  // end of file
  f.Close();

  ASSERT_EQ(f.Open(path, FileAccess::kWrite, FileShare::kRead, FileCreate::kCreateAlways), 0u);
  EXPECT_EQ(f.GetSize(size), 0u);
  EXPECT_EQ(size, 0u);
}

TEST(Files, ReplaceRemoveAndExistence) {
  TempDir tmp;
  const std::u16string a = Join(tmp.u16(), u"a.txt");
  const std::u16string b = Join(tmp.u16(), u"b.txt");
  for (const auto* p : {&a, &b}) {
    File f;
    ASSERT_EQ(f.Open(*p, FileAccess::kWrite, FileShare::kNone, FileCreate::kCreateAlways), 0u);
    f.Write(p == &a ? "A" : "B", 1);
  }
  EXPECT_EQ(ReplaceFile(a, b), 0u);
  EXPECT_FALSE(FileExists(a));
  EXPECT_EQ(testing::ReadFileBytes(tmp.path() / "b.txt"), "A");
  EXPECT_EQ(RemoveFile(b), 0u);
  EXPECT_FALSE(FileExists(b));
  EXPECT_EQ(RemoveFile(b), err::kFileNotFound);
  EXPECT_FALSE(FileExists(tmp.u16()));  // a folder is not a file
}

// Whoever may plant a link where the service writes must not aim its writes
// at another file; reading through a link stays possible.
TEST(Files, WritesNeverGoThroughALink) {
  TempDir tmp;
  testing::WriteFileBytes(tmp.path() / "secret", "kept");
  std::error_code ec;
  std::filesystem::create_symlink(tmp.path() / "secret", tmp.path() / "today.log", ec);
  if (ec) GTEST_SKIP() << "no symbolic links here: " << ec.message();
  const std::u16string link = Join(tmp.u16(), u"today.log");
  for (const FileAccess access : {FileAccess::kWrite, FileAccess::kReadWrite}) {
    for (const FileCreate create : {FileCreate::kOpenAlways, FileCreate::kCreateAlways,
                                    FileCreate::kOpenExisting, FileCreate::kTruncateExisting}) {
      File f;
      EXPECT_EQ(f.Open(link, access, FileShare::kRead, create), err::kStoppedOnSymlink)
          << static_cast<int>(access) << " " << static_cast<int>(create);
      EXPECT_FALSE(f.IsOpen());
    }
  }
  EXPECT_EQ(testing::ReadFileBytes(tmp.path() / "secret"), "kept");
  File reader;
  EXPECT_EQ(reader.Open(link, FileAccess::kRead, FileShare::kRead, FileCreate::kOpenExisting), 0u);
}

// What others may write, they could steer: such a file or folder is not
// private; a folder with the sticky bit keeps each user's entries their own.
TEST(Files, PrivatePathsAreThoseNobodyElseMayWrite) {
  if (kPathSeparator == u'\\') GTEST_SKIP() << "mode bits are posix's";
  using std::filesystem::perms;
  const struct {
    perms mode;
    bool folder;
    bool is_private;
  } cases[] = {
      {perms::owner_all, true, true},
      {perms::owner_all | perms::group_read | perms::others_read, false, true},
      {perms::owner_all | perms::others_write, false, false},
      {perms::all, true, false},
      {perms::all | perms::sticky_bit, true, true},
  };
  TempDir tmp;
  for (const auto& c : cases) {
    const std::filesystem::path p = tmp.path() / "p";
    std::filesystem::remove_all(p);
    if (c.folder) {
      std::filesystem::create_directory(p);
    } else {
      testing::WriteFileBytes(p, "x");
    }
    std::filesystem::permissions(p, c.mode);
    std::string reason;
    EXPECT_EQ(CheckPrivatePath(p.u16string(), reason) == 0, c.is_private)
        << static_cast<int>(c.mode) << " " << reason;
    EXPECT_EQ(reason.empty(), c.is_private);
  }
  std::string reason;
  EXPECT_EQ(CheckPrivatePath((tmp.path() / "none").u16string(), reason), err::kFileNotFound);
}

// The data folder is closed at every start, whatever it was opened to.
TEST(Files, AClosedFolderAndWhatItHoldsArePrivate) {
  TempDir tmp;
  const std::filesystem::path folder = tmp.path() / "Corvane 3";
  std::filesystem::create_directory(folder);
  testing::WriteFileBytes(folder / "settings.cvncfg", "x");
  std::filesystem::permissions(folder, std::filesystem::perms::all);
  ASSERT_EQ(CloseFolderToOthers(folder.u16string()), 0u);
  std::string reason;
  EXPECT_EQ(CheckPrivatePath(folder.u16string(), reason), 0u) << reason;
  EXPECT_EQ(CheckPrivatePath((folder / "settings.cvncfg").u16string(), reason), 0u) << reason;
  EXPECT_EQ(CloseFolderToOthers((folder / "new" / "deeper").u16string()), 0u);
  EXPECT_TRUE(FolderExists((folder / "new" / "deeper").u16string()));
}

TEST(Files, FindByPattern) {
  TempDir tmp;
  for (const char* name : {"CVN20161208.log", "CVN20161209.log", "cvn20161210.LOG",
                           "CVN2016120.log", "CVN201612081.log", "other.log"}) {
    testing::WriteFileBytes(tmp.path() / name, "x");
  }
  std::filesystem::create_directory(tmp.path() / "sub");
  auto names = FindFiles(tmp.u16(), u"CVN????????.log");
  std::sort(names.begin(), names.end());
  const std::vector<std::u16string> expected = {u"CVN20161208.log", u"CVN20161209.log",
                                                u"cvn20161210.LOG"};
  EXPECT_EQ(names, expected);
  EXPECT_EQ(FindFiles(tmp.u16(), u"*.log").size(), 6u);
  EXPECT_TRUE(FindFiles(Join(tmp.u16(), u"nothing"), u"*").empty());
}

TEST(Patterns, WildcardsMatchLikeWindows) {
  EXPECT_TRUE(MatchesPattern(u"abc", u"a?c"));
  EXPECT_TRUE(MatchesPattern(u"abc", u"*"));
  EXPECT_TRUE(MatchesPattern(u"abc", u"a*"));
  EXPECT_TRUE(MatchesPattern(u"aXbXc", u"a*b*c"));
  EXPECT_TRUE(MatchesPattern(u"ABC", u"abc"));
  EXPECT_FALSE(MatchesPattern(u"ab", u"a?c"));
  EXPECT_FALSE(MatchesPattern(u"abcd", u"a?c"));
  EXPECT_FALSE(MatchesPattern(u"", u"?"));
  EXPECT_TRUE(MatchesPattern(u"", u"*"));
}

TEST(CommonAppData, LivesUnderTheMachineRootAndExists) {
  testing::ScopedMachineRoot root;
  const std::u16string folder = CommonAppDataFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(FolderExists(folder));
}

}  // namespace
}  // namespace cvn::platform
