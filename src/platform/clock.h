// Wall clock, local calendar time and the millisecond tick counter.
#pragma once

#include <cstdint>
#include <ctime>

namespace cvn::platform {

// Seconds since 1970-01-01 00:00:00 UTC.
int64_t NowSeconds();

// Local calendar time of t in the system's time zone, daylight-saving time
// applied; false for values outside 0 .. 2^31-1 or when the system rejects them.
bool LocalCalendarTime(int64_t t, std::tm& out);

// Milliseconds since the system started; wraps after 49.7 days.
uint32_t TickCount();

// Sleeps the calling thread.
void SleepMs(uint32_t ms);

}  // namespace cvn::platform
