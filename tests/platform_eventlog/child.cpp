// A second process for the registry and event log contract tests: it makes
// the changes whose effects the tests watch from their own process.
//   child reg-create <key path>
//   child reg-values <key path> <prefix> <count>     sets <prefix>0.. as DWORDs
//   child report <source> <count> <tag>    reports events with strings <tag>, <i>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
#include "platform/event_log.h"
#include "platform/program_entry.h"
#include "platform/registry.h"

using namespace cvn;
using namespace cvn::platform;

namespace {

int Fail(const char* what, uint32_t error) {
  std::fprintf(stderr, "child: %s failed: %u\n", what, error);
  return 1;
}

int Number(const std::u16string& text) { return std::atoi(Utf16ToUtf8(text).c_str()); }

}  // namespace

int ProgramMain(std::vector<std::u16string> args) {
  if (args.size() < 2) return 2;
  const std::u16string& command = args[0];
  const std::u16string& path = args[1];
  RegistryKey key;
  if (command == u"reg-create") {
    const uint32_t r = key.Create(RegistryRoot::kLocalMachine, path);
    return r == 0 ? 0 : Fail("create", r);
  }
  if (command == u"reg-values" && args.size() == 4) {
    uint32_t r = key.Create(RegistryRoot::kLocalMachine, path);
    if (r != 0) return Fail("create", r);
    const int count = Number(args[3]);
    for (int i = 0; i < count; ++i) {
      r = key.SetDword(args[2] + Utf8ToUtf16(std::to_string(i)), static_cast<uint32_t>(i));
      if (r != 0) return Fail("set", r);
    }
    return 0;
  }
  if (command == u"report" && args.size() == 4) {
    EventSource source;
    uint32_t r = source.Register(path);
    if (r != 0) return Fail("register", r);
    const int count = Number(args[2]);
    for (int i = 0; i < count; ++i) {
      const std::u16string strings[] = {args[3], Utf8ToUtf16(std::to_string(i))};
      r = source.Report(kEventTypeInformation, 1, 1000, {}, strings, {});
      if (r != 0) return Fail("report", r);
    }
    return 0;
  }
  return 2;
}
