// CVNService: installs, controls and queries the service, and is the service
// itself when the service manager runs it with the command "service".
#include "core/cvn_core.h"
#include "db/db_channel.h"
#include "diag/crash_handler.h"
#include "email/email_forwarder.h"
#include "platform/program_entry.h"
#include "report/report_schedule.h"
#include "service/command_line.h"
#include "service/service_runtime.h"
#include "syslog/syslog_forwarder.h"
#include "transport/secure_socket.h"

namespace {

// In place before ProgramMain runs, whether the executable runs a command or
// the service itself, until the process exits.
const cvn::ScopedCrashHandler crash_handler;

// The service runtime's view of the process's core.
class CoreOfProcess : public cvn::service::ServiceCore {
 public:
  uint32_t InitCore() override { return cvn::CCVNCore::Instance().InitCore(); }
  uint32_t StartServer() override { return cvn::CCVNCore::Instance().StartServer(); }
  // Nothing needs saving: the bookmarks have not moved past a record whose
  // output is not durable, so the next start reads it again.
  void StopServer() override { cvn::CCVNCore::Instance().StopServer(); }
  void ReleaseCore() override { cvn::CCVNCore::Instance().ReleaseCore(); }
};

// TLS sessions of the syslog and e-mail channels, as Trace lines.
void LogTlsSession(bool opened, const std::string& server, const std::string& protocol) {
  if (!cvn::TraceLogEnabled) return;
  cvn::CCVNCore::Instance().LogFormat('N', "Trace", "TLS session %s %s (%s)",
                                      opened ? "opened with" : "closed with", server.c_str(),
                                      protocol.c_str());
}

// The forwarding channels register their threads and record handlers with the
// core here, before the service main can start it. A channel that is not
// registered is never started.
void RegisterChannels(cvn::CCVNCore& core) {
  cvn::CSecureSocket::SetSessionObserver(&LogTlsSession);
  cvn::syslog::InstallSyslogChannel(core);
  cvn::email::InstallEmailChannel(core);
  cvn::report::InstallReports(core);
  cvn::db::InstallDbChannel(core);
}

}  // namespace

int ProgramMain(std::vector<std::u16string> args) {
  static CoreOfProcess core;
  RegisterChannels(cvn::CCVNCore::Instance());
  cvn::service::SetServiceCore(&core);
  cvn::service::StdoutConsole console;
  return static_cast<int>(cvn::service::RunCommandLine(args, console));
}
