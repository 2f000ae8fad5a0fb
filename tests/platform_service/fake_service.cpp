// A service for the tests: fake_service <name> <mode> [file]
//
//   normal      start-pending, running (accepts stop), stops on the stop control
//   slow_start  stays start-pending (checkpoint advancing) until [file] exists
//   stuck_stop  like normal, but stays stop-pending until [file] exists
//   fail_start  reports start-pending, then stopped with Win32 exit code 1064
//   crash_once  when [file] does not exist: creates it, runs and then ends
//               without reporting stopped; otherwise like normal
//
// Every wait for [file] gives up after two minutes, so a test that fails
// half-way leaves no process behind for long.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/clock.h"
#include "platform/file.h"
#include "platform/program_entry.h"
#include "platform/service_manager.h"
#include "platform/sync.h"

namespace pf = cvn::platform;

namespace {

std::u16string g_name;
std::u16string g_mode;
std::u16string g_file;
pf::Event g_stop{pf::Event::Mode::kManualReset};
pf::ServiceStatusHandle g_handle;

void Report(uint32_t state, uint32_t accepted, uint32_t check_point, uint32_t wait_hint,
            uint32_t win32_exit = 0) {
  pf::ServiceStatus s;
  s.service_type = pf::kServiceOwnProcess;
  s.current_state = state;
  s.controls_accepted = accepted;
  s.check_point = check_point;
  s.wait_hint = wait_hint;
  s.win32_exit_code = win32_exit;
  pf::ReportServiceStatus(g_handle, s);
}

void WaitForFile(uint32_t* check_point) {
  for (int i = 0; i < 2400 && !pf::FileExists(g_file); ++i) {
    pf::SleepMs(50);
    if (check_point != nullptr && i % 10 == 0) {
      Report(pf::kServiceStartPending, 0, ++*check_point, 60000);
    }
  }
}

void Handler(uint32_t control) {
  if (control != pf::kServiceControlStop) return;
  Report(pf::kServiceStopPending, 0, 1, 5000);
  g_stop.Set();
}

void Main() {
  if (pf::RegisterServiceControlHandler(g_name, Handler, g_handle) != 0) return;
  uint32_t check_point = 1;
  Report(pf::kServiceStartPending, 0, check_point, 60000);
  if (g_mode == u"fail_start") {
    Report(pf::kServiceStopped, 0, 0, 0, 1064);
    return;
  }
  if (g_mode == u"slow_start") WaitForFile(&check_point);
  bool crash = false;
  if (g_mode == u"crash_once" && !pf::FileExists(g_file)) {
    pf::File f;
    f.Open(g_file, pf::FileAccess::kWrite, pf::FileShare::kAll, pf::FileCreate::kCreateAlways);
    crash = true;
  }
  Report(pf::kServiceRunning, pf::kServiceAcceptStop, 0, 0);
  if (crash) {
    pf::SleepMs(200);
    std::_Exit(3);
  }
  g_stop.Wait(120000);
  if (g_mode == u"stuck_stop") WaitForFile(nullptr);
  Report(pf::kServiceStopped, 0, 0, 0);
}

}  // namespace

int ProgramMain(std::vector<std::u16string> args) {
  if (args.size() < 2) return 2;
  g_name = args[0];
  g_mode = args[1];
  if (args.size() > 2) g_file = args[2];
  return static_cast<int>(pf::RunServiceDispatcher(g_name, Main));
}
