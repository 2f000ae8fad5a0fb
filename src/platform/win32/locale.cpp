#include "platform/locale.h"

#include "platform/win32/win.h"

namespace cvn::platform {

bool SystemLocaleUses12HourClock() {
  // LOCALE_ITIME is "0" for the 12-hour clock and "1" for the 24-hour clock.
  wchar_t value[4] = {};
  if (::GetLocaleInfoW(LOCALE_SYSTEM_DEFAULT, LOCALE_ITIME, value, 4) == 0) return false;
  return value[0] == L'0';
}

void UseUtf8NarrowText() {}

}  // namespace cvn::platform
