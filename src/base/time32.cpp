#include "base/time32.h"

namespace cvn {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

}  // namespace

int64_t SecondsFromUtc(int year, int month, int day, int hour, int minute, int second) {
  return DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
         hour * 3600 + minute * 60 + second;
}

bool UtcCalendarTime(int64_t t, std::tm& out) {
  if (!IsConvertibleTime32(t)) return false;
  const int64_t days = t / 86400;
  const int64_t secs = t % 86400;
  // Inverse of DaysFromCivil, for days >= 0.
  const int64_t z = days + 719468;
  const int64_t era = z / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const int64_t y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);

  out = std::tm{};
  out.tm_year = static_cast<int>(y - 1900);
  out.tm_mon = static_cast<int>(m - 1);
  out.tm_mday = static_cast<int>(d);
  out.tm_hour = static_cast<int>(secs / 3600);
  out.tm_min = static_cast<int>(secs % 3600 / 60);
  out.tm_sec = static_cast<int>(secs % 60);
  out.tm_wday = static_cast<int>((days + 4) % 7);  // 1970-01-01 was a Thursday
  out.tm_yday = static_cast<int>(days - DaysFromCivil(y, 1, 1));
  out.tm_isdst = 0;
  return true;
}

}  // namespace cvn
