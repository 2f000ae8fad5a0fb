// The service main function and control handler in this process, with the
// status reports recorded and a core that only records its calls: the order of
// the reports, the events that frame the core's run, and the ways the service
// main gives up early.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/text.h"
#include "platform/service_manager.h"
#include "platform/sync.h"
#include "service/service_runtime.h"
#include "service_events.h"
#include "support/temp_dir.h"

namespace cvn::service {
namespace {

namespace pf = cvn::platform;

class RecordingReporter : public StatusReporter {
 public:
  uint32_t RegisterHandler(std::u16string_view name, pf::ServiceControlHandler) override {
    registered_name = name;
    return register_result;
  }
  uint32_t Report(const pf::ServiceStatus& status) override {
    std::lock_guard lk(mu);
    reports.push_back(status);
    return reports.size() == failing_report ? failing_result : 0;
  }

  uint32_t register_result = 0;
  size_t failing_report = 0;  // 1-based number of the report that fails
  uint32_t failing_result = 0;
  std::u16string registered_name;
  std::mutex mu;
  std::vector<pf::ServiceStatus> reports;
};

class RecordingCore : public ServiceCore {
 public:
  uint32_t InitCore() override { return Call("init", init_result); }
  uint32_t StartServer() override {
    const uint32_t rc = Call("start", start_result);
    started.Set();
    return rc;
  }
  void StopServer() override { Call("stop", 0); }
  void ReleaseCore() override { Call("release", 0); }

  uint32_t init_result = 0;
  uint32_t start_result = 0;
  pf::Event started{pf::Event::Mode::kManualReset};
  std::vector<std::string> calls;

 private:
  uint32_t Call(const char* name, uint32_t result) {
    std::lock_guard lk(mu_);
    calls.push_back(name);
    return result;
  }
  std::mutex mu_;
};

// State, checkpoint, wait hint and accepted controls of one report.
struct Step {
  uint32_t state, check_point, wait_hint, accepted;
};

void ExpectReports(const std::vector<pf::ServiceStatus>& reports, const std::vector<Step>& steps) {
  ASSERT_EQ(reports.size(), steps.size());
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE("report " + std::to_string(i + 1));
    EXPECT_EQ(reports[i].service_type, 0x30u);
    EXPECT_EQ(reports[i].current_state, steps[i].state);
    EXPECT_EQ(reports[i].check_point, steps[i].check_point);
    EXPECT_EQ(reports[i].wait_hint, steps[i].wait_hint);
    EXPECT_EQ(reports[i].controls_accepted, steps[i].accepted);
  }
}

const std::vector<Step> kStartPending = {{pf::kServiceStartPending, 1, 10000, 0},
                                         {pf::kServiceStartPending, 2, 10000, 0},
                                         {pf::kServiceStartPending, 3, 10000, 0}};
constexpr Step kRunning = {pf::kServiceRunning, 0, 0, pf::kServiceAcceptStop};
constexpr Step kStopPending = {pf::kServiceStopPending, 0, 10000, 0};
constexpr Step kStopped = {pf::kServiceStopped, 0, 0, 0};

std::vector<Step> Then(std::vector<Step> steps, std::initializer_list<Step> more) {
  steps.insert(steps.end(), more);
  return steps;
}

void ExpectStoppedWith0C0C(const pf::ServiceStatus& status) {
  EXPECT_EQ(status.current_state, pf::kServiceStopped);
  EXPECT_EQ(status.win32_exit_code, 0u);
  EXPECT_EQ(status.service_specific_exit_code, kStoppedSpecificExitCode);
}

// The started and stopped events, with the product version in the first.
void ExpectStartAndStopEvents(bool log_keeps_events) {
  if (!log_keeps_events) {
    std::printf("event checks skipped: this system only stubs the classic event log (Wine)\n");
    return;
  }
  const auto events = testing::ReadEventsOf(kEventSourceName);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].id, kEventServiceStarted);
  EXPECT_EQ(events[0].type, pf::kEventTypeInformation);
  EXPECT_EQ(events[0].strings, std::vector<std::u16string>{ReadProductVersion()});
  EXPECT_EQ(events[1].id, kEventServiceStopped);
  EXPECT_EQ(events[1].type, pf::kEventTypeInformation);
  EXPECT_TRUE(events[1].strings.empty());
}

// A core that failed: stopped with the service-specific error and the core's
// result, and the error event between the started and stopped events.
void ExpectFailedCore(const pf::ServiceStatus& status, uint32_t result, bool log_keeps_events) {
  EXPECT_EQ(status.current_state, pf::kServiceStopped);
  EXPECT_EQ(status.win32_exit_code, 1066u);
  EXPECT_EQ(status.service_specific_exit_code, result);
  if (!log_keeps_events) return;
  const auto events = testing::ReadEventsOf(kEventSourceName);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].id, kEventServiceStarted);
  EXPECT_EQ(events[1].id, kEventServiceCannotStart);
  EXPECT_EQ(events[1].type, pf::kEventTypeError);
  char detail[64];
  std::snprintf(detail, sizeof detail, "specErr=0x%08X, win32Err=0x%08X",
                0x0C07u | (result & 0xFFFF0000u), result & 0xFFFFu);
  EXPECT_EQ(events[1].strings,
            (std::vector<std::u16string>{ReadProductVersion(), Utf8ToUtf16(detail)}));
  EXPECT_EQ(events[2].id, kEventServiceStopped);
}

class ServiceMainTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_keeps_events_ = testing::EventLogKeepsEvents();
    SetServiceCore(&core_);
  }
  void TearDown() override { SetServiceCore(nullptr); }

  testing::ScopedMachineRoot root_;
  bool log_keeps_events_ = false;
  RecordingCore core_;
  RecordingReporter reporter_;
};

TEST_F(ServiceMainTest, ReportsEachStateInOrderAndOnlyTheStopControlCounts) {
  std::thread main_thread([&] { RunServiceMainWith(reporter_); });
  ASSERT_TRUE(core_.started.Wait(60000));
  ServiceControlHandler(pf::kServiceControlPause);
  ServiceControlHandler(pf::kServiceControlContinue);
  ServiceControlHandler(pf::kServiceControlInterrogate);
  {
    std::lock_guard lk(reporter_.mu);
    EXPECT_EQ(reporter_.reports.size(), 4u) << "controls other than stop report nothing";
  }
  ServiceControlHandler(pf::kServiceControlStop);
  main_thread.join();

  EXPECT_EQ(reporter_.registered_name, kServiceName);
  ExpectReports(reporter_.reports, Then(kStartPending, {kRunning, kStopPending, kStopped}));
  ExpectStoppedWith0C0C(reporter_.reports.back());
  EXPECT_EQ(core_.calls, (std::vector<std::string>{"init", "start", "stop", "release"}));
  ExpectStartAndStopEvents(log_keeps_events_);
}

TEST_F(ServiceMainTest, CoreThatFailsToStartStillShowsRunningThenStopped) {
  core_.start_result = 0x00020005;
  RunServiceMainWith(reporter_);  // no stop control: the failed start ends the run
  ExpectReports(reporter_.reports, Then(kStartPending, {kRunning, kStopped}));
  ExpectFailedCore(reporter_.reports.back(), 0x00020005, log_keeps_events_);
  EXPECT_EQ(core_.calls, (std::vector<std::string>{"init", "start", "release"}));

  // A stop control that arrives late finds the service stopped: nothing more.
  ServiceControlHandler(pf::kServiceControlStop);
  EXPECT_EQ(reporter_.reports.size(), 5u);
  EXPECT_EQ(core_.calls.size(), 3u);
}

TEST_F(ServiceMainTest, CoreThatFailsToInitialiseIsNotStartedOrReleased) {
  core_.init_result = 0x00060005;
  RunServiceMainWith(reporter_);
  ExpectReports(reporter_.reports, Then(kStartPending, {kRunning, kStopped}));
  ExpectFailedCore(reporter_.reports.back(), 0x00060005, log_keeps_events_);
  EXPECT_EQ(core_.calls, std::vector<std::string>{"init"});
}

TEST_F(ServiceMainTest, FailedRunningReportSkipsTheCoreAndTheEvents) {
  reporter_.failing_report = 4;
  reporter_.failing_result = 6;
  RunServiceMainWith(reporter_);
  ExpectReports(reporter_.reports, Then(kStartPending, {kRunning, kStopped}));
  EXPECT_TRUE(core_.calls.empty());
  EXPECT_TRUE(testing::ReadEventsOf(kEventSourceName).empty());
}

// Giving up before anything reached the service manager leaves only the error
// event: the step and the error in its second insert.
TEST_F(ServiceMainTest, GivingUpBeforeTheFirstReportWritesTheErrorEvent) {
  reporter_.register_result = 1063;
  RunServiceMainWith(reporter_);
  EXPECT_TRUE(reporter_.reports.empty());

  reporter_.register_result = 0;
  reporter_.failing_report = 1;
  reporter_.failing_result = 6;
  RunServiceMainWith(reporter_);
  EXPECT_EQ(reporter_.reports.size(), 1u);
  EXPECT_TRUE(core_.calls.empty());

  if (!log_keeps_events_) GTEST_SKIP() << "this system only stubs the classic event log (Wine)";
  const auto events = testing::ReadEventsOf(kEventSourceName);
  ASSERT_EQ(events.size(), 2u);
  for (const auto& e : events) {
    EXPECT_EQ(e.id, kEventServiceCannotStart);
    EXPECT_EQ(e.type, pf::kEventTypeError);
  }
  const std::u16string version = ReadProductVersion();
  EXPECT_EQ(events[0].strings,
            (std::vector<std::u16string>{version, u"specErr=0x00000C02, win32Err=0x00000427"}));
  EXPECT_EQ(events[1].strings,
            (std::vector<std::u16string>{version, u"specErr=0x00000C04, win32Err=0x00000006"}));
}

}  // namespace
}  // namespace cvn::service
