#include "service/service_runtime.h"

#include <memory>
#include <mutex>

#include "platform/service_manager.h"
#include "platform/sync.h"

namespace cvn::service {

namespace pf = cvn::platform;

namespace {

constexpr uint32_t kServiceTypeReported = pf::kServiceOwnProcess | pf::kServiceShareProcess;
constexpr uint32_t kPendingWaitHintMs = 10000;

ServiceCore* g_core = nullptr;

// Created by RunServiceDispatcher before the dispatcher starts; set by the
// control handler, waited for by RunCore.
std::unique_ptr<pf::Event> g_stop_event;

// One status record, reused for every report; the main thread and the
// handler's thread both report, so changes and reports are serialised.
std::mutex g_status_mutex;
pf::ServiceStatus g_status;
pf::ServiceStatusHandle g_status_handle;
std::u16string g_product_version;

uint32_t Report() { return pf::ReportServiceStatus(g_status_handle, g_status); }

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

  pf::ServiceStatusHandle handle;
  if (pf::RegisterServiceControlHandler(kServiceName, ServiceControlHandler, handle) != 0) return;
  bool running = false;
  {
    std::lock_guard lk(g_status_mutex);
    g_status_handle = handle;
    if (Report() != 0) return;
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

  if (running) RunCore();

  std::lock_guard lk(g_status_mutex);
  g_status.current_state = pf::kServiceStopped;
  g_status.controls_accepted = 0;
  g_status.check_point = 0;
  g_status.wait_hint = 0;
  g_status.win32_exit_code = 0;
  g_status.service_specific_exit_code = kStoppedSpecificExitCode;
  Report();
}

void ServiceControlHandler(uint32_t control) {
  if (control != pf::kServiceControlStop) return;
  {
    std::lock_guard lk(g_status_mutex);
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
