// The report generator: reads each log newest record first and assembles the
// HTML document from the pieces of report_html.
#include <algorithm>
#include <cstring>
#include <span>

#include "base/text.h"
#include "config/cvn_settings.h"
#include "core/cvn_core.h"
#include "events/date_time_format.h"
#include "platform/environment.h"
#include "platform/event_log.h"
#include "platform/locale.h"
#include "report/report_html.h"

namespace cvn {
namespace {

using report::LogSection;
using report::ReportPieces;

constexpr uint32_t kTableReadyWaitMs = 10000;
constexpr size_t kReadBufferSize = 65536;
constexpr size_t kReservedDocumentChars = 1048576;

// What the generator reads from the settings, taken once per report.
struct ReportOptions {
  report::DescriptionOptions description;
  uint32_t date_format = 0;
  uint32_t time_format = 0;
  bool filter = false;
  bool omit_empty = false;
};

ReportOptions ReadOptions(const CCVNSettings& s, bool filtered) {
  ReportOptions o;
  o.description.replace_nonprint = s.Report_ReplaceNonprintChars.value;
  o.description.replace_with_hex = s.Report_ReplaceWithHexValue.value;
  o.description.custom_char = static_cast<char16_t>(s.Report_ReplaceCustomChar.value);
  o.description.trim = s.Report_TrimDescription.value;
  o.description.trim_length = s.Report_TrimDescriptionLength.value;
  o.date_format = static_cast<uint32_t>(s.General_DateFormat.value);
  o.time_format = static_cast<uint32_t>(s.General_TimeFormat.value);
  // The system's clock is asked once per report, not for every row.
  if (o.time_format == 0) o.time_format = platform::SystemLocaleUses12HourClock() ? 1 : 2;
  o.filter = filtered && s.Report_FilterEvents.value;
  o.omit_empty = s.Report_OmitEmptyLogs.value;
  return o;
}

// Reads one log backwards and adds its rows; false when it cannot be opened.
class LogReader {
 public:
  LogReader(CCVNCore& core, const CCVNSettings& settings, const ReportOptions& options,
            std::vector<uint8_t>& buffer, uint32_t start, uint32_t end, bool stop_aware)
      : core_(core),
        settings_(settings),
        options_(options),
        buffer_(buffer),
        start_(start),
        end_(end),
        stop_aware_(stop_aware) {}

  bool Read(const std::u16string& name, ReportPieces& pieces, LogSection& section) {
    platform::EventLog log;
    if (log.Open(name) != 0) return false;
    bool older_reached = false;
    while (!older_reached && !(stop_aware_ && core_.StopRequested())) {
      uint32_t got = 0;
      if (!ReadBuffer(log, got)) break;
      older_reached = Walk(std::span(buffer_.data(), got), name, pieces, section);
    }
    return true;
  }

 private:
  // One backwards read, growing the buffer when one record does not fit.
  bool ReadBuffer(platform::EventLog& log, uint32_t& got) {
    constexpr uint32_t kFlags =
        platform::kEventLogSequentialRead | platform::kEventLogBackwardsRead;
    for (;;) {
      uint32_t needed = 0;
      const uint32_t error =
          log.Read(kFlags, 0, buffer_.data(), static_cast<uint32_t>(buffer_.size()), got, needed);
      if (error == 0) return true;
      if (error != 122 || needed <= buffer_.size()) return false;
      buffer_.resize(needed);
    }
  }

  // The records of one buffer; true once a record older than the period was met.
  bool Walk(std::span<const uint8_t> bytes, const std::u16string& name, ReportPieces& pieces,
            LogSection& section) {
    bool older_reached = false;
    size_t offset = 0;
    while (bytes.size() - offset > platform::kEventLogRecordFixedSize) {
      platform::EventLogRecordHeader header;
      std::memcpy(&header, bytes.data() + offset, sizeof header);
      // A length below the fixed part would never move on.
      if (header.Length < platform::kEventLogRecordFixedSize ||
          header.Length > bytes.size() - offset) {
        break;
      }
      const auto raw = bytes.subspan(offset, header.Length);
      offset += header.Length;
      if (header.TimeGenerated < start_) {
        older_reached = true;
      } else if (header.TimeGenerated < end_) {
        Process(raw, header.EventType, name, pieces, section);
      }
    }
    return older_reached;
  }

  void Process(std::span<const uint8_t> raw, uint16_t raw_type, const std::u16string& name,
               ReportPieces& pieces, LogSection& section) {
    SEventRecord record;
    if (core_.renderer.BuildEventRecord(record, raw, name) != 0) return;
    if (options_.filter && !PassesFilters(record, settings_.Report_PermitFilterList,
                                          settings_.Report_DenyFilterList)) {
      section.AddIgnored();
      return;
    }
    section.AddRecord(pieces, record.timeGenerated, raw_type, record.source, record.eventId,
                      record.categoryText, record.description);
  }

  CCVNCore& core_;
  const CCVNSettings& settings_;
  const ReportOptions& options_;
  std::vector<uint8_t>& buffer_;
  uint32_t start_;
  uint32_t end_;
  bool stop_aware_;
};

}  // namespace

void CCVNCore::GenerateReport(uint32_t start, uint32_t end, const std::vector<std::u16string>* logs,
                              std::u16string& document, std::string& period_text, bool stop_aware,
                              const std::vector<std::u16string>& ignored) {
  if (platform::Event* ready = TableReadyEvent()) ready->Wait(kTableReadyWaitMs);
  std::vector<std::u16string> names;
  const bool filtered = logs == nullptr;
  if (filtered) {
    platform::LockGuard guard(table_lock);
    names = inspected_names;
  } else {
    names = *logs;
  }
  if (names.empty()) return;

  // One configuration for the whole report: a merge of the shared file may
  // replace the settings meanwhile when the report runs for the console.
  const CCVNSettings settings = SettingsSnapshot();
  const ReportOptions options = ReadOptions(settings, filtered);
  report::ReportSummary summary;
  summary.period_start = start;
  summary.period_end = end;
  summary.date_format = options.date_format;
  summary.time_format = options.time_format;
  summary.computer_name = platform::LocalComputerName();
  summary.logs_ignored = ignored;

  ReportPieces pieces;
  pieces.push_front(report::FooterPiece());
  std::vector<uint8_t> buffer(kReadBufferSize);
  LogReader reader(*this, settings, options, buffer, start, end, stop_aware);
  for (const std::u16string& name : names) {
    LogSection section(options.description, options.date_format, options.time_format);
    if (!reader.Read(name, pieces, section)) {
      if (!filtered) summary.logs_ignored.push_back(name);
      continue;
    }
    const int number = ++summary.logs_analysed;
    if (section.shown() > 0) ++summary.logs_with_records;
    section.Finish(pieces, number, name, options.omit_empty);
    summary.events += section.shown();
    for (size_t i = 0; i < report::kClassCount; ++i) summary.totals[i] += section.counts()[i];
  }
  pieces.push_front(report::HeadPiece(summary));

  size_t total = 0;
  for (const std::u16string& piece : pieces) total += piece.size();
  document.clear();
  document.reserve(std::max(total, kReservedDocumentChars));
  // Each piece is freed once copied, so the text is not held twice.
  while (!pieces.empty()) {
    document += pieces.front();
    pieces.pop_front();
  }
  period_text =
      Utf16ToUtf8(FormatDateTime(start, options.date_format, options.time_format) + u" - " +
                  FormatDateTime(end - 1, options.date_format, options.time_format));
}

}  // namespace cvn
