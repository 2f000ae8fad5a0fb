#include "service/service_control.h"

#include <algorithm>

#include "base/win_errors.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/service_manager.h"

namespace cvn::service {

namespace pf = cvn::platform;

namespace {

constexpr uint32_t kModulePathChars = 260;
constexpr uint32_t kStopTimeoutMs = 15000;
constexpr char16_t kEventSourceKey[] =
    u"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\CVNService";

// Opens the manager (step 2) and the service (step 4) with the access given.
ControlResult OpenService(uint32_t operation, uint32_t access, pf::ServiceManager& manager,
                          pf::Service& service) {
  if (uint32_t rc = manager.Open(pf::kManagerConnect)) return MakeControlResult(operation, 2, rc);
  if (uint32_t rc = service.Open(manager, kServiceName, access))
    return MakeControlResult(operation, 4, rc);
  return 0;
}

// The error of a wait that ended in the wrong state: the service's own exit
// code when it set one, else the system error that names the state, so that
// the command line always has a system text to print.
uint32_t WaitEndError(const pf::ServiceStatus& status, uint32_t fallback) {
  return status.win32_exit_code != 0 ? status.win32_exit_code : fallback;
}

}  // namespace

uint32_t PollInterval(uint32_t wait_hint_ms) {
  return std::clamp<uint32_t>(wait_hint_ms / 10, 500, 5000);
}

ControlResult InstallService() {
  std::u16string command;
  if (uint32_t rc = pf::ExecutablePath(command, kModulePathChars))
    return MakeControlResult(kOpInstall, 2, rc);
  // A path with blanks is quoted: unquoted, the service manager would try
  // "C:\Program.exe" and the like first, a way to run another program as
  // the service's account.
  if (command.find(u' ') != std::u16string::npos) command = u"\"" + command + u"\"";
  constexpr std::u16string_view kSuffix = u" service";
  if (command.size() + kSuffix.size() >= kModulePathChars)
    return MakeControlResult(kOpInstall, 4, err::kInsufficientBuffer);
  command += kSuffix;

  pf::ServiceManager manager;
  if (uint32_t rc = manager.Open(pf::kManagerConnect | pf::kManagerCreateService))
    return MakeControlResult(kOpInstall, 6, rc);
  pf::ServiceConfig config;
  config.service_type = pf::kServiceOwnProcess;
  config.start_type = pf::ServiceStartType::kDemand;
  config.error_control = pf::kServiceErrorNormal;
  config.command_line = command;
  config.display_name = std::u16string(kServiceDisplayName);
  pf::Service service;
  if (uint32_t rc = service.Create(manager, kServiceName, config,
                                   pf::kServiceQueryStatus | pf::kServiceChangeConfig))
    return MakeControlResult(kOpInstall, 8, rc);
  RegisterMessageFile();
  return 0;
}

uint32_t RegisterMessageFile() {
  std::u16string path;
  if (uint32_t rc = pf::ExecutablePath(path, kModulePathChars)) return MakeResult(2, rc);
  pf::RegistryKey key;
  if (uint32_t rc = key.Create(pf::RegistryRoot::kLocalMachine, kEventSourceKey))
    return MakeResult(4, rc);
  if (uint32_t rc = key.SetExpandString(u"EventMessageFile", path)) return MakeResult(6, rc);
  if (uint32_t rc = key.SetDword(u"TypesSupported", 7)) return MakeResult(8, rc);
  return 0;
}

ControlResult UninstallService() {
  pf::ServiceManager manager;
  pf::Service service;
  if (ControlResult r = OpenService(kOpUninstall, pf::kServiceDelete, manager, service)) return r;
  if (uint32_t rc = service.Delete()) return MakeControlResult(kOpUninstall, 6, rc);
  return 0;
}

ControlResult SetServiceDescription() {
  pf::ServiceManager manager;
  pf::Service service;
  if (ControlResult r =
          OpenService(kOpDescriptionAndFailureActions, pf::kServiceChangeConfig, manager, service))
    return r;
  if (uint32_t rc = service.SetDescription(kServiceDescription))
    return MakeControlResult(kOpDescriptionAndFailureActions, 6, rc);
  return 0;
}

ControlResult SetFailureActions() {
  pf::ServiceManager manager;
  pf::Service service;
  if (ControlResult r = OpenService(kOpDescriptionAndFailureActions,
                                    pf::kServiceChangeConfig | pf::kServiceStart, manager, service))
    return r;
  pf::ServiceFailureActions actions;
  actions.reset_period_s = 86400;
  using Type = pf::ServiceFailureAction::Type;
  actions.actions = {{Type::kRestart, 0}, {Type::kRestart, 0}, {Type::kNone, 0}};
  if (uint32_t rc = service.SetFailureActions(actions))
    return MakeControlResult(kOpDescriptionAndFailureActions, 6, rc);
  return 0;
}

ControlResult SetStartType(bool automatic) {
  pf::ServiceManager manager;
  pf::Service service;
  if (ControlResult r = OpenService(kOpStartType, pf::kServiceChangeConfig, manager, service))
    return r;
  if (uint32_t rc = service.SetStartType(automatic ? pf::ServiceStartType::kAuto
                                                   : pf::ServiceStartType::kDemand))
    return MakeControlResult(kOpStartType, 6, rc);
  return 0;
}

ControlResult QueryAutoStart(bool& automatic) {
  pf::ServiceManager manager;
  pf::Service service;
  if (ControlResult r = OpenService(kOpStartType, pf::kServiceQueryConfig, manager, service))
    return r;
  pf::ServiceConfig config;
  if (uint32_t rc = service.QueryConfig(config)) return MakeControlResult(kOpStartType, 6, rc);
  automatic = config.start_type == pf::ServiceStartType::kAuto;
  return 0;
}

ControlResult QueryServiceState(uint32_t& state, uint32_t& win32_exit_code,
                                uint32_t& service_specific_exit_code) {
  pf::ServiceManager manager;
  pf::Service service;
  if (ControlResult r = OpenService(kOpQueryState, pf::kServiceQueryStatus, manager, service))
    return r;
  pf::ServiceStatus status;
  if (uint32_t rc = service.QueryStatus(status)) return MakeControlResult(kOpQueryState, 6, rc);
  state = status.current_state;
  win32_exit_code = status.win32_exit_code;
  service_specific_exit_code = status.service_specific_exit_code;
  return 0;
}

ControlResult StopServiceAndWait() {
  pf::ServiceManager manager;
  pf::Service service;
  if (ControlResult r =
          OpenService(kOpStop, pf::kServiceQueryStatus | pf::kServiceStop, manager, service))
    return r;
  pf::ServiceStatus status;
  if (uint32_t rc = service.QueryStatus(status)) return MakeControlResult(kOpStop, 6, rc);
  if (status.current_state == pf::kServiceStopped) return 0;
  if (status.current_state == pf::kServiceRunning) {
    if (uint32_t rc = service.Control(pf::kServiceControlStop, status))
      return MakeControlResult(kOpStop, 10, rc);
    if (status.current_state == pf::kServiceStopped) return 0;
  } else if (status.current_state != pf::kServiceStopPending) {
    return MakeControlResult(kOpStop, 8, err::kServiceCannotAcceptCtrl);
  }

  // The limit is fixed: checkpoints do not extend it.
  const uint32_t begin = pf::TickCount();
  if (uint32_t rc = service.QueryStatus(status)) return MakeControlResult(kOpStop, 12, rc);
  while (status.current_state == pf::kServiceStopPending) {
    const uint32_t interval = PollInterval(status.wait_hint);
    if (pf::TickCount() - begin > kStopTimeoutMs)
      return MakeControlResult(kOpStop, 18, err::kServiceRequestTimeout);
    pf::SleepMs(interval);
    if (uint32_t rc = service.QueryStatus(status)) return MakeControlResult(kOpStop, 14, rc);
  }
  if (status.current_state == pf::kServiceStopped) return 0;
  return MakeControlResult(kOpStop, 16, WaitEndError(status, err::kServiceCannotAcceptCtrl));
}

ControlResult StartServiceAndWait() {
  pf::ServiceManager manager;
  pf::Service service;
  if (ControlResult r =
          OpenService(kOpStart, pf::kServiceQueryStatus | pf::kServiceStart, manager, service))
    return r;
  pf::ServiceStatus status;
  if (uint32_t rc = service.QueryStatus(status)) return MakeControlResult(kOpStart, 6, rc);
  if (status.current_state == pf::kServiceRunning) return 0;
  if (status.current_state == pf::kServiceStopped) {
    if (uint32_t rc = service.Start()) return MakeControlResult(kOpStart, 10, rc);
  } else if (status.current_state != pf::kServiceStartPending) {
    return MakeControlResult(kOpStart, 8, err::kServiceCannotAcceptCtrl);
  }

  // The wait is extended as long as the service's checkpoint advances.
  uint32_t begin = pf::TickCount();
  uint32_t last_check_point = 0;
  if (uint32_t rc = service.QueryStatus(status)) return MakeControlResult(kOpStart, 12, rc);
  while (status.current_state == pf::kServiceStartPending) {
    const uint32_t interval = PollInterval(status.wait_hint);
    if (status.check_point > last_check_point) {
      begin = pf::TickCount();
      last_check_point = status.check_point;
    } else if (pf::TickCount() - begin > status.wait_hint) {
      return MakeControlResult(kOpStart, 18, err::kServiceRequestTimeout);
    }
    pf::SleepMs(interval);
    if (uint32_t rc = service.QueryStatus(status)) return MakeControlResult(kOpStart, 14, rc);
  }
  if (status.current_state == pf::kServiceRunning) return 0;
  return MakeControlResult(kOpStart, 16, WaitEndError(status, err::kServiceNotActive));
}

}  // namespace cvn::service
