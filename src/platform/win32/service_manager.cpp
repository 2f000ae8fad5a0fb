// The service manager on Windows: the Service Control Manager calls.
#include "platform/service_manager.h"

#include <vector>

#include "platform/win32/win.h"

namespace cvn::platform {

using win32::LastError;
using win32::ServiceHandle;
using win32::ToWide;

namespace {

// A null-terminated wide string, or null for an empty one (a setting left out).
const wchar_t* OrNull(const std::wstring& s) { return s.empty() ? nullptr : s.c_str(); }

}  // namespace

struct ServiceManager::Impl {
  ServiceHandle scm;
};

ServiceManager::ServiceManager() : impl_(std::make_unique<Impl>()) {}
ServiceManager::~ServiceManager() = default;
bool ServiceManager::IsOpen() const { return impl_->scm.IsValid(); }

uint32_t ServiceManager::Open(uint32_t access) {
  impl_->scm.Reset(::OpenSCManagerW(nullptr, nullptr, access));
  return impl_->scm ? 0 : LastError();
}

struct Service::Impl {
  ServiceHandle handle;
};

Service::Service() : impl_(std::make_unique<Impl>()) {}
Service::~Service() = default;
bool Service::IsOpen() const { return impl_->handle.IsValid(); }
void Service::Close() { impl_->handle.Reset(); }

uint32_t Service::Open(ServiceManager& manager, std::u16string_view name, uint32_t access) {
  if (!manager.IsOpen()) return ERROR_INVALID_HANDLE;
  const std::wstring wname = ToWide(name);
  impl_->handle.Reset(::OpenServiceW(manager.impl()->scm.Get(), wname.c_str(), access));
  return impl_->handle ? 0 : LastError();
}

uint32_t Service::Create(ServiceManager& manager, std::u16string_view name,
                         const ServiceConfig& config, uint32_t access) {
  if (!manager.IsOpen()) return ERROR_INVALID_HANDLE;
  const std::wstring wname = ToWide(name);
  const std::wstring display = ToWide(config.display_name);
  const std::wstring command = ToWide(config.command_line);
  impl_->handle.Reset(::CreateServiceW(
      manager.impl()->scm.Get(), wname.c_str(), OrNull(display), access, config.service_type,
      static_cast<DWORD>(config.start_type), config.error_control, command.c_str(), nullptr,
      nullptr, nullptr, nullptr, nullptr));
  return impl_->handle ? 0 : LastError();
}

uint32_t Service::Delete() { return ::DeleteService(impl_->handle.Get()) ? 0 : LastError(); }

uint32_t Service::SetDescription(std::u16string_view description) {
  std::wstring text = ToWide(description);
  SERVICE_DESCRIPTIONW info{};
  info.lpDescription = text.data();
  return ::ChangeServiceConfig2W(impl_->handle.Get(), SERVICE_CONFIG_DESCRIPTION, &info)
             ? 0
             : LastError();
}

uint32_t Service::SetFailureActions(const ServiceFailureActions& actions) {
  std::wstring reboot = ToWide(actions.reboot_message);
  std::wstring command = ToWide(actions.command);
  std::vector<SC_ACTION> list;
  for (const auto& a : actions.actions) {
    SC_ACTION item{};
    item.Type = static_cast<SC_ACTION_TYPE>(a.type);
    item.Delay = a.delay_ms;
    list.push_back(item);
  }
  SERVICE_FAILURE_ACTIONSW info{};
  info.dwResetPeriod = actions.reset_period_s;
  info.lpRebootMsg = reboot.empty() ? nullptr : reboot.data();
  info.lpCommand = command.empty() ? nullptr : command.data();
  info.cActions = static_cast<DWORD>(list.size());
  info.lpsaActions = list.empty() ? nullptr : list.data();
  return ::ChangeServiceConfig2W(impl_->handle.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info)
             ? 0
             : LastError();
}

uint32_t Service::SetStartType(ServiceStartType start_type) {
  return ::ChangeServiceConfigW(impl_->handle.Get(), SERVICE_NO_CHANGE,
                                static_cast<DWORD>(start_type), SERVICE_NO_CHANGE, nullptr, nullptr,
                                nullptr, nullptr, nullptr, nullptr, nullptr)
             ? 0
             : LastError();
}

uint32_t Service::QueryConfig(ServiceConfig& config) {
  DWORD needed = 0;
  ::QueryServiceConfigW(impl_->handle.Get(), nullptr, 0, &needed);
  if (needed == 0) return LastError();
  std::vector<uint8_t> buffer(needed);
  auto* info = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!::QueryServiceConfigW(impl_->handle.Get(), info, needed, &needed)) return LastError();
  config.service_type = info->dwServiceType;
  config.start_type = static_cast<ServiceStartType>(info->dwStartType);
  config.error_control = info->dwErrorControl;
  config.command_line = win32::FromWide(info->lpBinaryPathName);
  config.display_name = win32::FromWide(info->lpDisplayName);
  return 0;
}

namespace {

uint32_t QueryConfig2(SC_HANDLE h, DWORD level, std::vector<uint8_t>& buffer) {
  DWORD needed = 0;
  ::QueryServiceConfig2W(h, level, nullptr, 0, &needed);
  if (needed == 0) return LastError();
  buffer.assign(needed, 0);
  return ::QueryServiceConfig2W(h, level, buffer.data(), needed, &needed) ? 0 : LastError();
}

}  // namespace

uint32_t Service::QueryDescription(std::u16string& description) {
  std::vector<uint8_t> buffer;
  if (uint32_t rc = QueryConfig2(impl_->handle.Get(), SERVICE_CONFIG_DESCRIPTION, buffer))
    return rc;
  description =
      win32::FromWide(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription);
  return 0;
}

