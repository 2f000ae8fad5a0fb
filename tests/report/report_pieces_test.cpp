// The report's texts and the schedule arithmetic, without event logs.
#include <gtest/gtest.h>

#include "base/text.h"
#include "report/report_html.h"
#include "report/report_schedule.h"
#include "report/report_test_util.h"

namespace cvn::report {
namespace {

using report_test::Local;
using report_test::UseTimeZone;

std::string U8(const std::u16string& s) { return Utf16ToUtf8(s); }

TEST(ReportClasses, RawTypesInTheirTestOrder) {
  EXPECT_EQ(ClassOf(0x01), kClassError);
  EXPECT_EQ(ClassOf(0x03), kClassWarning);  // warning bit wins over error
  EXPECT_EQ(ClassOf(0x00), kClassInformation);
  EXPECT_EQ(ClassOf(0x14), kClassInformation);
  EXPECT_EQ(ClassOf(0x18), kClassAuthFail);
  EXPECT_EQ(ClassOf(0x08), kClassAuthSuccess);
  EXPECT_EQ(ClassOf(0x20), kClassError);
}

TEST(ReportDescription, ControlCharactersTrimAndEscape) {
  DescriptionOptions o;
  o.trim = false;
  EXPECT_EQ(U8(CleanDescription(u"two\r\nwords", o)), "two words");
  o.custom_char = u'_';
  EXPECT_EQ(U8(CleanDescription(u"\r\nstart", o)), "_start");
  o.replace_with_hex = true;
  EXPECT_EQ(U8(CleanDescription(u"a\r\nb", o)), "a&lt;0x0D&gt;&lt;0x0A&gt;b");
  o.replace_nonprint = false;
  EXPECT_EQ(U8(CleanDescription(u"a\tb", o)), "a\tb");

  o.trim = true;
  o.trim_length = 10;
  EXPECT_EQ(U8(CleanDescription(u"abcdefghijklmnopqrstuvwxy", o)), "abcdefg...");
  o.trim_length = 3;
  EXPECT_EQ(CleanDescription(u"abcdefghijklmnopqrstuvwxy", o).size(), 25u);
  EXPECT_EQ(U8(CleanDescription(u"<b a=\"1\">&'", o)), "&lt;b a=&quot;1&quot;&gt;&amp;&#39;");
}

TEST(ReportTexts, PeriodLengths) {
  EXPECT_EQ(U8(PeriodLengthText(86400)), "1 day ");
  EXPECT_EQ(U8(PeriodLengthText(3599)), "59 min 59 sec ");
  EXPECT_EQ(U8(PeriodLengthText(86400 + 3600 + 61)), "1 day 1 hour 1 min 1 sec ");
  EXPECT_EQ(U8(PeriodLengthText(2 * 86400 + 7200)), "2 days 2 hours ");
}

TEST(ReportTexts, SourcesByCountThenNameDescendingEscaped) {
  EXPECT_EQ(U8(LogSection::SourcesText({{u"A", 3}, {u"B", 5}, {u"C", 3}})),
            "<strong>Sources: </strong>B(<strong>5</strong>),&nbsp;&nbsp;C(<strong>3</strong>)"
            ",&nbsp;&nbsp;A(<strong>3</strong>)");
  EXPECT_EQ(U8(LogSection::SourcesText({{u"<i>", 1}})),
            "<strong>Sources: </strong>&lt;i&gt;(<strong>1</strong>)");
  EXPECT_EQ(LogSection::SourcesText({}), u"");
}

TEST(ReportTexts, IgnoredNotices) {
  EXPECT_EQ(LogSection::IgnoredNotice(0), u"");
  EXPECT_EQ(U8(LogSection::IgnoredNotice(1)),
            "<p class=\"filtered\">1 event was ignored because it does not meet the filtering "
            "criteria.</p>");
  EXPECT_EQ(U8(LogSection::IgnoredNotice(4)),
            "<p class=\"filtered\">4 events were ignored because them do not meet the "
            "filtering criteria.</p>");
}

TEST(ReportTexts, ClassRowsOnlyForCountedClasses) {
  EXPECT_EQ(U8(LogSection::ClassRows(2, {0, 0, 7, 0, 1})),
            "<tr><td><input type=\"checkbox\" checked=\"checked\" "
            "onclick=\"ShowHideEvents(2,'info_ev',checked);\" />Information:</td><td><strong>7"
            "</strong></td></tr>\r\n"
            "<tr><td><input type=\"checkbox\" checked=\"checked\" "
            "onclick=\"ShowHideEvents(2,'asucc_ev',checked);\" />Auth Success:</td><td><strong>1"
            "</strong></td></tr>\r\n");
}

// Schedules: type 0 packs first and last time and the interval, type 1 the
// time and the weekday mask (bit 11 Sunday).
constexpr uint32_t Packed(int hour, int minute) { return (hour << 6) | minute; }
constexpr uint32_t Hourly(int first_h, int first_m, int last_h, int last_m, int n) {
  return Packed(first_h, first_m) | (Packed(last_h, last_m) << 11) | (uint32_t(n) << 22);
}
constexpr uint32_t Weekly(int h, int m, uint32_t days) { return Packed(h, m) | (days << 11); }
constexpr uint32_t kSunday = 1, kMonday = 2, kThursday = 16;

class ScheduleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(UseTimeZone("UTC0")); }
};

