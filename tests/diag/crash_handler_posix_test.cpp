// The crash folder and file are closed to other users, and the signal's
// default action still ends the program after the report.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "crash_handler_test.h"
#include "platform/posix/zone_offsets.h"

namespace cvn::testing {
namespace {

TEST(CrashHandlerPosix, FolderAndFileForTheOwnerOnlyAndTheSignalStillKills) {
  TempDir dir;
  const std::filesystem::path folder = dir.path() / "CrashDumps";
  const CrashRun run = RunCrashProgram(folder);
  ASSERT_TRUE(WIFEXITED(run.status));
  // The shell reports a child killed by a signal as 128 + the signal.
  EXPECT_EQ(WEXITSTATUS(run.status), 128 + SIGSEGV);
  ASSERT_EQ(run.files.size(), 1u);
  struct stat st = {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(stat(run.files[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(st.st_uid, geteuid());
  EXPECT_EQ(run.files[0].extension(), ".txt");
}

TEST(CrashHandlerPosix, AWorkerThreadThatOverflowsItsStackStillGetsItsReport) {
  TempDir dir;
  const CrashRun run = RunCrashProgram(dir.path(), "overflow");
  ASSERT_TRUE(WIFEXITED(run.status));
  EXPECT_EQ(WEXITSTATUS(run.status), 128 + SIGSEGV);
  ASSERT_EQ(run.files.size(), 1u);
  // The walk ends after its 54 frames of the endless recursion.
  size_t frames = 0;
  for (const std::string& line : run.lines) frames += line.rfind("  +", 0) == 0 ? 1 : 0;
  EXPECT_EQ(frames, 54u) << run.report;
}

// The offset the report uses at the moment of a crash is the zone's at that
// moment, whatever it was at installation: the table loaded at start agrees
// with the C library every few hours over the years and on both sides of
// every change.
TEST(CrashHandlerPosix, ZoneOffsetAtAnyMomentMatchesTheZoneRules) {
  const char* old = std::getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  const int64_t from = 1700000000;  // November 2023
  const int64_t to = from + 4 * 365 * 86400;
  // Summer time, a half-hour one in the south, a month-long break of summer
  // time, and a zone without changes.
  for (const char* zone : {"Europe/Berlin", "Australia/Lord_Howe", "Africa/Casablanca", "UTC"}) {
    setenv("TZ", zone, 1);
    platform::posix::LoadZoneOffsets(from, to);
    auto expect_at = [zone](int64_t t) {
      const time_t value = static_cast<time_t>(t);
      struct tm local = {};
      ASSERT_NE(localtime_r(&value, &local), nullptr);
      EXPECT_EQ(platform::posix::ZoneOffsetAt(t), local.tm_gmtoff) << zone << " at " << t;
    };
    int64_t last = platform::posix::ZoneOffsetAt(from);
    int changes = 0;
    for (int64_t t = from; t < to; t += 3 * 3600 + 17) {
      expect_at(t);
      if (platform::posix::ZoneOffsetAt(t) == last) continue;
      // Narrow down to the change and check the seconds on either side.
      int64_t low = t - 3 * 3600 - 17, high = t;
      while (high - low > 1) {
        const int64_t mid = low + (high - low) / 2;
        (platform::posix::ZoneOffsetAt(mid) == last ? low : high) = mid;
      }
      expect_at(low);
      expect_at(high);
      last = platform::posix::ZoneOffsetAt(t);
      ++changes;
    }
    EXPECT_EQ(changes > 0, std::string(zone) != "UTC") << zone;
  }
  if (old != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace cvn::testing
