#include <gtest/gtest.h>

#include "base/time32.h"
#include "base/time_format.h"

namespace cvn {
namespace {

std::tm Utc(int64_t t) {
  std::tm tm{};
  EXPECT_TRUE(UtcCalendarTime(t, tm));
  return tm;
}

TEST(Time32, ConvertsOnlyTheSigned32BitRange) {
  std::tm tm{};
  EXPECT_TRUE(UtcCalendarTime(0, tm));
  EXPECT_TRUE(UtcCalendarTime(0x7FFFFFFF, tm));
  EXPECT_EQ(tm.tm_year, 138);  // 2038-01-19 03:14:07
  EXPECT_EQ(tm.tm_hour, 3);
  EXPECT_FALSE(UtcCalendarTime(0x80000000LL, tm));
  EXPECT_FALSE(UtcCalendarTime(0xFFFFFFFFLL, tm));
  EXPECT_FALSE(UtcCalendarTime(-1, tm));
}

TEST(Time32, UtcCalendarMatchesKnownDates) {
  const int64_t t = SecondsFromUtc(2016, 12, 8, 14, 5, 9);
  EXPECT_EQ(t, 1481205909);
  const std::tm tm = Utc(t);
  EXPECT_EQ(tm.tm_wday, 4);  // a Thursday
  EXPECT_EQ(tm.tm_yday, 342);
  EXPECT_EQ(Utc(SecondsFromUtc(2000, 2, 29, 0, 0, 0)).tm_mday, 29);
  EXPECT_EQ(Utc(SecondsFromUtc(2000, 3, 1, 0, 0, 0)).tm_mon, 2);
}

TEST(CTimeFormat, UsesFixedCConventions) {
  const std::tm tm = Utc(SecondsFromUtc(2016, 12, 8, 14, 5, 9));
  EXPECT_EQ(FormatCTime("%x", tm), "12/08/16");
  EXPECT_EQ(FormatCTime("%#x", tm), "Thursday, December 08, 2016");
  EXPECT_EQ(FormatCTime("%c", tm), "12/08/16 14:05:09");
  EXPECT_EQ(FormatCTime("%a %A %b %B %p %I %y %Y %%", tm), "Thu Thursday Dec December PM 02 16 2016 %");
  EXPECT_EQ(FormatCTime("%#d.%#m", Utc(SecondsFromUtc(2016, 1, 2, 0, 0, 0))), "2.1");
  EXPECT_EQ(FormatCTime("CVN%Y%m%d.log", tm), "CVN20161208.log");
}

TEST(CTimeFormat, MidnightAndNoonOnTheTwelveHourClock) {
  EXPECT_EQ(FormatCTime("%I:%M %p", Utc(SecondsFromUtc(2016, 1, 1, 0, 30, 0))), "12:30 AM");
  EXPECT_EQ(FormatCTime("%I:%M %p", Utc(SecondsFromUtc(2016, 1, 1, 12, 0, 0))), "12:00 PM");
}

TEST(CTimeFormat, RejectsUnknownOrTruncatedConversions) {
  const std::tm tm = Utc(0);
  EXPECT_FALSE(FormatCTime("%Q", tm));
  EXPECT_FALSE(FormatCTime("abc%", tm));
  EXPECT_FALSE(FormatCTime("%#", tm));
  EXPECT_EQ(FormatCTime("", tm), "");
}

}  // namespace
}  // namespace cvn
