// The registry's store file as another process may have left it: every key
// opened and its subkeys and values read, then one value written, which
// rewrites the whole store from what was parsed.
#include <fcntl.h>
#include <sys/stat.h>

#include "fuzz_support.h"
#include "platform/registry.h"

namespace {

using cvn::platform::RegistryKey;
using cvn::platform::RegistryRoot;
using cvn::platform::RegistryValue;

void Walk(const RegistryKey& key, int depth, size_t& budget) {
  std::vector<std::u16string> names;
  if (key.EnumValues(names) == 0) {
    for (const std::u16string& name : names) {
      RegistryValue value;
      key.QueryValue(name, value);
      std::u16string text;
      key.QueryExpandedString(name, text);
    }
  }
  if (depth > 64 || key.EnumSubkeys(names) != 0) return;
  for (const std::u16string& name : names) {
    if (budget-- == 0) return;
    RegistryKey child;
    if (child.Open(key, name) == 0) Walk(child, depth + 1, budget);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto store = cvn::fuzz::MachineRoot() / "Registry" / "HKLM.reg";
  static int64_t generation = 0;
  cvn::fuzz::WriteFile(store, {data, size});
  // The store is cached by file identity and time: give every input its own
  // time so that none is mistaken for the one before.
  const timespec times[2] = {{generation, 0}, {++generation, 0}};
  utimensat(AT_FDCWD, store.c_str(), times, 0);
  RegistryKey root;
  if (root.Open(RegistryRoot::kLocalMachine, u"") != 0) return 0;
  size_t budget = 4096;
  Walk(root, 0, budget);
  RegistryKey key;
  if (key.Create(RegistryRoot::kLocalMachine, u"SOFTWARE\\Corvane\\Fuzz") == 0) {
    key.SetString(u"Written", u"value\twith ^ and\nline");
    std::u16string text;
    if (key.QueryString(u"Written", text) != 0 || text != u"value\twith ^ and\nline")
      __builtin_trap();
  }
  return 0;
}
