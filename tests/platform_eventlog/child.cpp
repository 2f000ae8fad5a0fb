// A second process for the registry and event log contract tests: it makes
// the changes whose effects the tests watch from their own process.
//   child reg-create <key path>
//   child reg-values <key path> <prefix> <count>     sets <prefix>0.. as DWORDs
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/text.h"
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
  return 2;
}
