// The crash folder and file are closed to other users, and the signal's
// default action still ends the program after the report.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "crash_handler_test.h"

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

}  // namespace
}  // namespace cvn::testing
