// The cache file: its exact layout, and files damaged by a crash or by hand,
// from which every complete record must still be read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "syslog/syslog_cache.h"

namespace cvn {
namespace {

using cvn::testing::ReadFileBytes;
using cvn::testing::WriteFileBytes;

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::string Record(const std::string& message) {
  std::string s;
  s.push_back(static_cast<char>(message.size() & 0xFF));
  s.push_back(static_cast<char>((message.size() >> 8) & 0xFF));
  return s + message;
}

class SyslogCacheTest : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir_.path() / "syslogs.cache"; }
  std::u16string Path() const { return dir_.u16() + u"/syslogs.cache"; }
  CSyslogCache MakeCache() {
    return CSyslogCache(Path(), [this](const std::string& line) { reports_.push_back(line); });
  }
  // Every record the cache hands out, oldest first, consuming them.
  std::vector<std::string> Drain(CSyslogCache& cache) {
    std::vector<std::string> out;
    std::string message;
    while (cache.count() > 0 && cache.ReadOldest(message) == 0) {
      out.push_back(message);
      EXPECT_EQ(cache.RemoveOldest(), 0u);
    }
    return out;
  }

  cvn::testing::TempDir dir_;
  std::vector<std::string> reports_;
};

TEST_F(SyslogCacheTest, LayoutByteForByteAndTheHeaderFollowsEveryStep) {
  CSyslogCache cache = MakeCache();
  ASSERT_EQ(cache.Create(), 0u);
  EXPECT_EQ(ReadFileBytes(File()), U32(8) + U32(0));

  const std::string big(70000, 'x');
  std::string big_stored = big.substr(0, 4464);
  big_stored[0] = 'y';
  std::string big_message = big;
  big_message[0] = 'y';
  ASSERT_EQ(cache.Append("<14>Mar  5 07:04:09 a"), 0u);
  ASSERT_EQ(cache.Append(big_message), 0u);  // low 16 bits of 70000: 4464
  ASSERT_EQ(cache.Append(""), 0u);
  const std::string records =
      Record("<14>Mar  5 07:04:09 a") + "\x70\x11" + big_stored + Record("");
  EXPECT_EQ(ReadFileBytes(File()), U32(8) + U32(3) + records);

  std::string message;
  ASSERT_EQ(cache.ReadOldest(message), 0u);
  EXPECT_EQ(message, "<14>Mar  5 07:04:09 a");
  ASSERT_EQ(cache.RemoveOldest(), 0u);
  EXPECT_EQ(ReadFileBytes(File()), U32(8 + 23) + U32(2) + records);
  EXPECT_EQ(Drain(cache), (std::vector<std::string>{big_stored, ""}));
  EXPECT_EQ(ReadFileBytes(File()).substr(0, 8), U32(8 + 23 + 4466 + 2) + U32(0));

  cache.Delete();
  EXPECT_FALSE(std::filesystem::exists(File()));
  EXPECT_TRUE(reports_.empty());
}

// Damaged files: what is kept, what is reported, and that appending after the
// repair keeps the records framed.
TEST_F(SyslogCacheTest, DamagedFilesKeepEveryCompleteRecord) {
  const std::string r1 = Record("first"), r2 = Record("second"), r3 = Record("third");
  struct Case {
    const char* what;
    std::string bytes;
    std::vector<std::string> kept;
    bool reported;
  };
  const std::vector<Case> cases = {
      {"crash inside the last record",
       U32(8) + U32(2) + r1 + r2 + r3.substr(0, 4),
       {"first", "second"},
       true},
      {"crash inside the length of the last record",
       U32(8) + U32(2) + r1 + r2 + r3.substr(0, 1),
       {"first", "second"},
       true},
      {"crash before the count included the last record",
       U32(8) + U32(2) + r1 + r2 + r3,
       {"first", "second", "third"},
       true},
      {"length pointing past the end", U32(8) + U32(3) + r1 + "\xFF\x7F" + "abc", {"first"}, true},
      {"read offset inside a record", U32(10) + U32(1) + r1 + r2, {"first", "second"}, true},
      {"read offset past the end", U32(0xFFFFFFF0u) + U32(9) + r1, {"first"}, true},
      {"read offset inside the header", U32(3) + U32(1) + r1, {"first"}, true},
      {"count too high", U32(8 + 7) + U32(5) + r1 + r2, {"second"}, true},
      {"intact, part sent", U32(8 + 7) + U32(2) + r1 + r2 + r3, {"second", "third"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    reports_.clear();
    WriteFileBytes(File(), c.bytes);
    {
      CSyslogCache cache = MakeCache();
      ASSERT_TRUE(cache.OpenExisting());
      EXPECT_EQ(cache.count(), c.kept.size());
      ASSERT_EQ(cache.Append("new"), 0u);
      cache.Close();
    }
    CSyslogCache cache = MakeCache();
    ASSERT_TRUE(cache.OpenExisting());
    std::vector<std::string> expected = c.kept;
    expected.push_back("new");
    EXPECT_EQ(Drain(cache), expected);
    EXPECT_EQ(!reports_.empty(), c.reported);
    cache.Delete();
  }
}

TEST_F(SyslogCacheTest, FilesWithoutReadableRecordsAreRemoved) {
  for (const std::string& bytes : {std::string("\x08\x00\x00", 3), U32(8) + U32(0),
                                   U32(8) + U32(4) +
                                       std::string("\x05\x00"
                                                   "ab",
                                                   4),
                                   U32(15) + U32(0) + Record("first")}) {
    WriteFileBytes(File(), bytes);
    CSyslogCache cache = MakeCache();
    EXPECT_FALSE(cache.OpenExisting());
    EXPECT_FALSE(cache.IsOpen());
    EXPECT_FALSE(std::filesystem::exists(File()));
  }
  CSyslogCache cache = MakeCache();
  EXPECT_FALSE(cache.OpenExisting());  // no file at all
}

}  // namespace
}  // namespace cvn
