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
#include "platform/registry.h"

using namespace cvn;
using namespace cvn::platform;

namespace {

int Fail(const char* what, uint32_t error) {
  std::fprintf(stderr, "child: %s failed: %u\n", what, error);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string command = argv[1];
  const std::u16string path = Utf8ToUtf16(argv[2]);
  RegistryKey key;
  if (command == "reg-create") {
    const uint32_t r = key.Create(RegistryRoot::kLocalMachine, path);
    return r == 0 ? 0 : Fail("create", r);
  }
  if (command == "reg-values" && argc == 5) {
    uint32_t r = key.Create(RegistryRoot::kLocalMachine, path);
    if (r != 0) return Fail("create", r);
    const int count = std::atoi(argv[4]);
    for (int i = 0; i < count; ++i) {
      r = key.SetDword(Utf8ToUtf16(std::string(argv[3]) + std::to_string(i)),
                       static_cast<uint32_t>(i));
      if (r != 0) return Fail("set", r);
    }
    return 0;
  }
  if (command == "report" && argc == 5) {
    EventSource source;
    uint32_t r = source.Register(path);
    if (r != 0) return Fail("register", r);
    const int count = std::atoi(argv[3]);
    for (int i = 0; i < count; ++i) {
      const std::u16string strings[] = {Utf8ToUtf16(argv[4]), Utf8ToUtf16(std::to_string(i))};
      r = source.Report(kEventTypeInformation, 1, 1000, {}, strings, {});
      if (r != 0) return Fail("report", r);
    }
    return 0;
  }
  return 2;
}
