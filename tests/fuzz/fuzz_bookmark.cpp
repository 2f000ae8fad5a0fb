// A bookmark file as a restart finds it: read through the store, and when it
// holds a bookmark, written back and read again unchanged. The same bytes as
// a positions file: what parses formats back to the same positions.
#include "core/bookmark_store.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto folder = cvn::fuzz::MachineRoot() / "EventLogs";
  constexpr char16_t kLog[] = u"Application";
  cvn::ChannelPositions positions;
  if (cvn::ParsePositions({reinterpret_cast<const char*>(data), size}, positions)) {
    cvn::ChannelPositions again;
    if (!cvn::ParsePositions(cvn::FormatPositions(positions), again) || again != positions) {
      __builtin_trap();
    }
  }
  cvn::fuzz::WriteFile(folder / "Application", {data, size});
  cvn::CBookmarkStore store;
  store.SetFolder(cvn::fuzz::U16(folder) + u"/");
  cvn::LogBookmark read;
  bool unreadable = false;
  if (!store.GetBookmark(kLog, read, &unreadable)) return 0;
  if (!store.SetBookmark(kLog, read)) __builtin_trap();
  cvn::CBookmarkStore fresh;
  fresh.SetFolder(store.Folder());
  cvn::LogBookmark again;
  if (!fresh.GetBookmark(kLog, again) || again.lastRecord != read.lastRecord ||
      again.lastTime != read.lastTime || again.oldestRecord != read.oldestRecord ||
      again.empty != read.empty) {
    __builtin_trap();
  }
  return 0;
}
