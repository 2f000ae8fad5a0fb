#include "service/service_runtime.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "base/text.h"
#include "platform/event_log.h"
#include "platform/sync.h"

namespace cvn::service {

namespace pf = cvn::platform;

namespace {

constexpr uint32_t kServiceTypeReported = pf::kServiceOwnProcess | pf::kServiceShareProcess;
constexpr uint32_t kPendingWaitHintMs = 10000;

// The steps at which the service main gives up before its first report, and
// the step of a core that failed to initialise or start.
constexpr uint32_t kStepRegisterHandler = 2;
constexpr uint32_t kStepFirstReport = 4;
constexpr uint32_t kStepRunCore = 7;

// The stopped report's Win32 exit code after a failed core: the core's result
// is then the service-specific exit code.
constexpr uint32_t kErrorServiceSpecificError = 1066;

// Reports through the platform's service manager.
class PlatformReporter : public StatusReporter {
 public:
  uint32_t RegisterHandler(std::u16string_view service_name,
                           pf::ServiceControlHandler handler) override {
    return pf::RegisterServiceControlHandler(service_name, handler, handle_);
  }
  uint32_t Report(const pf::ServiceStatus& status) override {
    return pf::ReportServiceStatus(handle_, status);
  }

 private:
  pf::ServiceStatusHandle handle_;
};

ServiceCore* g_core = nullptr;
PlatformReporter g_platform_reporter;
StatusReporter* g_reporter = &g_platform_reporter;

// Created before the service main runs; set by the control handler, waited
// for by RunCore.
std::unique_ptr<pf::Event> g_stop_event;

// One status record, reused for every report; the main thread and the
// handler's thread both report, so changes and reports are serialised.
std::mutex g_status_mutex;
pf::ServiceStatus g_status;
std::u16string g_product_version;

uint32_t Report() { return g_reporter->Report(g_status); }

// Writes one event under the service's source; failures are ignored.
void WriteEvent(pf::EventSource& source, uint16_t type, uint32_t id,
                const std::vector<std::u16string>& strings) {
  if (source.IsRegistered()) source.Report(type, 0, id, {}, strings, {});
}

// The error event of a service main that gave up at step before it could
// report to the service manager.
void WriteCannotStartEvent(uint32_t step, uint32_t error) {
  char detail[64];
  std::snprintf(detail, sizeof detail, "specErr=0x%08X, win32Err=0x%08X",
                (0x0C00u + step) | (error & 0xFFFF0000u), error & 0xFFFFu);
  pf::EventSource source;
  source.Register(kEventSourceName);
  WriteEvent(source, pf::kEventTypeError, kEventServiceCannotStart,
             {g_product_version, Utf8ToUtf16(detail)});
}

}  // namespace

void SetServiceCore(ServiceCore* core) { g_core = core; }

std::u16string ReadProductVersion() {
  std::u16string path;
  if (pf::ExecutablePath(path, 260) != 0) return {};
  return pf::ReadProductVersion(path);
}

ControlResult RunServiceDispatcher() {
  g_stop_event = std::make_unique<pf::Event>(pf::Event::Mode::kAutoReset, false);
  if (!g_stop_event->IsValid()) {
    g_stop_event.reset();
    return MakeControlResult(kOpDispatcher, 2, 0);
  }
  const uint32_t rc = pf::RunServiceDispatcher(kServiceName, ServiceMain);
  g_stop_event.reset();
  return rc == 0 ? 0 : MakeControlResult(kOpDispatcher, 4, rc);
}

void RunServiceMainWith(StatusReporter& reporter) {
  g_reporter = &reporter;
  g_stop_event = std::make_unique<pf::Event>(pf::Event::Mode::kAutoReset, false);
  ServiceMain();
  g_stop_event.reset();
  g_reporter = &g_platform_reporter;
}

uint32_t RunCore() {
  if (g_core == nullptr) {
    if (g_stop_event) g_stop_event->Wait(pf::kInfinite);
    return 0;
  }
  if (uint32_t rc = g_core->InitCore()) return rc;
  const uint32_t rc = g_core->StartServer();
  if (rc == 0 && g_stop_event) g_stop_event->Wait(pf::kInfinite);
  g_core->ReleaseCore();
  return rc;
}

void ServiceMain() {
  {
    std::lock_guard lk(g_status_mutex);
    g_status = pf::ServiceStatus{};
    g_status.service_type = kServiceTypeReported;
    g_status.current_state = pf::kServiceStartPending;
    g_status.controls_accepted = 0;
    g_status.check_point = 1;
    g_status.wait_hint = kPendingWaitHintMs;
  }
  g_product_version = ReadProductVersion();

  if (const uint32_t rc = g_reporter->RegisterHandler(kServiceName, ServiceControlHandler)) {
    WriteCannotStartEvent(kStepRegisterHandler, rc);
    return;
  }
  bool running = false;
  uint32_t core_result = 0;
  {
    std::lock_guard lk(g_status_mutex);
    if (const uint32_t rc = Report()) {
      WriteCannotStartEvent(kStepFirstReport, rc);
      return;
    }
    for (int i = 0; i < 2; ++i) {
      ++g_status.check_point;
      Report();
    }
    g_status.current_state = pf::kServiceRunning;
    g_status.controls_accepted = pf::kServiceAcceptStop;
    g_status.check_point = 0;
    g_status.wait_hint = 0;
    running = Report() == 0;
  }

  if (running) {
    // The start and stop events frame the core's run, also when its start
    // fails: the reason is in the service's own log.
    pf::EventSource source;
    source.Register(kEventSourceName);
    WriteEvent(source, pf::kEventTypeInformation, kEventServiceStarted, {g_product_version});
    core_result = RunCore();
    // A core that could not start (a rejected settings file among others) is
    // an error in the Application log and in the final status, not only a
    // line in the service's own log.
    if (core_result != 0) WriteCannotStartEvent(kStepRunCore, core_result);
    WriteEvent(source, pf::kEventTypeInformation, kEventServiceStopped, {});
    source.Deregister();
  }

  std::lock_guard lk(g_status_mutex);
  g_status.current_state = pf::kServiceStopped;
  g_status.controls_accepted = 0;
  g_status.check_point = 0;
  g_status.wait_hint = 0;
  g_status.win32_exit_code = core_result == 0 ? 0 : kErrorServiceSpecificError;
  g_status.service_specific_exit_code = core_result == 0 ? kStoppedSpecificExitCode : core_result;
  Report();
}

void ServiceControlHandler(uint32_t control) {
  if (control != pf::kServiceControlStop) return;
  {
    std::lock_guard lk(g_status_mutex);
    // A stop that arrives once the service main has reported stopped (its
    // core failed to start) must not bring back a pending state.
    if (g_status.current_state == pf::kServiceStopped) return;
    g_status.current_state = pf::kServiceStopPending;
    g_status.controls_accepted = 0;
    g_status.win32_exit_code = 0;
    g_status.service_specific_exit_code = 0;
    g_status.check_point = 0;
    g_status.wait_hint = kPendingWaitHintMs;
    Report();
  }
  if (g_core != nullptr) g_core->StopServer();
  if (g_stop_event) g_stop_event->Set();
}

}  // namespace cvn::service
