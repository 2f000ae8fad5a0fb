#include "platform/program_entry.h"

#include "platform/win32/win.h"

int wmain(int argc, wchar_t** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(cvn::platform::win32::FromWide(argv[i]));
  return ProgramMain(std::move(args));
}