TEST_F(ScheduleTest, ValidSchedules) {
  EXPECT_TRUE(IsValidSchedule(0, 0x6FD800));
  EXPECT_FALSE(IsValidSchedule(0, Hourly(8, 0, 18, 0, 0)));
  EXPECT_FALSE(IsValidSchedule(0, Hourly(18, 0, 8, 0, 1)));
  EXPECT_FALSE(IsValidSchedule(1, Packed(7, 30)));
  EXPECT_FALSE(IsValidSchedule(1, 0x40000 | Packed(7, 30)));  // a bit above the weekdays
  EXPECT_TRUE(IsValidSchedule(1, Weekly(7, 30, kSunday)));
  EXPECT_FALSE(IsValidSchedule(2, 0x6FD800));
}

TEST_F(ScheduleTest, EveryTwoHoursBetweenEightAndSix) {
  const uint32_t p = Hourly(8, 0, 18, 0, 2);
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 8, 7, 0), 0, p), Local(2016, 12, 8, 8, 0));
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 8, 9, 30, 42), 0, p), Local(2016, 12, 8, 10, 0));
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 8, 17, 59), 0, p), Local(2016, 12, 8, 18, 0));
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 8, 18, 0), 0, p), Local(2016, 12, 9, 8, 0));
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 8, 18, 10), 0, p), Local(2016, 12, 9, 8, 0));
  // The slot itself is never the next time: at 10:00 the next is 12:00.
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 8, 10, 0), 0, p), Local(2016, 12, 8, 12, 0));
  // Month and year change.
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 11, 30, 19, 0), 0, p), Local(2016, 12, 1, 8, 0));
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 31, 19, 0), 0, p), Local(2017, 1, 1, 8, 0));
}

TEST_F(ScheduleTest, ChosenWeekdays) {
  const uint32_t p = Weekly(7, 30, kMonday | kThursday);
  // 8 December 2016 is a Thursday.
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 8, 8, 0), 1, p), Local(2016, 12, 12, 7, 30));
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 8, 7, 0), 1, p), Local(2016, 12, 8, 7, 30));
  const uint32_t sundays = Weekly(7, 30, kSunday);
  EXPECT_EQ(CalcTimeForNextReport(Local(2016, 12, 11, 9, 0), 1, sundays),
            Local(2016, 12, 18, 7, 30));
}

TEST_F(ScheduleTest, DaylightSavingChangeKeepsTheWallClockTime) {
  if (!UseTimeZone("Europe/Berlin") ||
      Local(2026, 7, 1, 12, 0) - Local(2026, 1, 1, 12, 0) == 181u * 86400u) {
    GTEST_SKIP() << "the zone Europe/Berlin is not available here";
  }
  // Saturday 28 March 2026 in winter time; Sunday is in summer time.
  const uint32_t daily = Weekly(7, 30, 0x7F);
  EXPECT_EQ(CalcTimeForNextReport(Local(2026, 3, 28, 8, 0), 1, daily), Local(2026, 3, 29, 7, 30));
  EXPECT_EQ(CalcTimeForNextReport(Local(2026, 10, 24, 8, 0), 1, daily), Local(2026, 10, 25, 7, 30));
  UseTimeZone("UTC0");
}

}  // namespace
}  // namespace cvn::report
