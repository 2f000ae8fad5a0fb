#include "platform/program_entry.h"

#include "base/text.h"

int main(int argc, char** argv) {
  std::vector<std::u16string> args;
  for (int i = 1; i < argc; ++i) args.push_back(cvn::Utf8ToUtf16(argv[i]));
  return ProgramMain(std::move(args));
}
