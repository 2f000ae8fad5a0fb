// Seconds since 1970 of a date and time in the process's local zone, with
// daylight saving decided by the C library.
#pragma once

#include <cstdint>
#include <ctime>

namespace cvn::testing {

inline int64_t LocalSeconds(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

}  // namespace cvn::testing
