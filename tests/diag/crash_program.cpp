// Installs the crash handler writing to the folder given as its argument,
// then writes to address 0 three calls deep, so that the report has frames of
// this program to list.
#include <cstdio>

#include "diag/crash_handler.h"
#include "platform/program_entry.h"

namespace {

volatile int* volatile g_target = nullptr;

[[gnu::noinline]] void WriteToNull(int value) { *g_target = value; }
[[gnu::noinline]] void Middle(int value) {
  WriteToNull(value + 1);
  std::puts("not reached");
}
[[gnu::noinline]] void Outer(int value) {
  Middle(value * 2);
  std::puts("not reached");
}

}  // namespace

int ProgramMain(std::vector<std::u16string> args) {
  if (args.empty()) return 2;
  if (!cvn::InstallCrashHandler(args[0])) return 3;
  Outer(20);
  return 0;
}
