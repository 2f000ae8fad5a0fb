// The system default locale is the one the environment selects (LC_ALL,
// LC_TIME, LANG); its time format tells the clock. The "C" locale, and a
// locale that cannot be loaded, use the 24-hour clock.
#include "platform/locale.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>

namespace cvn::platform {

bool SystemLocaleUses12HourClock() {
  locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return false;
  const char* fmt = nl_langinfo_l(T_FMT, loc);
  const bool twelve = fmt != nullptr && (std::strstr(fmt, "%I") != nullptr ||
                                         std::strstr(fmt, "%l") != nullptr ||
                                         std::strstr(fmt, "%r") != nullptr);
  freelocale(loc);
  return twelve;
}

}  // namespace cvn::platform
