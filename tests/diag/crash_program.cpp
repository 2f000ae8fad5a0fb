// Installs the crash handler writing to the folder given as its first
// argument, then writes to address 0 three calls deep, so that the report has
// frames of this program to list; with "overflow" as its second argument, a
// worker thread overflows its stack instead, with "abort" or "terminate" the
// program ends through std::abort or std::terminate.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "diag/crash_handler.h"
#include "platform/program_entry.h"
#include "platform/thread.h"

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

volatile bool g_deeper = true;

[[gnu::noinline]] uint32_t Recurse(uint32_t depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  return (g_deeper ? Recurse(depth + 1) : 0) + frame[0];
}

}  // namespace

int ProgramMain(std::vector<std::u16string> args) {
  if (args.empty()) return 2;
  if (!cvn::InstallCrashHandler(args[0])) return 3;
  if (args.size() > 1 && args[1] == u"abort") std::abort();
  if (args.size() > 1 && args[1] == u"terminate") std::terminate();
  if (args.size() > 1 && args[1] == u"overflow") {
    cvn::platform::Thread worker;
    worker.Start([] { return Recurse(0); });
    worker.Join(60000);
    return 4;
  }
  Outer(20);
  return 0;
}
