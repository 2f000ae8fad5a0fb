// The service proper: the service main function, the control handler and the
// dispatcher that runs them, and the seams through which the core plugs in
// and through which tests watch the status reports.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/service_manager.h"
#include "service/service_control.h"

namespace cvn::service {

// What the service main runs between reporting running and reporting
// stopped. StopServer is called on the control handler's thread, possibly
// while StartServer is still running on the main thread, and must be safe as
// soon as the service reports running.
class ServiceCore {
 public:
  virtual ~ServiceCore() = default;
  virtual uint32_t InitCore() = 0;
  virtual uint32_t StartServer() = 0;
  virtual void StopServer() = 0;
  virtual void ReleaseCore() = 0;
};

// Sets the core the next dispatcher run uses (not owned). Without one the
// service only waits for the stop control.
void SetServiceCore(ServiceCore* core);

// Where the service main registers its control handler and sends its status
// reports: the platform's service manager, or a test's recorder.
class StatusReporter {
 public:
  virtual ~StatusReporter() = default;
  // 0 or a Windows error number.
  virtual uint32_t RegisterHandler(std::u16string_view service_name,
                                   platform::ServiceControlHandler handler) = 0;
  virtual uint32_t Report(const platform::ServiceStatus& status) = 0;
};

// Creates the service stop event, runs the dispatcher with ServiceMain and
// closes the event when the dispatcher returns. Steps: 2 the event could not
// be created, 4 the dispatcher failed.
ControlResult RunServiceDispatcher();

// Runs ServiceMain on the calling thread as the dispatcher would (with a stop
// event of its own), reporting to reporter instead of the service manager.
// ServiceControlHandler may be called from other threads meanwhile.
void RunServiceMainWith(StatusReporter& reporter);

// The service's main function and control handler.
void ServiceMain();
void ServiceControlHandler(uint32_t control);

// InitCore and StartServer; waits for the stop event when the start
// succeeded; ReleaseCore. Returns the result of the first failing call.
uint32_t RunCore();

// The product version of the running executable; empty when it cannot be read.
std::u16string ReadProductVersion();

// The service-specific exit code of the final stopped report after a run of
// the core. When the core failed to initialise or start, the report carries
// Win32 exit code 1066 (service-specific error) and the core's result instead.
constexpr uint32_t kStoppedSpecificExitCode = 0x0C0C;

// The events the service writes to the Application log under the source
// CVNService: started (insert: the product version), stopped (no inserts),
// and could not start (inserts: the product version and
// "specErr=0x%08X, win32Err=0x%08X"), the last when the service main gives up
// before it can report anything to the service manager (between no other
// events), or when the core failed to initialise or start (between the
// started and stopped events, with step 7).
inline constexpr std::u16string_view kEventSourceName = u"CVNService";
constexpr uint32_t kEventServiceStarted = 0x40000201;
constexpr uint32_t kEventServiceStopped = 0x40000202;
constexpr uint32_t kEventServiceCannotStart = 0xC0000203;

}  // namespace cvn::service
