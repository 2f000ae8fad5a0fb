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

const std::string kSignature("\0\0\0\0CVSC", 8);

// A record of the current layout, and one of the earlier layout.
std::string Record(const std::string& message) {
  return U32(static_cast<uint32_t>(message.size())) + message;
}

std::string Old(const std::string& message) {
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
  EXPECT_EQ(ReadFileBytes(File()), kSignature + U32(16) + U32(0));

  // Longer than a 16-bit length holds: stored and read back whole.
  std::string big(90115, 'x');
  big[0] = 'y';
  big.back() = 'z';
  ASSERT_EQ(cache.Append("<14>Mar  5 07:04:09 a"), 0u);
  ASSERT_EQ(cache.Append(big), 0u);
  ASSERT_EQ(cache.Append(""), 0u);
  const std::string records = Record("<14>Mar  5 07:04:09 a") + Record(big) + Record("");
  EXPECT_EQ(ReadFileBytes(File()), kSignature + U32(16) + U32(3) + records);

  std::string message;
  ASSERT_EQ(cache.ReadOldest(message), 0u);
  EXPECT_EQ(message, "<14>Mar  5 07:04:09 a");
  ASSERT_EQ(cache.RemoveOldest(), 0u);
  EXPECT_EQ(ReadFileBytes(File()), kSignature + U32(16 + 25) + U32(2) + records);
  cache.Close();
  ASSERT_TRUE(cache.OpenExisting());
  EXPECT_EQ(Drain(cache), (std::vector<std::string>{big, ""}));
  EXPECT_EQ(ReadFileBytes(File()).substr(8, 8), U32(16 + 25 + 4 + 90115 + 4) + U32(0));

  cache.Delete();
  EXPECT_FALSE(std::filesystem::exists(File()));
  EXPECT_TRUE(reports_.empty());
}

// A file of the earlier layout (2-byte lengths, 8-byte header) is read as it
// is and appended to in its layout while the messages fit; a longer message
// moves the records not yet sent into the current layout first.
TEST_F(SyslogCacheTest, EarlierLayoutIsReadAndUpgradedForALongMessage) {
  const std::string earlier = Old("first") + Old("second") + Old("third");
  WriteFileBytes(File(), U32(8 + 7) + U32(2) + earlier);
  CSyslogCache cache = MakeCache();
  ASSERT_TRUE(cache.OpenExisting());
  EXPECT_EQ(cache.count(), 2u);
  ASSERT_EQ(cache.Append("fourth"), 0u);
  EXPECT_EQ(ReadFileBytes(File()), U32(8 + 7) + U32(3) + earlier + Old("fourth"));

  std::string message;
  ASSERT_EQ(cache.ReadOldest(message), 0u);
  EXPECT_EQ(message, "second");
  const std::string big(70000, 'b');
  ASSERT_EQ(cache.Append(big), 0u);
  EXPECT_EQ(ReadFileBytes(File()), kSignature + U32(16) + U32(4) + Record("second") +
                                       Record("third") + Record("fourth") + Record(big));
  ASSERT_EQ(cache.RemoveOldest(), 0u);  // the record read before the upgrade
  cache.Close();
  ASSERT_TRUE(cache.OpenExisting());
  EXPECT_EQ(Drain(cache), (std::vector<std::string>{"third", "fourth", big}));
  EXPECT_TRUE(reports_.empty());
}

// Damaged files: what is kept, what is reported, and that appending after the
// repair keeps the records framed.
TEST_F(SyslogCacheTest, DamagedFilesKeepEveryCompleteRecord) {
  const std::string r1 = Old("first"), r2 = Old("second"), r3 = Old("third");
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
      {"current layout, crash inside the last record",
       kSignature + U32(16) + U32(2) + Record("first") + Record("second") +
           Record("third").substr(0, 6),
       {"first", "second"},
       true},
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
                                   U32(15) + U32(0) + Old("first"), kSignature + U32(16)}) {
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
