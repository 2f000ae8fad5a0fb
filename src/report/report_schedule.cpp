// The report schedule and the report thread.
#include "report/report_schedule.h"

#include <algorithm>
#include <ctime>

#include "base/text.h"
#include "events/date_time_format.h"
#include "platform/clock.h"

namespace cvn::report {
namespace {

constexpr uint32_t kMaxWaitMs = 60000;

// Packed times of day: minute in bits 0-5, hour in bits 6-10.
int MinutesOfDay(uint32_t packed) {
  return static_cast<int>((packed >> 6) & 0x1F) * 60 + (packed & 0x3F);
}

struct HourlySchedule {
  int first;  // minutes of the day
  int last;
  int step;  // minutes
};

HourlySchedule Hourly(uint32_t parameter) {
  return {MinutesOfDay(parameter & 0x7FF), MinutesOfDay((parameter >> 11) & 0x7FF),
          static_cast<int>(parameter >> 22) * 60};
}

void SetMinute(std::tm& tm, int minutes) {
  tm.tm_hour = minutes / 60;
  tm.tm_min = minutes % 60;
}

void NextHourly(std::tm& tm, int now, const HourlySchedule& h) {
  if (now < h.first) return SetMinute(tm, h.first);
  if (now <= h.last) {
    for (int s = h.first; s <= h.last; s += h.step) {
      if (now < s) return SetMinute(tm, s);
    }
  }
  ++tm.tm_mday;
  SetMinute(tm, h.first);
}

void NextWeekly(std::tm& tm, int now, uint32_t parameter) {
  const int time = MinutesOfDay(parameter & 0x7FF);
  const uint32_t mask = (parameter >> 11) & 0x7F;  // bit 0 Sunday .. bit 6 Saturday
  if ((mask & (1u << tm.tm_wday)) != 0 && now < time) return SetMinute(tm, time);
  for (int days = 1; days <= 7; ++days) {
    if ((mask & (1u << ((tm.tm_wday + days) % 7))) != 0) {
      tm.tm_mday += days;
      return SetMinute(tm, time);
    }
  }
}

uint32_t Now() { return static_cast<uint32_t>(platform::NowSeconds()); }

void StartPeriod(CCVNCore& core, uint32_t now) {
  core.report_period_from = now;
  core.WriteStateValue(CCVNCore::kReportPeriodFromValue, now);
}

}  // namespace

bool IsValidSchedule(int32_t type, uint32_t parameter) {
  if (type == kScheduleHourly) {
    const HourlySchedule h = Hourly(parameter);
    return h.step >= 60 && (parameter & 0x7FF) <= ((parameter >> 11) & 0x7FF);
  }
  // A weekly schedule names at least one weekday; bits above them do not count.
  if (type == kScheduleWeekly) return ((parameter >> 11) & 0x7F) != 0;
  return false;
}

uint32_t CalcTimeForNextReport(uint32_t t, int32_t type, uint32_t parameter) {
  std::tm tm{};
  if (!platform::LocalCalendarTime(t, tm)) return 0;
  tm.tm_sec = 0;
  const int now = tm.tm_hour * 60 + tm.tm_min;
  if (type == kScheduleHourly) {
    NextHourly(tm, now, Hourly(parameter));
  } else if (type == kScheduleWeekly) {
    NextWeekly(tm, now, parameter);
  }
  // mktime carries a day past the month's end into the next month and year.
  // It decides daylight-saving time for the new day itself: keeping t's flag
  // would put a report after a clock change an hour off its time.
  tm.tm_isdst = -1;
  const std::time_t next = std::mktime(&tm);
  return next < 0 ? 0 : static_cast<uint32_t>(next);
}

void RunDueReport(CCVNCore& core, uint32_t now, int& failed_tries) {
  using Outcome = CCVNCore::ReportOutcome;
  const uint32_t from = core.report_period_from;
  const bool last_try = failed_tries + 1 >= kMaxReportTries;
  const Outcome outcome = core.GenerateReportEx(from, now, !last_try);
  if (outcome == Outcome::kCutShort) return;
  if (outcome == Outcome::kNotSaved) {
    ++failed_tries;
    const CCVNSettings& s = core.Settings();
    const std::string since =
        Utf16ToUtf8(FormatDateTime(from, static_cast<uint32_t>(s.General_DateFormat.value),
                                   static_cast<uint32_t>(s.General_TimeFormat.value)));
    if (!last_try) {
      core.LogFormat('E', "Report",
                     "The report of the period since %s was not saved; it is made again at "
                     "the next report time (try %d of %d).",
                     since.c_str(), failed_tries, kMaxReportTries);
      return;
    }
    core.LogFormat('E', "Report",
                   "The report of the period since %s was not saved in %d tries; the period "
                   "is given up.",
                   since.c_str(), kMaxReportTries);
  }
  failed_tries = 0;
  StartPeriod(core, now);
}

uint32_t ReportThread(CCVNCore& core) {
  CCVNSettings& s = core.Settings();
  const int32_t type = s.Report_ScheduleType.value;
  const auto parameter = static_cast<uint32_t>(s.Report_ScheduleParameter.value);
  std::atomic<int32_t>& status = core.ThreadStatus(CoreThread::kReport);
  if (!IsValidSchedule(type, parameter)) {
    // No report can fall due: the thread ends until a new configuration.
    core.LogFormat('E', "Report",
                   "The report schedule (type %d, parameter 0x%X) names no time at which a "
                   "report is due; no scheduled report is made.",
                   static_cast<int>(type), parameter);
    core.next_report_time = 0;
    StartPeriod(core, 0);
    status = kStatusInvalidSchedule;
    return 0;
  }
  SendPendingReportMail(core);
  if (core.StopRequested()) return 0;
  int failed_tries = 0;
  uint32_t now = Now();
  if (core.report_period_from == 0) {
    StartPeriod(core, now);
  } else if (CalcTimeForNextReport(core.report_period_from, type, parameter) <= now) {
    // A report fell due while the service was not running.
    RunDueReport(core, now, failed_tries);
    if (core.StopRequested()) return 0;
  }
  // A period left open by a failed try is due again at the next report time
  // after now, not at once.
  uint32_t next = CalcTimeForNextReport(now, type, parameter);
  core.next_report_time = next;
  platform::Event* stop = core.ThreadStopEvent(CoreThread::kReport);
  for (;;) {
    const uint64_t left_ms = next > now ? static_cast<uint64_t>(next - now) * 1000 : 0;
    if (stop->Wait(static_cast<uint32_t>(std::min<uint64_t>(left_ms, kMaxWaitMs)))) return 0;
    now = Now();
    if (next > now) continue;
    RunDueReport(core, now, failed_tries);
    if (core.StopRequested()) return 0;
    next = CalcTimeForNextReport(now, type, parameter);
    core.next_report_time = next;
    now = Now();
  }
}

void InstallReports(CCVNCore& core) {
  core.SetThreadBody(CoreThread::kReport, [](CCVNCore& c) { return ReportThread(c); });
  core.SetCustomReportHandler(
      [](CCVNCore& c, const SCustomReportRequest& r) { RunCustomReportRequest(c, r); });
}

}  // namespace cvn::report
