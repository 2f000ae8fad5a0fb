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

}  // namespace
}  // namespace cvn::testing
