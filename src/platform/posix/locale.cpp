// The system default locale is the one the environment selects (LC_ALL,
// LC_TIME, LANG); its time format tells the clock. The "C" locale, and a
// locale that cannot be loaded, use the 24-hour clock. The environment of a
// process does not change under it, so the locale is loaded once: loading it
// maps the locale files afresh, far more than formatting a record costs.
#include "platform/locale.h"

#include <langinfo.h>
#include <locale.h>

#include <cstring>

namespace cvn::platform {

namespace {

bool LoadedLocaleUses12HourClock() {
  locale_t loc = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (loc == static_cast<locale_t>(0)) return false;
  const char* fmt = nl_langinfo_l(T_FMT, loc);
  const bool twelve =
      fmt != nullptr && (std::strstr(fmt, "%I") != nullptr || std::strstr(fmt, "%l") != nullptr ||
                         std::strstr(fmt, "%r") != nullptr);
  freelocale(loc);
  return twelve;
}

}  // namespace

bool SystemLocaleUses12HourClock() {
  static const bool twelve = LoadedLocaleUses12HourClock();
  return twelve;
}

void UseUtf8NarrowText() {
  // The character set of LC_CTYPE; the rest of the locale stays "C". A
  // process that already runs with a UTF-8 set keeps it.
  static const bool done = [] {
    const char* current = setlocale(LC_CTYPE, nullptr);
    if (current != nullptr && std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0) return true;
    return setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  }();
  (void)done;
}

}  // namespace cvn::platform
