// Reports as a service feature: the schedule, the report thread, saving,
// pruning and mailing scheduled reports, and custom reports for the console.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/cvn_core.h"

namespace cvn::report {

// Schedule types (Report/ScheduleType).
constexpr int32_t kScheduleHourly = 0;  // every N hours between a first and a last time
constexpr int32_t kScheduleWeekly = 1;  // once a day on chosen weekdays

// The report status of an invalid schedule.
constexpr int32_t kStatusInvalidSchedule = -11;
// The report status while a scheduled report is made.
constexpr int32_t kStatusGenerating = -2;

bool IsValidSchedule(int32_t type, uint32_t parameter);
// The next report time after t (strictly after t's minute), or 0 when t
// cannot be converted to local time.
uint32_t CalcTimeForNextReport(uint32_t t, int32_t type, uint32_t parameter);

// The registry state value that holds the end of a saved report whose mail
// a stop cut short (0: none), so that the next start sends it.
constexpr std::u16string_view kReportMailPendingValue = u"ReportMailPending";
// Tries at making the report of one period before it is given up.
constexpr int kMaxReportTries = 3;

// The report thread's body: reports on the schedule until the stop event.
uint32_t ReportThread(CCVNCore& core);
// The scheduled report of the open period up to now, as the report thread
// makes it when one is due. The period is closed (the next one begins at now)
// once its report is saved, or when the last of kMaxReportTries could not
// save it; before that it stays open and the next due time tries it again.
// A stop before the save leaves it open. failed_tries counts the open
// period's failed tries.
void RunDueReport(CCVNCore& core, uint32_t now, int& failed_tries);
// Sends the mail that a stop cut short, from the saved report, and counts
// it: once sent or once failed.
void SendPendingReportMail(CCVNCore& core);
// The custom report of a console request (custom_report_state 2, then 3 or 4).
void RunCustomReportRequest(CCVNCore& core, const SCustomReportRequest& request);

// The report file name for the end of a period: EventsReport(yymmdd-HHMMSS).html.
std::u16string ReportFileName(uint32_t end);
// Writes the document as UTF-8 without a byte-order mark to path, replacing
// a file that is there: 0, a system error, or kEmptyDocument.
constexpr uint32_t kEmptyDocument = 0xFFFFFFFFu;
uint32_t SaveReport(std::u16string_view path, std::u16string_view document);

// Mails a scheduled report through the SMTP settings; empty on success,
// otherwise the reason to log and keep as the last report error.
std::u16string MailReport(CCVNCore& core, std::u16string_view document, uint32_t end);

// Registers the report thread and the custom report with the core.
void InstallReports(CCVNCore& core);

}  // namespace cvn::report
