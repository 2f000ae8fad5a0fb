#include "platform/clock.h"

#include <gtest/gtest.h>

namespace cvn::platform {
namespace {

TEST(Clock, LocalTimeRejectsValuesOutsideTheSigned32BitRange) {
  std::tm tm{};
  EXPECT_TRUE(LocalCalendarTime(NowSeconds(), tm));
  EXPECT_GE(tm.tm_year, 126);
  EXPECT_TRUE(LocalCalendarTime(86400, tm));
  EXPECT_FALSE(LocalCalendarTime(0x80000000LL, tm));
  EXPECT_FALSE(LocalCalendarTime(-1, tm));
}

TEST(Clock, LocalTimeAgreesWithTheCRuntime) {
  std::tm want{};
  want.tm_year = 116;
  want.tm_mon = 11;
  want.tm_mday = 8;
  want.tm_hour = 14;
  want.tm_min = 5;
  want.tm_sec = 9;
  want.tm_isdst = -1;
  const std::time_t t = std::mktime(&want);
  std::tm got{};
  ASSERT_TRUE(LocalCalendarTime(t, got));
  EXPECT_EQ(got.tm_hour, 14);
  EXPECT_EQ(got.tm_mday, 8);
  EXPECT_EQ(got.tm_wday, 4);
}

TEST(Clock, TickCountAdvances) {
  const uint32_t a = TickCount();
  SleepMs(100);
  // The Windows tick counter moves in steps of 10-16 ms, and under Wine it
  // lags by up to a step more; only a clear advance is asserted.
  EXPECT_GE(TickCount() - a, 50u);
}

}  // namespace
}  // namespace cvn::platform
