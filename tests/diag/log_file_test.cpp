#include "diag/log_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <thread>
#include <vector>

#include "base/text.h"
#include "platform/file.h"
#include "support/local_time.h"
#include "support/temp_dir.h"

namespace cvn {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

// Seconds since 1970 of a local date and time.
int64_t Local(int year, int month, int day, int hour, int minute, int second) {
  return cvn::testing::LocalSeconds(year, month, day, hour, minute, second);
}

std::vector<std::string> LogNames(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& name : platform::FindFiles(dir.u16(), u"*")) names.push_back(Utf16ToUtf8(name));
  std::sort(names.begin(), names.end());
  return names;
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.folder = dir_.u16();  // no trailing separator: the writer adds one
    log_.SetClockForTesting([this] { return now_; });
  }
  TempDir dir_;
  CLogFile log_;
  int64_t now_ = Local(2016, 12, 8, 14, 5, 9);
};

TEST_F(LogFileTest, LineLayout) {
  log_.Write('N', "Service", "Settings loaded");
  char epoch[16];
  std::snprintf(epoch, sizeof epoch, "%010d", static_cast<int>(now_));
  EXPECT_EQ(ReadFileBytes(dir_.path() / "CVN20161208.log"),
            std::string(epoch) + ",N,12/08/16 14:05:09,Service,Settings loaded\r\n");
}

TEST_F(LogFileTest, ControlCharactersAreEscapedAndLinesAppended) {
  log_.Write('E', "Syslog", "a,b\r\n1481205909,A,forged\x1b]0;t\x07\t\xC3\xA9");
  log_.Write('A', "Server", "");
  const std::string text = ReadFileBytes(dir_.path() / "CVN20161208.log");
  EXPECT_NE(text.find(",E,12/08/16 14:05:09,Syslog,a,b\\r\\n1481205909,A,forged\\x1B]0;t\\x07"
                      "\\t\xC3\xA9\r\n"),
            std::string::npos)
      << text;
  EXPECT_TRUE(text.ends_with(",A,12/08/16 14:05:09,Server,\r\n")) << text;
}

TEST_F(LogFileTest, CreatesMissingFolders) {
  log_.folder = (dir_.path() / "x" / "y").u16string();
  log_.Write('N', "Service", "m");
  EXPECT_FALSE(ReadFileBytes(dir_.path() / "x" / "y" / "CVN20161208.log").empty());
}

TEST_F(LogFileTest, KeepCountDeletesTheOldestOnceAtStart) {
  for (const char* name : {"CVN20161204.log", "CVN20161205.log", "CVN20161206.log",
                           "CVN20161207.log", "CVN20161208.log", "notes.txt"}) {
    WriteFileBytes(dir_.path() / name, "old\r\n");
  }
  log_.keep_count = 3;
  log_.Write('N', "Service", "first");
  EXPECT_EQ(LogNames(dir_), (std::vector<std::string>{"CVN20161206.log", "CVN20161207.log",
                                                      "CVN20161208.log", "notes.txt"}));
  // Later lines of the same day do not run the clean-up again.
  WriteFileBytes(dir_.path() / "CVN20161201.log", "x");
  log_.Write('N', "Service", "second");
  EXPECT_EQ(LogNames(dir_).size(), 5u);
}

TEST_F(LogFileTest, KeepCountZeroNeverDeletes) {
  for (const char* name : {"CVN20161201.log", "CVN20161202.log"}) {
    WriteFileBytes(dir_.path() / name, "x");
  }
  log_.keep_count = 0;
  log_.Write('N', "Service", "m");
  EXPECT_EQ(LogNames(dir_).size(), 3u);
}

TEST_F(LogFileTest, FirstLineAfterMidnightStartsANewFileAndCleansUp) {
  log_.keep_count = 1;
  now_ = Local(2016, 12, 8, 23, 59, 59);
  log_.Write('N', "Service", "before");
  now_ = Local(2016, 12, 9, 0, 0, 1);
  log_.Write('N', "Service", "after");
  EXPECT_EQ(LogNames(dir_), (std::vector<std::string>{"CVN20161209.log"}));
  const std::string text = ReadFileBytes(dir_.path() / "CVN20161209.log");
  EXPECT_NE(text.find(",12/09/16 00:00:01,Service,after\r\n"), std::string::npos);
}

TEST_F(LogFileTest, UnwritableFolderLosesTheLineQuietly) {
  WriteFileBytes(dir_.path() / "file", "x");
  log_.folder = (dir_.path() / "file" / "sub").u16string();
  log_.Write('N', "Service", "lost");  // must neither throw nor crash
  EXPECT_EQ(ReadFileBytes(dir_.path() / "file"), "x");
}

// A reload moves the folder while other threads write: every line lands whole
// in one of the two folders, none is lost or torn.
TEST_F(LogFileTest, ConfigureWhileOtherThreadsWrite) {
  const std::u16string a = (dir_.path() / "a").u16string();
  const std::u16string b = (dir_.path() / "b").u16string();
  log_.Configure(a, 5);
  constexpr int kWriters = 2, kLines = 200;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&] {
      for (int i = 0; i < kLines; ++i) log_.Write('N', "Trace", "line of a writer thread");
    });
  }
  for (int i = 0; i < 100; ++i) log_.Configure(i % 2 == 0 ? b : a, 5 + i % 3);
  for (auto& t : writers) t.join();

  const std::string text = ReadFileBytes(dir_.path() / "a" / "CVN20161208.log") +
                           ReadFileBytes(dir_.path() / "b" / "CVN20161208.log");
  const std::string line = ",N,12/08/16 14:05:09,Trace,line of a writer thread\r\n";
  size_t count = 0;
  for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) ++count;
  EXPECT_EQ(count, static_cast<size_t>(kWriters * kLines));
  EXPECT_EQ(text.size(), count * (10 + line.size()));
}

}  // namespace
}  // namespace cvn
