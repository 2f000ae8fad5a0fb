// 32-bit time stamps: seconds since 1970-01-01 00:00:00 UTC, as event records,
// bookmarks, registry values and control messages carry them. The 32-bit
// calendar conversion accepts 0 .. 2^31-1 only; larger values do not convert.
#pragma once

#include <cstdint>
#include <ctime>

namespace cvn {

using Time32 = uint32_t;

constexpr Time32 kMaxConvertibleTime32 = 0x7FFFFFFFu;

constexpr bool IsConvertibleTime32(int64_t t) { return t >= 0 && t <= kMaxConvertibleTime32; }

// UTC calendar time of t; false for values that do not convert.
bool UtcCalendarTime(int64_t t, std::tm& out);

// Seconds since 1970 of a UTC calendar date and time (no range check).
int64_t SecondsFromUtc(int year, int month, int day, int hour, int minute, int second);

}  // namespace cvn
