// CVNService: installs, controls and queries the service, and is the service
// itself when the service manager runs it with the command "service".
#include "core/cvn_core.h"
#include "platform/program_entry.h"
#include "service/command_line.h"
#include "service/service_runtime.h"
#include "syslog/syslog_forwarder.h"

namespace {

// The service runtime's view of the process's core.
class CoreOfProcess : public cvn::service::ServiceCore {
 public:
  uint32_t InitCore() override { return cvn::CCVNCore::Instance().InitCore(); }
  uint32_t StartServer() override { return cvn::CCVNCore::Instance().StartServer(); }
  // Records dispatched while the forwarder was already stopping stay queued;
  // they go to the cache file so that the next start sends them.
  void StopServer() override {
    cvn::CCVNCore& core = cvn::CCVNCore::Instance();
    core.StopServer();
    // A forwarder that had to be given up may still be writing the cache.
    if (core.LastExitCode(cvn::CoreThread::kSyslog) != cvn::CCVNCore::kThreadGivenUpExitCode)
      cvn::KeepQueuedSyslogMessages(core);
  }
  void ReleaseCore() override { cvn::CCVNCore::Instance().ReleaseCore(); }
};

// The forwarding channels register their threads and record handlers with the
// core here, before the service main can start it. A channel that is not
// registered is never started.
void RegisterChannels(cvn::CCVNCore& core) { cvn::syslog::InstallSyslogChannel(core); }

}  // namespace

int ProgramMain(std::vector<std::u16string> args) {
  static CoreOfProcess core;
  RegisterChannels(cvn::CCVNCore::Instance());
  cvn::service::SetServiceCore(&core);
  cvn::service::StdoutConsole console;
  return static_cast<int>(cvn::service::RunCommandLine(args, console));
}
