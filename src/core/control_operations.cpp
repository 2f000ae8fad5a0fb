// The console's property queries and assignments: status and counters,
// statistics, error texts and the watched logs; counter resets, the
// statistics period and report requests.
#include <algorithm>
#include <array>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "control/ctrl_protocol.h"
#include "core/cvn_core.h"
#include "platform/clock.h"

namespace cvn {
namespace {

using control::CSTCtrlMessage;

// The statistics periods, indexed like the histograms.
constexpr std::array<std::u16string_view, CCVNCore::kHistogramCount> kPeriodNames = {
    u"System events for the last 14 days",    u"System events for the last 7 days",
    u"System events for the last 2 days",     u"System events for the last 12 hours",
    u"System events for the last 6 hours",    u"System events for the last 2 hours",
    u"System events for the last 30 minutes",
};

// Any stored selection reads as a valid histogram index.
size_t ClampedPeriod(int32_t period) {
  if (period < 0) return 0;
  if (period >= static_cast<int32_t>(CCVNCore::kHistogramCount))
    return CCVNCore::kHistogramCount - 1;
  return static_cast<size_t>(period);
}

// A 32-bit value of an assignment; -1 when it is missing.
int32_t PopInt(CSTCtrlMessage& request) {
  int32_t value = -1;
  if (!request.ValueFromStack(value)) return -1;
  return value;
}

// Status keys in the order the status property lists them.
enum StatusKey : int32_t {
  kSyslogWaiting = 0,
  kSyslogSent = 1,
  kSyslogFailed = 2,
  kEmailQueueLength = 3,
  kEmailQueued = 4,
  kEmailSent = 5,
  kEmailFailed = 6,
  kReportsDone = 7,
  kReportsFailed = 8,
  kLastReport = 9,
  kNextReport = 10,
  kSyslogThread = 11,
  kEmailThread = 12,
  kReportThread = 13,
  kDbQueueLength = 14,
  kDbHandled = 15,
  kDbFailed = 16,
  kDbChannel = 17,
  kDbExported = 18,
  kSyslogHandled = 19,
  kSyslogLag = 20,
  kEmailLag = 21,
  kDbLag = 22,
  kSyslogOverwritten = 23,
  kEmailOverwritten = 24,
  kDbOverwritten = 25,
};

// A 64-bit figure as a status value, held at the largest one.
int32_t Clamped(uint64_t value) {
  return static_cast<int32_t>(std::min<uint64_t>(value, 0x7FFFFFFF));
}

// The database channel's value when the channel is on but its worker does
// not run.
constexpr int32_t kDbWorkerNotRunning = 65535;

// Two 16-bit halves in one status value: high * 65536 + low.
int32_t Halves(int32_t high, int32_t low) {
  return static_cast<int32_t>(static_cast<uint32_t>(high) * 65536u + static_cast<uint32_t>(low));
}

// The status property: 26 key-value pairs, each value read when it is pushed.
std::vector<int32_t> StatusPairs(CCVNCore& core) {
  std::vector<int32_t> pairs;
  pairs.reserve(96);
  auto add = [&pairs](StatusKey key, int32_t value) {
    pairs.push_back(key);
    pairs.push_back(value);
  };
  add(kReportThread, core.ShownThreadStatus(CoreThread::kReport));
  add(kSyslogThread, core.ShownThreadStatus(CoreThread::kSyslog));
  add(kEmailThread, core.ShownThreadStatus(CoreThread::kEmail));
  // Messages in the queue and in the cache file.
  add(kSyslogWaiting, static_cast<int32_t>(core.syslog_queue.Size() + core.syslog_cached));
  add(kSyslogSent, core.syslog_sent);
  add(kSyslogFailed, core.syslog_failed);
  add(kEmailQueueLength, static_cast<int32_t>(core.email_queue.Size()));
  add(kEmailQueued, static_cast<int32_t>(core.email_counter.load()));
  add(kEmailSent, core.email_sent);
  add(kEmailFailed, core.email_failed);
  add(kReportsDone, Halves(core.reports_mailed, core.reports_saved));
  add(kReportsFailed, Halves(core.report_mail_failed, core.report_save_failed));
  add(kLastReport, static_cast<int32_t>(core.last_report.load()));
  add(kNextReport, static_cast<int32_t>(core.next_report_time.load()));
  DbChannelControl* db = core.DbChannel();
  add(kDbQueueLength, db != nullptr ? static_cast<int32_t>(db->QueueLength()) : 0);
  const uint64_t exported = core.db_exported;
  const uint64_t failed = core.db_failed;
  add(kDbHandled, static_cast<int32_t>(static_cast<uint32_t>(failed + exported)));
  add(kDbFailed, static_cast<int32_t>(static_cast<uint32_t>(failed)));
  int32_t db_channel = CCVNCore::kChannelDisabled;
  // The worker runs and has its database: 0.
  if (core.Settings().DB_Forward.value) {
    const bool running = db != nullptr && db->WorkerRunning() && core.db_status == 0;
    db_channel = running ? 0 : kDbWorkerNotRunning;
  }
  add(kDbChannel, db_channel);
  add(kDbExported, static_cast<int32_t>(static_cast<uint32_t>(exported)));
  add(kSyslogHandled, static_cast<int32_t>(static_cast<uint32_t>(core.syslog_sent) +
                                           static_cast<uint32_t>(core.syslog_failed)));
  // How far each channel is behind the newest records of the watched logs,
  // and what the logs overwrote before it could read it.
  const auto figures = [&core](Channel which) -> const ChannelFigures& {
    return core.channel_figures[static_cast<size_t>(which)];
  };
  add(kSyslogLag, Clamped(figures(Channel::kSyslog).lag));
  add(kEmailLag, Clamped(figures(Channel::kEmail).lag));
  add(kDbLag, Clamped(figures(Channel::kDb).lag));
  add(kSyslogOverwritten, Clamped(figures(Channel::kSyslog).overwritten));
  add(kEmailOverwritten, Clamped(figures(Channel::kEmail).overwritten));
  add(kDbOverwritten, Clamped(figures(Channel::kDb).overwritten));
  return pairs;
}

// A last-error text, read under the status lock.
void PushText(CCVNCore& core, const std::u16string& text, CSTCtrlMessage& reply) {
  std::u16string copy;
  {
    platform::LockGuard guard(core.status_lock);
    copy = text;
  }
  reply.ValueToStack(std::u16string_view(copy));
}

void ClearText(CCVNCore& core, std::u16string& text) {
  platform::LockGuard guard(core.status_lock);
  text.clear();
}

// A request names each log once and at most kMaxCustomReportLogs of them;
// the names dropped are kept for the report's notice.
void KeepDistinctLogs(SCustomReportRequest& r) {
  std::vector<std::u16string> kept;
  std::set<std::u16string> seen;
  for (std::u16string& name : r.logs) {
    if (kept.size() < kMaxCustomReportLogs && seen.insert(name).second) {
      kept.push_back(std::move(name));
    } else if (r.ignored.size() < kMaxCustomReportLogs) {
      r.ignored.push_back(std::move(name));
    }
  }
  r.logs = std::move(kept);
}

// Reads a request; one whose format tag is not the expected one is read no
// further and keeps an empty path.
SCustomReportRequest PopCustomReport(CSTCtrlMessage& request) {
  SCustomReportRequest r;
  if (PopInt(request) != control::kCustomReportTag) return r;
  int32_t to = 0;
  int32_t from = 0;
  request.ValueFromStack(to);
  request.ValueFromStack(from);
  r.to = static_cast<uint32_t>(to);
  r.from = static_cast<uint32_t>(from);
  request.ValueFromStack(r.path);
  request.ValueFromStack(r.logs);
  KeepDistinctLogs(r);
  request.ValueFromStack(r.all_watched);
  request.ValueFromStack(r.mode);
  return r;
}

}  // namespace

int CCVNCore::CI_OnGetProperty(uint8_t id, control::CSTCtrlMessage& reply) {
  switch (id) {
    case control::kPropStatus: reply.ValueToStack(StatusPairs(*this)); break;
    case control::kPropStartTime: reply.ValueToStack(start_time.load()); break;
    case control::kPropPeriodName:
      reply.ValueToStack(kPeriodNames[ClampedPeriod(statistics_period)]);
      break;
    case control::kPropHistogram: {
      std::vector<int32_t> counters;
      {
        platform::LockGuard guard(statistics_lock);
        const std::vector<uint32_t>& h = histograms[ClampedPeriod(statistics_period)];
        counters.assign(h.begin(), h.end());
      }
      reply.ValueToStack(counters);
      break;
    }
    case control::kPropSyslogError: PushText(*this, syslog_last_error, reply); break;
    case control::kPropEmailError: PushText(*this, email_last_error, reply); break;
    case control::kPropReportError: PushText(*this, report_last_error, reply); break;
    case control::kPropLogNames: {
      std::vector<std::u16string> names;
      {
        platform::LockGuard guard(table_lock);
        names = inspected_names;
      }
      reply.ValueToStack(names);
      break;
    }
    case control::kPropDatabaseError: PushText(*this, db_last_error, reply); break;
    case control::kPropMetrics:
      reply.ValueToStack(
          std::u16string_view(Utf8ToUtf16(RenderMetrics(*this, platform::NowSeconds()))));
      break;
    default: break;
  }
  return 0;
}

int CCVNCore::CI_OnSetProperty(uint8_t id, control::CSTCtrlMessage& request) {
  switch (id) {
    case control::kPropResetCounter:
      if (const char* name = ResetCounter(PopInt(request))) {
        LogConsoleAction(std::string("The counter of ") + name + " was reset");
      }
      break;
    case control::kPropSelectPeriod: {
      const int32_t period = PopInt(request);
      if (period == -1 || period == statistics_period) break;
      statistics_period = period;
      int ignored = 0;
      CI_CallMethod(control::kNotifyStatisticsChanged, ignored);
      break;
    }
    case control::kPropCustomReport:
      // The reply goes out once the report is done.
      RunCustomReport(PopCustomReport(request));
      break;
    default: break;
  }
  return 0;
}

const char* CCVNCore::ResetCounter(int32_t code) {
  switch (code) {
    case 1:
    case 19: syslog_sent = 0; return "syslog messages sent";
    case 2:
      syslog_failed = 0;
      ClearText(*this, syslog_last_error);
      return "syslog failures";
    case 4: email_counter = 0; return "e-mails queued";
    case 5: email_sent = 0; return "e-mails sent";
    case 6:
      email_failed = 0;
      ClearText(*this, email_last_error);
      return "e-mail failures";
    case 7:
      reports_mailed = 0;
      reports_saved = 0;
      return "reports done";
    case 8:
      report_mail_failed = 0;
      report_save_failed = 0;
      ClearText(*this, report_last_error);
      return "report failures";
    case 15:
    case 18: db_exported = 0; return "database records exported";
    case 16:
      db_failed = 0;
      ClearText(*this, db_last_error);
      return "database failures";
    default: return nullptr;
  }
}

void CCVNCore::RunCustomReport(SCustomReportRequest request) {
  platform::LockGuard guard(custom_report_lock);
  custom_report_request = std::move(request);
  custom_report_state = kCustomReportRequested;
  if (custom_report_handler_) {
    custom_report_handler_(*this, custom_report_request);
  } else {
    custom_report_state = kCustomReportFailed;
  }
}

}  // namespace cvn
