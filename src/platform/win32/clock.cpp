#include "platform/clock.h"

#include <time.h>

#include "base/time32.h"
#include "platform/win32/win.h"

namespace cvn::platform {

int64_t NowSeconds() {
  FILETIME ft;
  ::GetSystemTimeAsFileTime(&ft);
  const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  // 100-nanosecond intervals since 1601-01-01; 1970 is 11644473600 s later.
  return static_cast<int64_t>(ticks / 10000000u) - 11644473600LL;
}

bool LocalCalendarTime(int64_t t, std::tm& out) {
  // The 32-bit C runtime conversion, which takes 0 .. 2^31-1 only.
  if (!IsConvertibleTime32(t)) return false;
  const __time32_t value = static_cast<__time32_t>(t);
  return _localtime32_s(&out, &value) == 0;
}

uint32_t TickCount() { return ::GetTickCount(); }

void SleepMs(uint32_t ms) { ::Sleep(ms); }

}  // namespace cvn::platform