uint32_t Service::QueryFailureActions(ServiceFailureActions& actions) {
  std::vector<uint8_t> buffer;
  if (uint32_t rc = QueryConfig2(impl_->handle.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, buffer))
    return rc;
  const auto* info = reinterpret_cast<SERVICE_FAILURE_ACTIONSW*>(buffer.data());
  actions.reset_period_s = info->dwResetPeriod;
  actions.reboot_message = win32::FromWide(info->lpRebootMsg);
  actions.command = win32::FromWide(info->lpCommand);
  actions.actions.clear();
  for (DWORD i = 0; i < info->cActions; ++i) {
    ServiceFailureAction a;
    a.type = static_cast<ServiceFailureAction::Type>(info->lpsaActions[i].Type);
    a.delay_ms = info->lpsaActions[i].Delay;
    actions.actions.push_back(a);
  }
  return 0;
}

uint32_t Service::QueryStatus(ServiceStatus& status) {
  SERVICE_STATUS_PROCESS info{};
  DWORD needed = 0;
  if (!::QueryServiceStatusEx(impl_->handle.Get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<BYTE*>(&info), sizeof(info), &needed))
    return LastError();
  status.service_type = info.dwServiceType;
  status.current_state = info.dwCurrentState;
  status.controls_accepted = info.dwControlsAccepted;
  status.win32_exit_code = info.dwWin32ExitCode;
  status.service_specific_exit_code = info.dwServiceSpecificExitCode;
  status.check_point = info.dwCheckPoint;
  status.wait_hint = info.dwWaitHint;
  return 0;
}

uint32_t Service::Start() {
  return ::StartServiceW(impl_->handle.Get(), 0, nullptr) ? 0 : LastError();
}

uint32_t Service::Control(uint32_t control, ServiceStatus& status) {
  SERVICE_STATUS info{};
  const bool ok = ::ControlService(impl_->handle.Get(), control, &info);
  const uint32_t rc = ok ? 0 : LastError();
  if (ok || rc == ERROR_INVALID_SERVICE_CONTROL || rc == ERROR_SERVICE_CANNOT_ACCEPT_CTRL ||
      rc == ERROR_SERVICE_NOT_ACTIVE) {
    status.service_type = info.dwServiceType;
    status.current_state = info.dwCurrentState;
    status.controls_accepted = info.dwControlsAccepted;
    status.win32_exit_code = info.dwWin32ExitCode;
    status.service_specific_exit_code = info.dwServiceSpecificExitCode;
    status.check_point = info.dwCheckPoint;
    status.wait_hint = info.dwWaitHint;
  }
  return rc;
}

// ---- The service side -----------------------------------------------------

namespace {

// One service per process: the dispatcher's table entry and the handler.
std::wstring g_service_name;
ServiceMainFunction g_main = nullptr;
ServiceControlHandler g_handler = nullptr;

void WINAPI ServiceMainEntry(DWORD, LPWSTR*) {
  if (g_main != nullptr) g_main();
}

void WINAPI ControlHandlerEntry(DWORD control) {
  if (g_handler != nullptr) g_handler(control);
}

}  // namespace

uint32_t RunServiceDispatcher(std::u16string_view service_name, ServiceMainFunction main) {
  if (service_name.empty() || main == nullptr) return ERROR_INVALID_PARAMETER;
  g_service_name = ToWide(service_name);
  g_main = main;
  SERVICE_TABLE_ENTRYW table[2] = {};
  table[0].lpServiceName = g_service_name.data();
  table[0].lpServiceProc = ServiceMainEntry;
  return ::StartServiceCtrlDispatcherW(table) ? 0 : LastError();
}

uint32_t RegisterServiceControlHandler(std::u16string_view service_name,
                                       ServiceControlHandler handler, ServiceStatusHandle& handle) {
  g_handler = handler;
  const std::wstring name = ToWide(service_name);
  SERVICE_STATUS_HANDLE h = ::RegisterServiceCtrlHandlerW(name.c_str(), ControlHandlerEntry);
  if (h == nullptr) return LastError();
  handle = ServiceStatusHandle(reinterpret_cast<uintptr_t>(h));
  return 0;
}

uint32_t ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status) {
  SERVICE_STATUS info{};
  info.dwServiceType = status.service_type;
  info.dwCurrentState = status.current_state;
  info.dwControlsAccepted = status.controls_accepted;
  info.dwWin32ExitCode = status.win32_exit_code;
  info.dwServiceSpecificExitCode = status.service_specific_exit_code;
  info.dwCheckPoint = status.check_point;
  info.dwWaitHint = status.wait_hint;
  return ::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle.value()), &info)
             ? 0
             : LastError();
}

uint32_t ExecutablePath(std::u16string& path, uint32_t max_chars) {
  if (max_chars == 0) return ERROR_INSUFFICIENT_BUFFER;
  std::vector<wchar_t> buffer(max_chars);
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), max_chars);
  if (n == 0) return LastError();
  if (n >= max_chars) return ERROR_INSUFFICIENT_BUFFER;
  path = win32::FromWide(buffer.data(), n);
  return 0;
}

std::u16string ReadProductVersion(std::u16string_view executable_path) {
  const std::wstring file = ToWide(executable_path);
  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return {};
  std::vector<uint8_t> block(size);
  if (!::GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return {};
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), L"\\StringFileInfo\\040904e4\\ProductVersion", &value,
                        &length) ||
      value == nullptr || length == 0)
    return {};
  std::u16string out = win32::FromWide(static_cast<const wchar_t*>(value), length);
  while (!out.empty() && out.back() == u'\0') out.pop_back();
  return out;
}

}  // namespace cvn::platform
