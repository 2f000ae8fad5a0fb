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

// A time limit that starts when it is made, for an operation that waits
// several times: each wait gets only what is left of it.
class Deadline {
 public:
  static constexpr uint32_t kNoLimit = 0xFFFFFFFFu;

  explicit Deadline(uint32_t limit_ms = kNoLimit) : start_(TickCount()), limit_ms_(limit_ms) {}
  bool limited() const { return limit_ms_ != kNoLimit; }
  // Milliseconds left: kNoLimit without a limit, 0 once it has passed.
  uint32_t Remaining() const {
    if (!limited()) return kNoLimit;
    const uint32_t spent = TickCount() - start_;
    return spent >= limit_ms_ ? 0 : limit_ms_ - spent;
  }

 private:
  uint32_t start_;
  uint32_t limit_ms_;
};

}  // namespace cvn::platform
