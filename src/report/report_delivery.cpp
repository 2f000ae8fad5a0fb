// Scheduled reports saved, pruned and mailed; custom reports written for the
// console with the console user's rights.
#include <algorithm>
#include <functional>
#include <vector>

#include "base/text.h"
#include "base/time_format.h"
#include "base/win_errors.h"
#include "events/date_time_format.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "platform/message_module.h"
#include "report/report_schedule.h"

namespace cvn {
namespace {

// EventsReport(??????-??????).html, each "?" escaped so that no trigraph forms.
constexpr std::u16string_view kReportPattern = u"EventsReport(\?\?\?\?\?\?-\?\?\?\?\?\?).html";
constexpr const char16_t* kUnknownError = u"Unknown error. Please contact support service.";
constexpr const char16_t* kNotAbsolute = u"The path is not absolute.";

std::string U8(std::u16string_view text) { return Utf16ToUtf8(text); }

// The reason text of a failed save.
std::u16string SaveErrorText(uint32_t error) {
  return platform::FormatSystemError(error == report::kEmptyDocument ? 0xFFFFFFFFu : error);
}

void SetLastError(CCVNCore& core, std::u16string text) {
  platform::LockGuard guard(core.status_lock);
  core.report_last_error = std::move(text);
}

std::u16string ReportFolder(CCVNCore& core) {
  std::u16string folder = core.Settings().Report_FolderPath.value;
  if (folder.empty()) return folder;
  platform::CreateFolderTree(folder);
  return platform::WithTrailingSeparator(std::move(folder));
}

void LogMailFailure(CCVNCore& core, const std::u16string& reason) {
  CCVNSettings& s = core.Settings();
  core.LogFormat('E', "Report", "Failed to send report. [%s, server: %s] Reason: %s",
                 U8(s.Report_EmailToAddress.value).c_str(), U8(s.Email_Server.value).c_str(),
                 U8(reason).c_str());
}

// Saves a scheduled report and counts the outcome: 0, a system error, or
// kEmptyDocument.
uint32_t SaveScheduled(CCVNCore& core, const std::u16string& path, const std::u16string& document) {
  // A folder others may write is not written into (PrivateFolder said why).
  const size_t cut = path.find_last_of(platform::kPathSeparator);
  const bool refused = cut != std::u16string::npos && cut > 0 &&
                       core.PrivateFolder(path.substr(0, cut), "reports").empty();
  const uint32_t error = refused ? err::kAccessDenied : report::SaveReport(path, document);
  if (error == 0) {
    ++core.reports_saved;
    ++core.metrics.reports_saved;
    core.LogFormat('N', "Report", "Report saved to file. [%s]", U8(path).c_str());
    return 0;
  }
  ++core.report_save_failed;
  ++core.metrics.reports_save_failed;
  if (error == report::kEmptyDocument) {
    SetLastError(core, kUnknownError);
    CCVNSettings& s = core.Settings();
    core.LogFormat('A', "Report", "Failed to send report. [%s, server: %s] Reason: %s",
                   U8(s.Report_EmailToAddress.value).c_str(), U8(s.Email_Server.value).c_str(),
                   U8(kUnknownError).c_str());
    return error;
  }
  const std::u16string reason = SaveErrorText(error);
  SetLastError(core, reason);
  core.LogFormat('E', "Report", "Failed to save report. [%s] Reason: %s", U8(path).c_str(),
                 U8(reason).c_str());
  return error;
}

// Mails a scheduled report and counts the outcome. A mail that a stop cut
// short is neither a failure nor lost: the next start sends it from the
// saved file. True when it was left for the next start.
bool MailScheduled(CCVNCore& core, const std::u16string& document, uint32_t end) {
  const std::u16string reason = report::MailReport(core, document, end);
  if (reason.empty()) {
    ++core.reports_mailed;
    ++core.metrics.reports_mailed;
    core.LogFormat('N', "Report", "Report sent to email. [%s]",
                   U8(core.Settings().Report_EmailToAddress.value).c_str());
    return false;
  }
  if (core.StopRequested()) {
    core.WriteStateValue(report::kReportMailPendingValue, end);
    core.Log('N', "Report", "The service stops: the report is sent to email at the next start.");
    return true;
  }
  SetLastError(core, reason);
  ++core.report_mail_failed;
  ++core.metrics.reports_mail_failed;
  LogMailFailure(core, reason);
  return false;
}

// Reads a saved report back (UTF-8) for its mail; false when it is missing,
// unreadable or larger than any report the service writes.
bool LoadSavedReport(const std::u16string& path, std::u16string& document) {
  constexpr uint64_t kMaxReportBytes = 256u << 20;
  platform::File file;
  uint64_t size = 0;
  if (file.Open(path, platform::FileAccess::kRead, platform::FileShare::kRead,
                platform::FileCreate::kOpenExisting) != 0 ||
      file.GetSize(size) != 0 || size == 0 || size > kMaxReportBytes) {
    return false;
  }
  std::string bytes(static_cast<size_t>(size), '\0');
  for (size_t have = 0; have < bytes.size();) {
    uint32_t got = 0;
    if (file.Read(bytes.data() + have, static_cast<uint32_t>(bytes.size() - have), got) != 0 ||
        got == 0) {
      return false;
    }
    have += got;
  }
  document = Utf8ToUtf16(bytes);
  return !document.empty();
}

// Whether the console may name this path: only a full path, so that where
// the file lands never depends on the service's current folder.
bool IsAcceptedPath(std::u16string_view path) { return platform::IsAbsolutePath(path); }

std::vector<std::u16string> CustomReportLogs(const SCustomReportRequest& r, bool& explicit_list) {
  std::vector<std::u16string> logs;
  explicit_list = true;
  if (r.mode == 1) {
    platform::ListEventLogs(logs);
  } else if (r.all_watched == 1) {
    explicit_list = false;
  } else {
    logs = r.logs;
  }
  return logs;
}

}  // namespace

CCVNCore::ReportOutcome CCVNCore::GenerateReportEx(uint32_t start, uint32_t end, bool may_retry) {
  if (start >= end) return ReportOutcome::kDone;
  ThreadStatus(CoreThread::kReport) = report::kStatusGenerating;
  std::u16string document;
  std::string period;
  GenerateReport(start, end, nullptr, document, period, true);
  if (StopRequested()) {
    // Cut short by a stop: nothing is saved and the period stays open, so the
    // next start reports it whole.
    ThreadStatus(CoreThread::kReport) = 0;
    return ReportOutcome::kCutShort;
  }
  LogFormat('N', "Report", "Scheduled report generated. [%s]", period.c_str());

  const std::u16string folder = ReportFolder(*this);
  const std::u16string path = folder + report::ReportFileName(end);
  const uint32_t error = SaveScheduled(*this, path, document);
  if (error != 0 && error != report::kEmptyDocument && may_retry) {
    // Mailed once it is saved, so that the period is mailed only once.
    ThreadStatus(CoreThread::kReport) = 0;
    return ReportOutcome::kNotSaved;
  }
  if (!document.empty()) {
    // Pruned after the save, so the folder keeps exactly the number of
    // reports asked for, the new one included.
    DeleteOldReports(folder);
    if (Settings().Report_SendToEmail.value) MailScheduled(*this, document, end);
  }
  last_report = end;
  WriteStateValue(kLastReportValue, end);
  ThreadStatus(CoreThread::kReport) = 0;
  return error != 0 && error != report::kEmptyDocument ? ReportOutcome::kNotSaved
                                                       : ReportOutcome::kDone;
}

void CCVNCore::DeleteOldReports(const std::u16string& folder) {
  if (!Settings().Report_LimitNumberOfReports.value) return;
  const std::u16string listed = folder.empty() ? std::u16string(u".") : folder;
  std::vector<std::u16string> names = platform::FindFiles(listed, kReportPattern);
  std::sort(names.begin(), names.end(), std::greater<>());
  const auto keep = static_cast<size_t>(std::max(Settings().Report_MaxNumberOfReports.value, 0));
  if (keep == 0 || names.size() <= keep) return;
  for (size_t i = keep; i < names.size(); ++i) {
    platform::RemoveFile(folder + names[i]);
    LogFormat('N', "Report", "Out-of-date report file deleted. [%s]", U8(names[i]).c_str());
  }
}

namespace report {

std::u16string ReportFileName(uint32_t end) {
  std::tm local{};
  std::string stamp;
  if (platform::LocalCalendarTime(end, local))
    stamp = FormatCTime("%y%m%d-%H%M%S", local).value_or("");
  return u"EventsReport(" + Utf8ToUtf16(stamp) + u").html";
}

uint32_t SaveReport(std::u16string_view path, std::u16string_view document) {
  const std::string bytes = Utf16ToUtf8(document);
  if (bytes.empty()) return kEmptyDocument;
  platform::File file;
  uint32_t error = file.Open(path, platform::FileAccess::kWrite, platform::FileShare::kNone,
                             platform::FileCreate::kCreateAlways);
  if (error == 0) error = file.Write(bytes.data(), static_cast<uint32_t>(bytes.size()));
  file.Close();
  return error;
}

void SendPendingReportMail(CCVNCore& core) {
  const uint32_t end = core.ReadStateValue(kReportMailPendingValue);
  if (end == 0) return;
  if (core.Settings().Report_SendToEmail.value) {
    const std::u16string path = ReportFolder(core) + ReportFileName(end);
    std::u16string document;
    if (!LoadSavedReport(path, document)) {
      const std::u16string reason = u"The saved report " + path + u" cannot be read.";
      SetLastError(core, reason);
      ++core.report_mail_failed;
      ++core.metrics.reports_mail_failed;
      LogMailFailure(core, reason);
    } else if (MailScheduled(core, document, end)) {
      return;  // cut short again
    }
  }
  core.WriteStateValue(kReportMailPendingValue, 0);
}

void RunCustomReportRequest(CCVNCore& core, const SCustomReportRequest& r) {
  core.custom_report_state = kCustomReportRunning;
  if (r.path.empty()) {
    core.custom_report_state = kCustomReportFailed;
    return;
  }
  const std::string path = U8(r.path);
  if (!IsAcceptedPath(r.path)) {
    core.LogFormat('E', "Report", "Failed to save report. [%s] Reason: %s", path.c_str(),
                   U8(kNotAbsolute).c_str());
    SetLastError(core, kNotAbsolute);
    core.custom_report_state = kCustomReportFailed;
    return;
  }
  bool explicit_list = true;
  const std::vector<std::u16string> logs = CustomReportLogs(r, explicit_list);
  std::u16string document;
  std::string period;
  // The logs are read with the console user's rights, so that the report
  // holds only what that user may read.
  const uint32_t taken = core.CI_RunAsClient([&] {
    core.GenerateReport(r.from, r.to, explicit_list ? &logs : nullptr, document, period, true,
                        r.ignored);
    return 0u;
  });
  if (taken != 0) SetLastError(core, SaveErrorText(taken));
  if (taken != 0 || core.StopRequested()) {
    // Without the user's rights nothing was read; cut short by a stop, a part
    // of the report is not the report asked for.
    core.custom_report_state = kCustomReportFailed;
    return;
  }
  core.LogFormat('N', "Report", "Custom report generated. [%s]", period.c_str());
  // The file is created with the rights of the console's user, never the
  // service's: the console names any path it likes.
  const uint32_t error = core.CI_RunAsClient([&] { return SaveReport(r.path, document); });
  if (error == 0) {
    core.LogFormat('N', "Report", "Report saved to file. [%s]", path.c_str());
    core.custom_report_state = kCustomReportSaved;
    return;
  }
  // The console reads why from the report error; custom reports change no
  // counter.
  const std::u16string reason = SaveErrorText(error);
  core.LogFormat('E', "Report", "Failed to save report. [%s] Reason: %s", path.c_str(),
                 U8(reason).c_str());
  SetLastError(core, reason);
  core.custom_report_state = kCustomReportFailed;
}

}  // namespace report
}  // namespace cvn
