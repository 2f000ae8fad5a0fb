// Event times as people read them, in the formats chosen by General/DateFormat
// and General/TimeFormat, always with the fixed "C" conventions (English names,
// AM/PM) and in local time.
#pragma once

#include <cstdint>
#include <string>

namespace cvn {

std::u16string FormatTime(int64_t time, uint32_t time_format);
std::u16string FormatDate(int64_t time, uint32_t date_format);
std::u16string FormatDateTime(int64_t time, uint32_t date_format, uint32_t time_format);
std::u16string FormatLongDateTime(int64_t time, uint32_t time_format);

// The strftime format of a date format value (15 and above: "%x").
const char* DateFormatText(uint32_t date_format);
// The strftime format of a time format value; 0 follows the system locale's
// clock, given here as uses_12_hour_clock.
const char* TimeFormatText(uint32_t time_format, bool uses_12_hour_clock);

}  // namespace cvn
