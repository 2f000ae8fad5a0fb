#include "service/command_line.h"

#include <cstdio>

#include "base/text.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/message_module.h"
#include "platform/service_manager.h"
#include "service/service_control.h"
#include "service/service_runtime.h"

namespace cvn::service {

namespace {

bool g_quiet = false;

std::u16string Hex8(uint32_t value) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "0x%08X", value);
  return Utf8ToUtf16(buf);
}

// The line that ends a command: "OK" or the failure with its result.
void PrintOutcome(Console& console, uint32_t result) {
  if (g_quiet) return;
  console.Write(result == 0 ? u"OK\n" : u"FAILED err_code=" + Hex8(result) + u"\n");
}

// The system's text for the error part of a result, after the outcome line.
void PrintErrorText(Console& console, uint32_t result) {
  if (g_quiet || (result & 0xFFFFu) == 0) return;
  const std::u16string text = SystemErrorText(result & 0xFFFFu);
  if (!text.empty()) console.Write(text + u"\n");
}

uint32_t RunStatus(Console& console) {
  if (!g_quiet) console.Write(u"Getting service status... ");
  uint32_t state = 0, win32_exit = 0, specific_exit = 0;
  const uint32_t result = QueryServiceState(state, win32_exit, specific_exit);
  if (result != 0) {
    PrintOutcome(console, result);
    return result;
  }
  if (g_quiet) return 0;
  console.Write(u"OK\nService status = " + std::u16string(StateName(state)) + u"\n");
  if (state != platform::kServiceRunning) {
    console.Write(u"Win32 Error Code = " + Hex8(win32_exit) + u"\n");
    console.Write(u"Specific Error Code  = " + Hex8(specific_exit) + u"\n");
  }
  bool automatic = false;
  const uint32_t auto_result = QueryAutoStart(automatic);
  if (auto_result == 0) {
    console.Write(automatic ? u"Service autostart: Enabled\n" : u"Service autostart: Disabled\n");
  } else {
    console.Write(u"Service autostart: getting FAILED err_code=" + Hex8(auto_result) + u"\n");
  }
  return auto_result;
}

}  // namespace

void StdoutConsole::Write(std::u16string_view text) {
  const std::string bytes = platform::ToAnsi(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

bool QuietMode() { return g_quiet; }

std::u16string_view StateName(uint32_t state) {
  static constexpr std::u16string_view kNames[] = {u"UNDEFINED",
                                                   u"SERVICE_STOPPED",
                                                   u"SERVICE_START_PENDING",
                                                   u"SERVICE_STOP_PENDING",
                                                   u"SERVICE_RUNNING",
                                                   u"SERVICE_CONTINUE_PENDING",
                                                   u"SERVICE_PAUSE_PENDING",
                                                   u"SERVICE_PAUSED"};
  return kNames[state >= 1 && state <= 7 ? state : 0];
}

std::u16string ProgramName(std::u16string_view executable_path) {
  const size_t slash = executable_path.rfind(platform::kPathSeparator);
  const std::u16string_view name =
      slash == std::u16string_view::npos ? executable_path : executable_path.substr(slash + 1);
  if (name.size() < 5 || name.size() > 12) return u"CVNService.exe";
  return std::u16string(name);
}

void PrintUsage(Console& console) {
  if (g_quiet) return;
  std::u16string path;
  platform::ExecutablePath(path, 260);
  std::u16string version = ReadProductVersion();
  if (version.empty()) version = u"0.0.0";
  console.Write(u"Corvane Service " + version + u"\n");
  console.Write(
      u"Forwards event log records to syslog servers, e-mail recipients and databases.\n");
  console.Write(u"\nUsage: " + ProgramName(path) + u" [-s] <command>\n");
  console.Write(u"\nOptions:\n");
  console.Write(u"     -s          Silent mode.\n");
  console.Write(u"\nCommands:\n");
  console.Write(u"     install       Installs service.\n");
  console.Write(u"     uninstall     Uninstalls service.\n");
  console.Write(u"     start         Starts service.\n");
  console.Write(u"     stop          Stops service.\n");
  console.Write(u"     status        Gets service state.\n\n");
  console.Write(u"     start_manual  Sets startup type to Manual state.\n");
  console.Write(u"     start_auto    Sets startup type to Automatic state.\n");
}

uint32_t RunCommandLine(const std::vector<std::u16string>& args, Console& console) {
  g_quiet = false;
  size_t command_index = 0;
  if (!args.empty() && (EqualsNoCase(args[0], u"-s") || EqualsNoCase(args[0], u"/s"))) {
    g_quiet = true;
    command_index = 1;
  }
  if (command_index >= args.size()) {
    PrintUsage(console);
    return 0;
  }
  const std::u16string& command = args[command_index];
  uint32_t result = 0;
  if (EqualsNoCase(command, u"install")) {
    if (!g_quiet) console.Write(u"Installing service... ");
    result = InstallService();
    if (result == 0) {
      SetServiceDescription();
      SetFailureActions();
    }
    PrintOutcome(console, result);
  } else if (EqualsNoCase(command, u"uninstall")) {
    if (!g_quiet) console.Write(u"Uninstalling service... ");
    result = UninstallService();
    PrintOutcome(console, result);
  } else if (EqualsNoCase(command, u"start")) {
    if (!g_quiet) console.Write(u"Starting service... ");
    result = StartServiceAndWait();
    PrintOutcome(console, result);
  } else if (EqualsNoCase(command, u"stop")) {
    if (!g_quiet) console.Write(u"Stopping service... ");
    result = StopServiceAndWait();
    PrintOutcome(console, result);
  } else if (EqualsNoCase(command, u"status")) {
    result = RunStatus(console);
  } else if (EqualsNoCase(command, u"service")) {
    result = RunServiceDispatcher();
  } else if (EqualsNoCase(command, u"start_manual") || EqualsNoCase(command, u"start_auto")) {
    if (!g_quiet) console.Write(u"Changing startup type... ");
    result = SetStartType(EqualsNoCase(command, u"start_auto"));
    PrintOutcome(console, result);
  } else {
    PrintUsage(console);
    return 0;
  }
  PrintErrorText(console, result);
  return g_quiet ? 0 : result;
}

std::u16string SystemErrorText(uint32_t code) {
  std::u16string text;
  if (platform::FormatSystemMessage(code, false, text) != 0) return {};
  return text;
}

}  // namespace cvn::service
