#include "events/date_time_format.h"

#include <array>
#include <string>

#include "base/text.h"
#include "base/time_format.h"
#include "platform/clock.h"
#include "platform/locale.h"

namespace cvn {
namespace {

constexpr std::array<const char*, 15> kDateFormats = {
    "%x",       "%m/%d/%Y", "%m.%d.%Y", "%m-%d-%Y", "%d/%m/%Y",  "%d.%m.%Y", "%d-%m-%Y", "%Y/%m/%d",
    "%Y.%m.%d", "%Y-%m-%d", "%d %b %Y", "%Y %b %d", "%b %d, %Y", "%d-%b-%Y", "%Y-%b-%d"};

constexpr const char* k12Hour = "%I:%M:%S %p";
constexpr const char* k24Hour = "%H:%M:%S";

// Text longer than this did not fit the formatting buffer and counts as failed.
constexpr size_t kMaxFormattedChars = 95;

const char* TimeFormatNow(uint32_t time_format) {
  // The locale decides the clock only where the format leaves it open.
  return TimeFormatText(time_format, time_format == 0 && platform::SystemLocaleUses12HourClock());
}

std::u16string Format(int64_t time, const std::string& format) {
  std::tm local{};
  if (!platform::LocalCalendarTime(time, local)) return {};
  const auto text = FormatCTime(format, local);
  if (!text || text->empty() || text->size() > kMaxFormattedChars) return {};
  return Utf8ToUtf16(*text);
}

}  // namespace

const char* DateFormatText(uint32_t date_format) {
  return date_format < kDateFormats.size() ? kDateFormats[date_format] : kDateFormats[0];
}

const char* TimeFormatText(uint32_t time_format, bool uses_12_hour_clock) {
  switch (time_format) {
    case 0: return uses_12_hour_clock ? k12Hour : k24Hour;
    case 1: return k12Hour;
    default: return k24Hour;
  }
}

std::u16string FormatTime(int64_t time, uint32_t time_format) {
  return Format(time, TimeFormatNow(time_format));
}

std::u16string FormatDate(int64_t time, uint32_t date_format) {
  return Format(time, DateFormatText(date_format));
}

std::u16string FormatDateTime(int64_t time, uint32_t date_format, uint32_t time_format) {
  return Format(time, std::string(DateFormatText(date_format)) + " " + TimeFormatNow(time_format));
}

std::u16string FormatLongDateTime(int64_t time, uint32_t time_format) {
  return Format(time, std::string("%#x ") + TimeFormatNow(time_format));
}

}  // namespace cvn
