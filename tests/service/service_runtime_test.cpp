// The service proper, run by the service manager from the same command line
// code as CVNService: the states it reports from start to stop.
#include <gtest/gtest.h>

#include "base/text.h"
#include "platform/service_manager.h"
#include "service/service_control.h"
#include "service/service_runtime.h"
#include "service_test_support.h"
#include "support/temp_dir.h"

namespace cvn::service {
namespace {

namespace pf = cvn::platform;

TEST(ServiceRuntime, RunsUntilStoppedAndEndsWithSpecificCode0C0C) {
  cvn::testing::ScopedMachineRoot root;
  cvn::testing::RemoveServiceIfPresent(kServiceName);
  ASSERT_EQ(cvn::testing::CreateServiceEntry(
                kServiceName,
                cvn::testing::CommandNextToTest(Utf8ToUtf16(CVN_SERVICE_HOST_FILE), u"service")),
            0u);

  ASSERT_EQ(StartServiceAndWait(), 0u);
  uint32_t state = 0, win32_exit = 0, specific_exit = 0;
  ASSERT_EQ(QueryServiceState(state, win32_exit, specific_exit), 0u);
  EXPECT_EQ(state, pf::kServiceRunning);

  pf::ServiceManager manager;
  pf::Service service;
  ASSERT_EQ(manager.Open(pf::kManagerConnect), 0u);
  ASSERT_EQ(service.Open(manager, kServiceName, pf::kServiceQueryStatus | pf::kServiceInterrogate),
            0u);
  pf::ServiceStatus status;
  ASSERT_EQ(service.QueryStatus(status), 0u);
  EXPECT_EQ(status.controls_accepted, pf::kServiceAcceptStop);
  EXPECT_EQ(status.check_point, 0u);
  EXPECT_EQ(status.wait_hint, 0u);

  // Controls other than stop change nothing.
  EXPECT_EQ(service.Control(pf::kServiceControlInterrogate, status), 0u);
  EXPECT_EQ(StartServiceAndWait(), 0u);

  ASSERT_EQ(StopServiceAndWait(), 0u);
  ASSERT_EQ(QueryServiceState(state, win32_exit, specific_exit), 0u);
  EXPECT_EQ(state, pf::kServiceStopped);
  EXPECT_EQ(win32_exit, 0u);
  EXPECT_EQ(specific_exit, kStoppedSpecificExitCode);
  service.Close();
  cvn::testing::RemoveServiceIfPresent(kServiceName);
}

}  // namespace
}  // namespace cvn::service
