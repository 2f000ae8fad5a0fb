// The syslog cache file a previous run left: opened and checked (and
// repaired), then drained in batches as the forwarder sends them, then one
// more message appended to what is left.
#include "fuzz_support.h"
#include "syslog/syslog_cache.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto path = cvn::fuzz::MachineRoot() / "syslogs.cache";
  cvn::fuzz::WriteFile(path, {data, size});
  cvn::CSyslogCache cache(cvn::fuzz::U16(path), [](const std::string&) {});
  if (!cache.OpenExisting()) return 0;
  const uint32_t count = cache.count();
  uint32_t drained = 0;
  std::vector<std::string> messages;
  while (cache.count() != 0) {
    messages.clear();
    if (cache.ReadOldest(3, 4096, messages) != 0) break;
    if (messages.empty() || messages.size() > cache.count()) __builtin_trap();
    if (cache.RemoveOldest(messages.size()) != 0) break;
    drained += static_cast<uint32_t>(messages.size());
  }
  // Records once counted are all read back when the file gives no error.
  if (drained > count) __builtin_trap();
  if (cache.IsOpen() && cache.Append("<14>Dec 10 02:00:00 HOST Src: appended") == 0) {
    std::string last;
    while (cache.count() != 0 && cache.ReadOldest(last) == 0 && cache.RemoveOldest() == 0) {
    }
    if (last != "<14>Dec 10 02:00:00 HOST Src: appended") __builtin_trap();
  }
  return 0;
}
