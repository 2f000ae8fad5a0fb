#include "base/time_format.h"

#include <array>
#include <cstdio>

namespace cvn {
namespace {

constexpr std::array<const char*, 7> kDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                              "Thursday", "Friday", "Saturday"};
constexpr std::array<const char*, 12> kMonths = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

std::string Number(int value, int width, bool strip_zeros) {
  char buf[16];
  if (strip_zeros) {
    std::snprintf(buf, sizeof buf, "%d", value);
  } else {
    std::snprintf(buf, sizeof buf, "%0*d", width, value);
  }
  return buf;
}

const char* DayName(const std::tm& tm) { return kDays[static_cast<unsigned>(tm.tm_wday) % 7]; }
const char* MonthName(const std::tm& tm) {
  return kMonths[static_cast<unsigned>(tm.tm_mon) % 12];
}

int Hour12(const std::tm& tm) {
  const int h = tm.tm_hour % 12;
  return h == 0 ? 12 : h;
}

// One conversion; false when the letter is unknown.
bool Convert(char letter, bool alt, const std::tm& tm, std::string& out);

std::string Sub(std::string_view fmt, bool alt, const std::tm& tm) {
  std::string s;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '%' && i + 1 < fmt.size()) {
      Convert(fmt[++i], alt, tm, s);
    } else {
      s.push_back(fmt[i]);
    }
  }
  return s;
}

bool Convert(char letter, bool alt, const std::tm& tm, std::string& out) {
  switch (letter) {
    case 'a': out.append(DayName(tm), 3); break;
    case 'A': out += DayName(tm); break;
    case 'b': out.append(MonthName(tm), 3); break;
    case 'B': out += MonthName(tm); break;
    case 'd': out += Number(tm.tm_mday, 2, alt); break;
    case 'H': out += Number(tm.tm_hour, 2, alt); break;
    case 'I': out += Number(Hour12(tm), 2, alt); break;
    case 'j': out += Number(tm.tm_yday + 1, 3, alt); break;
    case 'm': out += Number(tm.tm_mon + 1, 2, alt); break;
    case 'M': out += Number(tm.tm_min, 2, alt); break;
    case 'S': out += Number(tm.tm_sec, 2, alt); break;
    case 'p': out += tm.tm_hour < 12 ? "AM" : "PM"; break;
    case 'w': out += Number(tm.tm_wday, 1, alt); break;
    case 'y': out += Number((tm.tm_year + 1900) % 100, 2, alt); break;
    case 'Y': out += Number(tm.tm_year + 1900, 4, alt); break;
    case 'x': out += alt ? Sub("%A, %B %d, %Y", false, tm) : Sub("%m/%d/%y", false, tm); break;
    case 'X': out += Sub("%H:%M:%S", false, tm); break;
    case 'c':
      out += alt ? Sub("%A, %B %d, %Y %H:%M:%S", false, tm) : Sub("%m/%d/%y %H:%M:%S", false, tm);
      break;
    case '%': out.push_back('%'); break;
    default: return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> FormatCTime(std::string_view format, const std::tm& tm) {
  std::string out;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out.push_back(format[i]);
      continue;
    }
    if (++i >= format.size()) return std::nullopt;
    bool alt = false;
    if (format[i] == '#') {
      alt = true;
      if (++i >= format.size()) return std::nullopt;
    }
    if (!Convert(format[i], alt, tm, out)) return std::nullopt;
  }
  return out;
}

}  // namespace cvn
