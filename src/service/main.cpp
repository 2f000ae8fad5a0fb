// CVNService: installs, controls and queries the service, and is the service
// itself when the service manager runs it with the command "service".
#include "platform/program_entry.h"
#include "service/command_line.h"

int ProgramMain(std::vector<std::u16string> args) {
  cvn::service::StdoutConsole console;
  return static_cast<int>(cvn::service::RunCommandLine(args, console));
}
