// Installing, removing, configuring, starting, stopping and querying the
// service through the service manager. Every operation returns a
// ControlResult: 0 on success, otherwise the operation code in bits 24..31,
// the step at which it stopped in bits 16..23 and the low 16 bits of the
// system error code in bits 0..15.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"

namespace cvn::service {

using ControlResult = uint32_t;

// The service's identity.
inline constexpr std::u16string_view kServiceName = u"CVNService";
inline constexpr std::u16string_view kServiceDisplayName = u"Corvane Service";
inline constexpr std::u16string_view kServiceDescription =
    u"Corvane service forwards event records to a syslog server, an email box or a datatabase.";

// Operation codes of the ControlResult.
enum Operation : uint32_t {
  kOpStart = 0x01,
  kOpStop = 0x02,
  kOpInstall = 0x03,
  kOpUninstall = 0x04,
  kOpDescriptionAndFailureActions = 0x05,
  kOpStartType = 0x07,
  kOpQueryState = 0x09,
  kOpDispatcher = 0x0B,
};

constexpr ControlResult MakeControlResult(uint32_t operation, uint32_t step, uint32_t error) {
  return WithOperation(MakeResult(step, error), operation);
}

// Creates the service (manual start, own process, LocalSystem) with the
// executable's path (quoted when it contains blanks) followed by " service"
// as its command line, then
// registers the event message file (its result is not part of this one).
ControlResult InstallService();
// Deletes the service; a running service goes once it has stopped.
ControlResult UninstallService();
ControlResult SetServiceDescription();
// Restart at once after the first and second failure, nothing after the
// third; the count is reset after a day without failures.
ControlResult SetFailureActions();
ControlResult SetStartType(bool automatic);
ControlResult QueryAutoStart(bool& automatic);
ControlResult QueryServiceState(uint32_t& state, uint32_t& win32_exit_code,
                                uint32_t& service_specific_exit_code);
// A failure that no system call reported carries the system error that
// describes it: 1061 for a state in which the service cannot take the
// command, 1053 for a wait that ran out of time, and for a wait that ended
// in the wrong state the service's exit code (or 1062 / 1061 without one).
ControlResult StopServiceAndWait();
ControlResult StartServiceAndWait();

// Registers the executable as the message file of the event source
// CVNService in the Application log. 0, or the step (2 path, 4 key, 6
// EventMessageFile, 8 TypesSupported) with the error.
uint32_t RegisterMessageFile();

// The poll interval of the start and stop waits: a tenth of the wait hint,
// within 500..5000 ms.
uint32_t PollInterval(uint32_t wait_hint_ms);

}  // namespace cvn::service
