#include "events/date_time_format.h"

#include <gtest/gtest.h>

#include <ctime>

#include "base/text.h"
#include "support/local_time.h"

namespace cvn {
namespace {

int64_t Local(int year, int month, int day, int hour, int minute, int second) {
  return cvn::testing::LocalSeconds(year, month, day, hour, minute, second);
}

const int64_t kSample = Local(2016, 12, 8, 14, 5, 9);

std::string Date(uint32_t format) { return Utf16ToUtf8(FormatDate(kSample, format)); }

TEST(DateFormats, EveryRowOfTheTable) {
  const char* expected[] = {"12/08/16",     "12/08/2016",  "12.08.2016",  "12-08-2016",
                            "08/12/2016",   "08.12.2016",  "08-12-2016",  "2016/12/08",
                            "2016.12.08",   "2016-12-08",  "08 Dec 2016", "2016 Dec 08",
                            "Dec 08, 2016", "08-Dec-2016", "2016-Dec-08"};
  for (uint32_t i = 0; i < 15; ++i) EXPECT_EQ(Date(i), expected[i]) << "DateFormat " << i;
}

TEST(DateFormats, OutOfRangeValuesUseTheShortDate) {
  EXPECT_EQ(Date(15), "12/08/16");
  EXPECT_EQ(Date(99), "12/08/16");
  EXPECT_EQ(Date(0xFFFFFFFFu), "12/08/16");
}

TEST(TimeFormats, EveryRowOfTheTable) {
  EXPECT_STREQ(TimeFormatText(0, true), "%I:%M:%S %p");
  EXPECT_STREQ(TimeFormatText(0, false), "%H:%M:%S");
  EXPECT_EQ(Utf16ToUtf8(FormatTime(kSample, 1)), "02:05:09 PM");
  EXPECT_EQ(Utf16ToUtf8(FormatTime(kSample, 2)), "14:05:09");
  EXPECT_EQ(Utf16ToUtf8(FormatTime(kSample, 5)), "14:05:09");
  EXPECT_EQ(Utf16ToUtf8(FormatTime(Local(2016, 12, 8, 0, 30, 0), 1)), "12:30:00 AM");
  const std::string system = Utf16ToUtf8(FormatTime(kSample, 0));
  EXPECT_TRUE(system == "14:05:09" || system == "02:05:09 PM") << system;
}

TEST(CombinedFormats, DateTimeAndLongDateTime) {
  EXPECT_EQ(Utf16ToUtf8(FormatDateTime(kSample, 12, 2)), "Dec 08, 2016 14:05:09");
  EXPECT_EQ(Utf16ToUtf8(FormatLongDateTime(kSample, 2)), "Thursday, December 08, 2016 14:05:09");
  EXPECT_EQ(Utf16ToUtf8(FormatLongDateTime(kSample, 1)), "Thursday, December 08, 2016 02:05:09 PM");
}

TEST(CombinedFormats, UnconvertibleTimesGiveEmptyText) {
  for (int64_t bad : {int64_t{-1}, int64_t{0x80000000LL}, int64_t{0xFFFFFFFFLL}}) {
    EXPECT_TRUE(FormatDate(bad, 1).empty());
    EXPECT_TRUE(FormatTime(bad, 2).empty());
    EXPECT_TRUE(FormatDateTime(bad, 1, 2).empty());
    EXPECT_TRUE(FormatLongDateTime(bad, 2).empty());
  }
}

}  // namespace
}  // namespace cvn
