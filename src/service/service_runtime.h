// The service proper: the service main function, the control handler and the
// dispatcher that runs them, and the seam through which the core plugs in.
#pragma once

#include <cstdint>
#include <string>

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

// Creates the service stop event, runs the dispatcher with ServiceMain and
// closes the event when the dispatcher returns. Steps: 2 the event could not
// be created, 4 the dispatcher failed.
ControlResult RunServiceDispatcher();

// The service's main function and control handler.
void ServiceMain();
void ServiceControlHandler(uint32_t control);

// InitCore and StartServer; waits for the stop event when the start
// succeeded; ReleaseCore. Returns the result of the first failing call.
uint32_t RunCore();

// The product version of the running executable; empty when it cannot be read.
std::u16string ReadProductVersion();

// The service-specific exit code of the final stopped report.
constexpr uint32_t kStoppedSpecificExitCode = 0x0C0C;

}  // namespace cvn::service
