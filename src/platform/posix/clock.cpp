#include "platform/clock.h"

#include <time.h>

#include <chrono>
#include <thread>

#include "base/time32.h"

namespace cvn::platform {

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool LocalCalendarTime(int64_t t, std::tm& out) {
  if (!IsConvertibleTime32(t)) return false;
  const time_t value = static_cast<time_t>(t);
  return localtime_r(&value, &out) != nullptr;
}

uint32_t TickCount() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint32_t>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                               static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace cvn::platform
