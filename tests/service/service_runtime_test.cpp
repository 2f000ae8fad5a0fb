// CVNService's own entry point run by the service manager, with the process's
// core: the states it reports from start to stop, the events it leaves in the
// Application log and the core's lines in the service log.
#include <gtest/gtest.h>

#include <cstdio>

#include "base/text.h"
#include "platform/file.h"
#include "platform/service_manager.h"
#include "service/service_control.h"
#include "service/service_runtime.h"
#include "service_events.h"
#include "service_test_support.h"
#include "support/temp_dir.h"

namespace cvn::service {
namespace {

namespace pf = cvn::platform;

TEST(ServiceRuntime, RunsUntilStoppedAndEndsWithSpecificCode0C0C) {
  cvn::testing::ScopedMachineRoot root;
  const bool log_keeps_events = cvn::testing::EventLogKeepsEvents();
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

  // The core ran: it logged its start and its stop.
  const std::u16string sep(1, pf::kPathSeparator);
  const std::u16string logs =
      pf::CommonAppDataFolder() + sep + u"Halvorn" + sep + u"Corvane 3" + sep + u"Logs" + sep;
  std::string log_text;
  for (const auto& name : pf::FindFiles(logs, u"CVN????????.log")) {
    pf::File file;
    uint64_t size = 0;
    uint32_t read = 0;
    if (file.Open(logs + name, pf::FileAccess::kRead, pf::FileShare::kAll,
                  pf::FileCreate::kOpenExisting) != 0 ||
        file.GetSize(size) != 0)
      continue;
    std::string bytes(size, '\0');
    if (file.Read(bytes.data(), static_cast<uint32_t>(size), read) == 0) log_text += bytes;
  }
  EXPECT_NE(log_text.find(",Service,Corvane service started.\r\n"), std::string::npos);
  EXPECT_NE(log_text.find(",Service,Corvane service stopped.\r\n"), std::string::npos);

  if (!log_keeps_events) {
    std::printf("event checks skipped: this system only stubs the classic event log (Wine)\n");
    return;
  }
  const auto events = cvn::testing::ReadEventsOf(kEventSourceName);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].id, kEventServiceStarted);
  EXPECT_EQ(events[0].strings, std::vector<std::u16string>{ReadProductVersion()});
  EXPECT_EQ(events[1].id, kEventServiceStopped);
}

}  // namespace
}  // namespace cvn::service
