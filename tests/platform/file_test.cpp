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
