// The service manager contract: natively against the posix emulation, under
// Wine against the Service Control Manager. The test process stays alive
// while it drives a service and removes a leftover entry before each test.
#include <gtest/gtest.h>

#include <cstdio>

#include "base/win_errors.h"
#include "platform/file.h"
#include "platform/service_manager.h"
#include "service_test_support.h"
#include "support/temp_dir.h"

namespace cvn::platform {
namespace {

using cvn::testing::CreateFakeService;
using cvn::testing::RemoveServiceIfPresent;
using cvn::testing::WaitForState;

constexpr uint32_t kAllAccess = kServiceQueryConfig | kServiceChangeConfig | kServiceQueryStatus |
                                kServiceStart | kServiceStop | kServiceInterrogate | kServiceDelete;

class ServiceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = u"CvnContract" + std::u16string(1, static_cast<char16_t>(u'A' + counter_++ % 26));
    RemoveServiceIfPresent(name_);
    ASSERT_EQ(manager_.Open(kManagerConnect | kManagerCreateService), 0u);
  }
  void TearDown() override {
    service_.Close();
    RemoveServiceIfPresent(name_);
  }

  void CreateFake(std::u16string_view mode, std::u16string_view file = {}) {
    ASSERT_EQ(CreateFakeService(name_, mode, file), 0u);
    ASSERT_EQ(service_.Open(manager_, name_, kAllAccess), 0u);
  }

  std::u16string ReleaseFile() const { return dir_.u16() + kPathSeparator + u"release"; }
  void Release() const {
    File f;
    ASSERT_EQ(f.Open(ReleaseFile(), FileAccess::kWrite, FileShare::kAll, FileCreate::kCreateAlways),
              0u);
  }

  static inline int counter_ = 0;
  cvn::testing::ScopedMachineRoot root_;
  cvn::testing::TempDir dir_;
  std::u16string name_;
  ServiceManager manager_;
  Service service_;
};

TEST_F(ServiceManagerTest, RegistrationIsStoredChangedAndDeleted) {
  ServiceConfig config;
  config.command_line = u"/opt/example/program service";
  config.display_name = u"Example Display";
  ASSERT_EQ(service_.Create(manager_, name_, config, kAllAccess), 0u);

  Service second;
  EXPECT_EQ(second.Create(manager_, name_, config, kAllAccess), err::kServiceExists);

  EXPECT_EQ(service_.SetDescription(u"A description"), 0u);
  ServiceFailureActions actions;
  actions.reset_period_s = 86400;
  using Type = ServiceFailureAction::Type;
  actions.actions = {{Type::kRestart, 0}, {Type::kRestart, 1000}, {Type::kNone, 0}};
  EXPECT_EQ(service_.SetFailureActions(actions), 0u);
  EXPECT_EQ(service_.SetStartType(ServiceStartType::kAuto), 0u);

  // A fresh handle (by another name case) sees every change; the start type
  // change left the rest alone.
  std::u16string other_case = name_;
  other_case[0] = u'c';
  Service reopened;
  ASSERT_EQ(reopened.Open(manager_, other_case, kServiceQueryConfig | kServiceQueryStatus), 0u);
  ServiceConfig read;
  ASSERT_EQ(reopened.QueryConfig(read), 0u);
  EXPECT_EQ(read.command_line, config.command_line);
  EXPECT_EQ(read.display_name, config.display_name);
  EXPECT_EQ(read.start_type, ServiceStartType::kAuto);
  EXPECT_EQ(read.service_type, kServiceOwnProcess);
  std::u16string description;
  ASSERT_EQ(reopened.QueryDescription(description), 0u);
  EXPECT_EQ(description, u"A description");
  ServiceFailureActions read_actions;
  const uint32_t query_actions = reopened.QueryFailureActions(read_actions);
  if (query_actions == 124u) {
    // Wine 8 stores failure actions but cannot read them back (invalid level).
    std::printf("note: this service manager cannot read failure actions back; not checked\n");
  } else {
    ASSERT_EQ(query_actions, 0u);
    EXPECT_EQ(read_actions.reset_period_s, 86400u);
    ASSERT_EQ(read_actions.actions.size(), 3u);
    EXPECT_EQ(read_actions.actions[1].type, Type::kRestart);
    EXPECT_EQ(read_actions.actions[1].delay_ms, 1000u);
  }
  ServiceStatus status;
  ASSERT_EQ(reopened.QueryStatus(status), 0u);
  EXPECT_EQ(status.current_state, kServiceStopped);
  reopened.Close();

  ASSERT_EQ(service_.Delete(), 0u);
  service_.Close();
  Service gone;
  EXPECT_EQ(gone.Open(manager_, name_, kServiceQueryStatus), err::kServiceDoesNotExist);
}

