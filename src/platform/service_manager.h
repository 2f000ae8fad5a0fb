// The service manager: registering, configuring, starting, stopping and
// querying services (the controller side), and the dispatcher, control handler
// and status reports of a service process (the service side).
//
// Windows uses the Service Control Manager. The posix layer keeps a service
// database under the machine root (services/<name>/), launches the registered
// command line detached, passes status through a file and controls through a
// local socket, and also treats SIGTERM as the stop control, so a service
// binary runs unchanged under systemd.
//
// Every call returns 0 or a Windows error number, on both platforms: 5 access
// denied, 1052 control not valid, 1053 no timely answer, 1056 already running,
// 1058 disabled, 1060 does not exist, 1061 cannot accept the control now, 1062
// not active, 1063 not run by the service manager, 1067 process ended, 1072
// marked for deletion, 1073 already exists, 1077 never started (the exit code
// of a service that has not run yet).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace cvn::platform {

// Current states of a service.
enum ServiceStateValue : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

// Control codes and the matching accepted-controls bits.
constexpr uint32_t kServiceControlStop = 1;
constexpr uint32_t kServiceControlPause = 2;
constexpr uint32_t kServiceControlContinue = 3;
constexpr uint32_t kServiceControlInterrogate = 4;
constexpr uint32_t kServiceAcceptStop = 1;
constexpr uint32_t kServiceAcceptPauseContinue = 2;

// Service types.
constexpr uint32_t kServiceOwnProcess = 0x10;
constexpr uint32_t kServiceShareProcess = 0x20;

enum class ServiceStartType : uint32_t {
  kBoot = 0,
  kSystem = 1,
  kAuto = 2,
  kDemand = 3,
  kDisabled = 4
};

constexpr uint32_t kServiceErrorNormal = 1;

// Access to the manager and to one service, as the Windows access masks.
constexpr uint32_t kManagerConnect = 0x0001;
constexpr uint32_t kManagerCreateService = 0x0002;
constexpr uint32_t kServiceQueryConfig = 0x0001;
constexpr uint32_t kServiceChangeConfig = 0x0002;
constexpr uint32_t kServiceQueryStatus = 0x0004;
constexpr uint32_t kServiceStart = 0x0010;
constexpr uint32_t kServiceStop = 0x0020;
constexpr uint32_t kServiceInterrogate = 0x0080;
constexpr uint32_t kServiceDelete = 0x00010000;

// The status record a service reports and a controller reads.
struct ServiceStatus {
  uint32_t service_type = kServiceOwnProcess;
  uint32_t current_state = kServiceStopped;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t service_specific_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

// What the manager does when the service process ends without having
// reported stopped.
struct ServiceFailureAction {
  enum class Type : uint32_t { kNone = 0, kRestart = 1, kReboot = 2, kRunCommand = 3 };
  Type type = Type::kNone;
  uint32_t delay_ms = 0;
};
struct ServiceFailureActions {
  uint32_t reset_period_s = 0;  // failures older than this are forgotten
  std::u16string reboot_message;
  std::u16string command;
  std::vector<ServiceFailureAction> actions;  // the last one repeats
};

// The registration of a service.
struct ServiceConfig {
  uint32_t service_type = kServiceOwnProcess;
  ServiceStartType start_type = ServiceStartType::kDemand;
  uint32_t error_control = kServiceErrorNormal;
  std::u16string command_line;  // executable path and arguments
  std::u16string display_name;
};

// A connection to the manager of the local machine.
class ServiceManager {
 public:
  ServiceManager();
  ~ServiceManager();
  ServiceManager(const ServiceManager&) = delete;
  ServiceManager& operator=(const ServiceManager&) = delete;

  uint32_t Open(uint32_t access);
  bool IsOpen() const;

  struct Impl;
  Impl* impl() const { return impl_.get(); }

 private:
  std::unique_ptr<Impl> impl_;
};

// One service, opened or created through a manager.
class Service {
 public:
  Service();
  ~Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // 1060 when it does not exist.
  uint32_t Open(ServiceManager& manager, std::u16string_view name, uint32_t access);
  // 1073 when it exists; the manager needs create access.
  uint32_t Create(ServiceManager& manager, std::u16string_view name, const ServiceConfig& config,
                  uint32_t access);
  bool IsOpen() const;
  void Close();

  // Marks the service for deletion; it goes once it has stopped.
  uint32_t Delete();
  uint32_t SetDescription(std::u16string_view description);
  uint32_t SetFailureActions(const ServiceFailureActions& actions);
  // Changes the start type and leaves every other setting unchanged.
  uint32_t SetStartType(ServiceStartType start_type);
  uint32_t QueryConfig(ServiceConfig& config);
  uint32_t QueryDescription(std::u16string& description);
  uint32_t QueryFailureActions(ServiceFailureActions& actions);
  uint32_t QueryStatus(ServiceStatus& status);
  // Starts the service without arguments; returns once its process is running
  // the dispatcher (1053 when it does not get there within 30 s).
  uint32_t Start();
  // Sends a control; status receives the latest status also when the call
  // fails with 1052, 1061 or 1062.
  uint32_t Control(uint32_t control, ServiceStatus& status);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// ---- The service side -----------------------------------------------------

// The service's main function (it runs on a thread of its own) and its control
// handler (it runs on the dispatcher's thread, the one that called
// RunServiceDispatcher).
using ServiceMainFunction = void (*)();
using ServiceControlHandler = void (*)(uint32_t control);

// Runs the dispatcher for one service of the process: starts main on a new
// thread, delivers controls to the registered handler, and returns once the
// service has reported stopped (and main has returned). 1063 when the process
// was not started as that service (Windows only; posix runs it anyway, as
// systemd or a shell may start it directly).
uint32_t RunServiceDispatcher(std::u16string_view service_name, ServiceMainFunction main);

// Registers the control handler; called first by the service main.
class ServiceStatusHandle {
 public:
  ServiceStatusHandle() = default;
  bool IsValid() const { return value_ != 0; }
  uintptr_t value() const { return value_; }
  explicit ServiceStatusHandle(uintptr_t value) : value_(value) {}

 private:
  uintptr_t value_ = 0;
};
uint32_t RegisterServiceControlHandler(std::u16string_view service_name,
                                       ServiceControlHandler handler, ServiceStatusHandle& handle);
uint32_t ReportServiceStatus(ServiceStatusHandle handle, const ServiceStatus& status);

// ---- The running executable -----------------------------------------------

// The full path of the running executable (GetModuleFileNameW, /proc/self/exe);
// 0 or an error number (122 when longer than max_chars - 1 characters).
uint32_t ExecutablePath(std::u16string& path, uint32_t max_chars = 260);

// The product version of an executable: its version resource
// ("\StringFileInfo\040904e4\ProductVersion") on Windows, the version built
// into the program on posix. Empty when it cannot be read.
std::u16string ReadProductVersion(std::u16string_view executable_path);

}  // namespace cvn::platform
