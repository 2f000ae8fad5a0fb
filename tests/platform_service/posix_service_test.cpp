// Behaviour of the posix emulation that has no Windows counterpart to test
// against: recovery of a crashed service by its monitor, SIGTERM as the stop
// control of a service run directly (as systemd runs it), and a service
// process killed outright.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

#include "base/text.h"
#include "base/win_errors.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/file.h"
#include "platform/service_manager.h"
#include "service_test_support.h"
#include "support/temp_dir.h"

extern char** environ;

namespace cvn::platform {
namespace {

using cvn::testing::CreateFakeService;
using cvn::testing::WaitForState;

constexpr char16_t kName[] = u"CvnPosixTest";

class PosixServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(manager_.Open(kManagerConnect), 0u); }
  void OpenService() {
    ASSERT_EQ(service_.Open(manager_, kName,
                            kServiceQueryStatus | kServiceStop | kServiceStart |
                                kServiceChangeConfig | kServiceQueryConfig),
              0u);
  }
  std::u16string Marker() const { return dir_.u16() + u"/marker"; }
  std::string EntryFile(const char* file) const {
    return (root_.dir().path() / "services" / "cvnposixtest" / file).string();
  }

  // Runs the helper service directly, without the manager's launch.
  pid_t SpawnDirect(const char* mode) {
    ServiceConfig config;
    EXPECT_EQ(service_.QueryConfig(config), 0u);
    // The command line is "<path>" name mode.
    const std::string line = Utf16ToUtf8(config.command_line);
    const std::string path = line.substr(1, line.find('"', 1) - 1);
    std::vector<std::string> args{path, "CvnPosixTest", mode};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    EXPECT_EQ(posix_spawn(&pid, path.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    return pid;
  }

  cvn::testing::ScopedMachineRoot root_;
  cvn::testing::TempDir dir_;
  ServiceManager manager_;
  Service service_;
};

TEST_F(PosixServiceTest, CrashedServiceIsRestartedByItsRecoveryActions) {
  ASSERT_EQ(CreateFakeService(kName, u"crash_once", Marker()), 0u);
  OpenService();
  ServiceFailureActions actions;
  actions.reset_period_s = 86400;
  actions.actions = {{ServiceFailureAction::Type::kRestart, 0},
                     {ServiceFailureAction::Type::kNone, 0}};
  ASSERT_EQ(service_.SetFailureActions(actions), 0u);

  ASSERT_EQ(service_.Start(), 0u);
  // The first run crashes; the monitor counts the failure and starts it again.
  bool restarted = false;
  for (int i = 0; i < 600 && !restarted; ++i) {
    SleepMs(50);
    restarted = FileExists(Utf8ToUtf16(EntryFile("failures"))) &&
                WaitForState(service_, kServiceRunning, 10000);
  }
  ASSERT_TRUE(restarted);
  EXPECT_NE(cvn::testing::ReadFileBytes(EntryFile("failures")).find("count=1"), std::string::npos);

  ServiceStatus status;
  ASSERT_EQ(service_.Control(kServiceControlStop, status), 0u);
  ASSERT_TRUE(WaitForState(service_, kServiceStopped));
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.win32_exit_code, 0u);
}

TEST_F(PosixServiceTest, CrashWithoutRestartActionStaysStopped) {
  ASSERT_EQ(CreateFakeService(kName, u"crash_once", Marker()), 0u);
  OpenService();
  ASSERT_EQ(service_.Start(), 0u);
  ServiceStatus status;
  bool crashed = false;
  for (int i = 0; i < 600 && !crashed; ++i) {
    SleepMs(50);
    crashed = WaitForState(service_, kServiceStopped, 50) && service_.QueryStatus(status) == 0 &&
              status.win32_exit_code == 1067u;
  }
  EXPECT_TRUE(crashed);
}

TEST_F(PosixServiceTest, SigtermStopsADirectlyRunService) {
  ASSERT_EQ(CreateFakeService(kName, u"normal"), 0u);
  OpenService();
  const pid_t pid = SpawnDirect("normal");
  ASSERT_GT(pid, 0);
  ASSERT_TRUE(WaitForState(service_, kServiceRunning));
  // A second copy is refused while the first runs.
  EXPECT_EQ(service_.Start(), err::kServiceAlreadyRunning);

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  EXPECT_TRUE(WIFEXITED(wstatus));
  EXPECT_EQ(WEXITSTATUS(wstatus), 0);
  ServiceStatus status;
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.current_state, kServiceStopped);
  EXPECT_EQ(status.win32_exit_code, 0u);
}

TEST_F(PosixServiceTest, StopControlReachesADirectlyRunService) {
  ASSERT_EQ(CreateFakeService(kName, u"normal"), 0u);
  OpenService();
  const pid_t pid = SpawnDirect("normal");
  ASSERT_TRUE(WaitForState(service_, kServiceRunning));
  ServiceStatus status;
  ASSERT_EQ(service_.Control(kServiceControlStop, status), 0u);
  int wstatus = 0;
  ASSERT_EQ(waitpid(pid, &wstatus, 0), pid);
  EXPECT_TRUE(WaitForState(service_, kServiceStopped));
}

TEST_F(PosixServiceTest, KilledServiceReadsAsStoppedWith1067) {
  ASSERT_EQ(CreateFakeService(kName, u"normal"), 0u);
  OpenService();
  const pid_t pid = SpawnDirect("normal");
  ASSERT_TRUE(WaitForState(service_, kServiceRunning));
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_EQ(waitpid(pid, nullptr, 0), pid);
  ServiceStatus status;
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.current_state, kServiceStopped);
  EXPECT_EQ(status.win32_exit_code, 1067u);
  EXPECT_EQ(service_.Control(kServiceControlStop, status), err::kServiceNotActive);
}

}  // namespace
}  // namespace cvn::platform

namespace cvn::platform {
namespace {

// A machine root whose control socket path exceeds the socket address limit
// (108 bytes) still lets the stop control through.
TEST(PosixServiceLongRoot, StopReachesServiceBehindALongPath) {
  cvn::testing::TempDir base;
  std::u16string root = base.u16();
  for (int i = 0; i < 4; ++i) root += u"/a-rather-long-folder-name-for-the-machine-root";
  ASSERT_EQ(CreateFolderTree(root), 0u);
  const std::u16string previous = GetEnvironmentValue(u"CORVANE_ROOT");
  SetEnvironmentValue(u"CORVANE_ROOT", root);

  ASSERT_EQ(CreateFakeService(kName, u"normal"), 0u);
  ServiceManager manager;
  Service service;
  ASSERT_EQ(manager.Open(kManagerConnect), 0u);
  ASSERT_EQ(service.Open(manager, kName, kServiceQueryStatus | kServiceStart | kServiceStop), 0u);
  ASSERT_EQ(service.Start(), 0u);
  EXPECT_TRUE(WaitForState(service, kServiceRunning));
  // The control socket is there (the stop below does not fall back to SIGTERM).
  EXPECT_TRUE(std::filesystem::exists(std::filesystem::path(Utf16ToUtf8(root)) / "services" /
                                      "cvnposixtest" / "control.sock"));
  ServiceStatus status;
  EXPECT_EQ(service.Control(kServiceControlStop, status), 0u);
  EXPECT_TRUE(WaitForState(service, kServiceStopped));
  SetEnvironmentValue(u"CORVANE_ROOT", previous);
}

}  // namespace
}  // namespace cvn::platform