TEST_F(ServiceManagerTest, StartControlAndStop) {
  CreateFake(u"normal");
  ServiceStatus status;
  EXPECT_EQ(service_.Control(kServiceControlStop, status), err::kServiceNotActive);

  ASSERT_EQ(service_.Start(), 0u);
  ASSERT_TRUE(WaitForState(service_, kServiceRunning));
  EXPECT_EQ(service_.Start(), err::kServiceAlreadyRunning);
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.controls_accepted & kServiceAcceptStop, kServiceAcceptStop);
  EXPECT_EQ(service_.Control(kServiceControlInterrogate, status), 0u);

  ASSERT_EQ(service_.Control(kServiceControlStop, status), 0u);
  EXPECT_TRUE(status.current_state == kServiceStopPending ||
              status.current_state == kServiceStopped);
  ASSERT_TRUE(WaitForState(service_, kServiceStopped));
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.win32_exit_code, 0u);
  EXPECT_EQ(service_.Control(kServiceControlStop, status), err::kServiceNotActive);

  // It can be started again after a stop.
  ASSERT_EQ(service_.Start(), 0u);
  ASSERT_TRUE(WaitForState(service_, kServiceRunning));
  ASSERT_EQ(service_.Control(kServiceControlStop, status), 0u);
  ASSERT_TRUE(WaitForState(service_, kServiceStopped));
}

TEST_F(ServiceManagerTest, StopIsRefusedWhileStartPending) {
  CreateFake(u"slow_start", ReleaseFile());
  ASSERT_EQ(service_.Start(), 0u);
  ServiceStatus status;
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.current_state, kServiceStartPending);
  // Windows refuses with 1061 (cannot accept the control now); Wine 8 says
  // 1052 (not a valid control). Either way the service keeps starting.
  const uint32_t refused = service_.Control(kServiceControlStop, status);
  EXPECT_TRUE(refused == err::kServiceCannotAcceptCtrl || refused == 1052u) << refused;
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.current_state, kServiceStartPending);

  Release();
  ASSERT_TRUE(WaitForState(service_, kServiceRunning));
  ASSERT_EQ(service_.Control(kServiceControlStop, status), 0u);
  ASSERT_TRUE(WaitForState(service_, kServiceStopped));
}

TEST_F(ServiceManagerTest, ExitCodeOfAFailedStartIsVisible) {
  CreateFake(u"fail_start");
  const uint32_t rc = service_.Start();
  // The start call may already see the end of the service; either way the
  // status records its exit code.
  EXPECT_TRUE(rc == 0 || rc == 1064u) << rc;
  ASSERT_TRUE(WaitForState(service_, kServiceStopped));
  ServiceStatus status;
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.win32_exit_code, 1064u);
}

TEST_F(ServiceManagerTest, MissingProgramFailsToStart) {
  ServiceConfig config;
  config.command_line = dir_.u16() + kPathSeparator + u"no-such-program.exe service";
  ASSERT_EQ(service_.Create(manager_, name_, config, kAllAccess), 0u);
  EXPECT_EQ(service_.Start(), err::kFileNotFound);
  ServiceStatus status;
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.current_state, kServiceStopped);
}

TEST_F(ServiceManagerTest, DeletedRunningServiceGoesWhenItStops) {
  CreateFake(u"normal");
  ASSERT_EQ(service_.Start(), 0u);
  ASSERT_TRUE(WaitForState(service_, kServiceRunning));
  ASSERT_EQ(service_.Delete(), 0u);

  ServiceStatus status;
  ASSERT_EQ(service_.QueryStatus(status), 0u);
  EXPECT_EQ(status.current_state, kServiceRunning);
  ServiceConfig config;
  config.command_line = u"x service";
  Service again;
  EXPECT_EQ(again.Create(manager_, name_, config, kAllAccess), 1072u);

  ASSERT_EQ(service_.Control(kServiceControlStop, status), 0u);
  service_.Close();
  bool gone = false;
  for (int i = 0; i < 400 && !gone; ++i) {
    Service probe;
    gone = probe.Open(manager_, name_, kServiceQueryStatus) == err::kServiceDoesNotExist;
    if (!gone) {
      WaitForState(probe, kServiceStopped, 50);
    }
  }
  EXPECT_TRUE(gone);
}

TEST(ServiceManagerErrors, MissingServiceAndBadNames) {
  cvn::testing::ScopedMachineRoot root;
  ServiceManager manager;
  ASSERT_EQ(manager.Open(kManagerConnect), 0u);
  Service service;
  EXPECT_EQ(service.Open(manager, u"CvnNoSuchService", kServiceQueryStatus),
            err::kServiceDoesNotExist);
  ServiceConfig config;
  config.command_line = u"x service";
  // Creating needs create access to the manager.
  EXPECT_EQ(service.Create(manager, u"CvnNoAccess", config, kServiceQueryStatus),
            err::kAccessDenied);
  ServiceManager creator;
  ASSERT_EQ(creator.Open(kManagerConnect | kManagerCreateService), 0u);
  EXPECT_EQ(service.Create(creator, u"bad/name\\", config, kServiceQueryStatus), 123u);
}

TEST(ServiceExecutable, PathAndVersion) {
  std::u16string path;
  ASSERT_EQ(ExecutablePath(path), 0u);
  EXPECT_NE(path.find(u"platform_service_tests"), std::u16string::npos);
  std::u16string tiny;
  EXPECT_EQ(ExecutablePath(tiny, 3), err::kInsufficientBuffer);
}

}  // namespace
}  // namespace cvn::platform
