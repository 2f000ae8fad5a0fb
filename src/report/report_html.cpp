#include "report/report_html.h"

#include <algorithm>
#include <vector>

#include "base/text.h"
#include "base/time_format.h"
#include "events/date_time_format.h"
#include "platform/clock.h"

namespace cvn::report {
namespace {

struct ClassNames {
  const char16_t* summary;
  const char16_t* short_name;
  const char16_t* row;
};
constexpr std::array<ClassNames, kClassCount> kClassNames = {{
    {u"Errors", u"Err", u"err_ev"},
    {u"Warnings", u"Warn", u"warn_ev"},
    {u"Information", u"Info", u"info_ev"},
    {u"Auth Fail", u"AuthFail", u"afail_ev"},
    {u"Auth Success", u"AuthSucc", u"asucc_ev"},
}};

std::u16string Num(int64_t n) { return Utf8ToUtf16(std::to_string(n)); }

// The script of the page. Walking forward from a log's heading stops at the
// next heading, so a log without an event table never reaches into the
// section of the log after it.
constexpr std::u16string_view kScript =
    u"<script type=\"text/javascript\">\r\n"
    u"//<![CDATA[\r\n"
    u"function NextOfClass(node, name) {\r\n"
    u"  for (node = node.nextSibling; node; node = node.nextSibling) {\r\n"
    u"    if (node.nodeType != 1) continue;\r\n"
    u"    if (node.nodeName.toLowerCase() == 'h2') return null;\r\n"
    u"    if (node.className == name) return node;\r\n"
    u"  }\r\n"
    u"  return null;\r\n"
    u"}\r\n"
    u"function ShowHideLog(n) {\r\n"
    u"  var head = document.getElementById('log' + n);\r\n"
    u"  if (!head) return;\r\n"
    u"  var ctrl = null;\r\n"
    u"  for (var c = head.firstChild; c; c = c.nextSibling)\r\n"
    u"    if (c.className == 'logctrl') { ctrl = c; break; }\r\n"
    u"  if (!ctrl) return;\r\n"
    u"  var hide = ctrl.innerHTML == '&lt;&lt;';\r\n"
    u"  ctrl.innerHTML = hide ? '&gt;&gt;' : '&lt;&lt;';\r\n"
    u"  var names = ['log_sources', 'log_summary', 'eventlog_table'];\r\n"
    u"  var node = head;\r\n"
    u"  for (var i = 0; i < names.length; ++i) {\r\n"
    u"    var next = NextOfClass(node, names[i]);\r\n"
    u"    if (!next) continue;\r\n"
    u"    next.style.display = hide ? 'none' : '';\r\n"
    u"    node = next;\r\n"
    u"  }\r\n"
    u"}\r\n"
    u"function ShowHideEvents(n, level, checked) {\r\n"
    u"  var head = document.getElementById('log' + n);\r\n"
    u"  var table = head ? NextOfClass(head, 'eventlog_table') : null;\r\n"
    u"  if (!table) return;\r\n"
    u"  var rows = table.getElementsByTagName('tr');\r\n"
    u"  for (var i = 0; i < rows.length; ++i)\r\n"
    u"    if (rows[i].className == level) rows[i].style.display = checked ? '' : 'none';\r\n"
    u"}\r\n"
    u"//]]>\r\n"
    u"</script>\r\n";

constexpr std::u16string_view kStyle =
    u"<style type=\"text/css\">\r\n"
    u"body {\r\n\tfont-family: tahoma, helvetica, arial, sans-serif;\r\n\tfont-size: 1em;\r\n"
    u"\tcolor: black;\r\n\tbackground-color: white;\r\n\tpadding: 0;\r\n\tmargin: 0;\r\n}\r\n"
    u"h1 {\r\n\tfont-weight: normal;\r\n\tfont-size: x-large;\r\n\tbackground-color: #444;\r\n"
    u"\tcolor: white;\r\n\tpadding: 0.5em 0.5em 0 0.5em;\r\n\tmargin: 0;\r\n}\r\n"
    u"h5 {\r\n\tborder-bottom-color: orange;\r\n\tborder-bottom-style: solid;\r\n"
    u"\tborder-bottom-width: medium;\r\n\tbackground-color: #000066;\r\n\tfont-weight: normal;\r\n"
    u"\tfont-size: small;\r\n\tbackground-color: #444;\r\n\tcolor: white;\r\n"
    u"\tpadding: 0 1em 0.5em 1em;\r\n\tmargin: 0;\r\n}\r\n"
    u"h2 {\r\n\tcolor: #444;\r\n\tmargin-top: 1.5em;\r\n\tfont-size: large;\r\n"
    u"\tline-height: 1em;\r\n}\r\n"
    u"ul {\r\n\tline-height: 1.6em;\r\n}\r\n"
    u"a {\r\n\tcolor: orange;\r\n}\r\n"
    u"#content {\r\n\tfont-size: small;\r\n\tpadding-left: 1em;\r\n\tpadding-right: 1em;\r\n}\r\n"
    u"#footer {\r\n\tbackground-color: #444;\r\n\tcolor: white;\r\n\tfont-size: x-small;\r\n"
    u"\ttext-align: center;\r\n\tline-height: 2em;\r\n}\r\n"
    u"#summary_table {\r\n\tborder-collapse: collapse;\r\n}\r\n"
    u"#summary_table td {\r\n\tborder: 1px dotted gray;\r\n\twidth: 12em;\r\n"
    u"\tpadding-left: 0.5em;\r\n}\r\n"
    u".log_summary {\r\n\tborder-collapse: collapse;\r\n\tmargin-left: 1.5em;\r\n"
    u"\tmargin-bottom: 0.5em;\r\n}\r\n"
    u".log_summary td {\r\n\tborder: 1px dotted gray;\r\n\twidth: 12em;\r\n"
    u"\tpadding-left: 0.5em;\r\n}\r\n"
    u".logctrl {\r\n\tcolor: orange;\r\n\tcursor: pointer;\r\n}\r\n"
    u".log_sources {\r\n\tfloat: right;\r\n\tfont-size: smaller;\r\n\twidth: 60%;\r\n"
    u"\tmargin-left: 1em;\r\n}\r\n"
    u".filtered {\r\n\tcolor: navy;\r\n\tfont-size: smaller;\r\n\tmargin-left: 2em;\r\n}\r\n"
    u".eventlog_table {\r\n\tborder-bottom: 2px solid #444;\r\n\tmargin-left: 2em;\r\n"
    u"\ttext-align: left;\r\n\twidth: 99%;\r\n\tborder-collapse: collapse;\r\n"
    u"\tfont-size: smaller;\r\n}\r\n"
    u".eventlog_table th {\r\n\tcolor: white;\r\n\tbackground: #444;\r\n\ttext-align: left;\r\n"
    u"\tborder: 1px solid gray;\r\n}\r\n"
    u".eventlog_table tr {\r\n\tline-height: 1.5em;\r\n}\r\n"
    u".eventlog_table td {\r\n\tborder: 1px dotted gray;\r\n\ttext-align: left;\r\n}\r\n"
    u".err_ev {\r\n\tbackground-color: #ffe0d0;\r\n}\r\n"
    u".ev_group {\r\n\tcolor: #444;\r\n}\r\n"
    u".warn_ev {\r\n\tbackground-color: #e0e0ff;\r\n}\r\n"
    u".afail_ev {\r\n\tbackground-color: #fff0b0;\r\n}\r\n"
    u".asucc_ev {\r\n\tbackground-color: #f0ffb0;\r\n}\r\n"
    u"</style></head>\r\n";

constexpr std::u16string_view kDocumentStart =
    u"<!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0 Transitional//EN\" "
    u"\"http://www.w3.org/TR/xhtml1/DTD/xhtml1-transitional.dtd\">\r\n"
    u"<html xmlns=\"http://www.w3.org/1999/xhtml\" >\r\n"
    u"<head>\r\n"
    u"<title>Syslog Report</title>\r\n"
    u"<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\" />\r\n"
    u"<meta name=\"author\" content=\"Corvane\" />\r\n"
    u"<meta name=\"description\" content=\"System events report. Generated by Corvane.\" />\r\n";

constexpr std::u16string_view kTableHeader =
    u"<table class=\"eventlog_table\">\r\n<tr><th>Date</th> <th>Time</th> <th>Type</th> "
    u"<th>Source</th><th>EventID</th> <th>Category</th> <th>Description</th></tr>\r\n";

// One "%d unit " part of the period text: nothing for 0, the singular for 1.
void AddUnit(std::u16string& text, int64_t n, std::u16string_view plural,
             std::u16string_view singular) {
  if (n == 1 && !singular.empty()) {
    text += singular;
  } else if (n > 0) {
    text += Num(n);
    text += plural;
  }
}

std::u16string LongDate(const std::tm& local) {
  const auto text = FormatCTime("%#x", local);
  return text ? Utf8ToUtf16(*text) : std::u16string();
}

}  // namespace

EventClass ClassOf(uint16_t raw) {
  if (raw & 0x02) return kClassWarning;
  if ((raw & 0x04) || raw == 0) return kClassInformation;
  if (raw & 0x10) return kClassAuthFail;
  if (raw & 0x08) return kClassAuthSuccess;
  return kClassError;
}

const char16_t* ClassSummaryName(EventClass c) { return kClassNames[c].summary; }
const char16_t* ClassShortName(EventClass c) { return kClassNames[c].short_name; }
const char16_t* ClassRowName(EventClass c) { return kClassNames[c].row; }

std::u16string CleanDescription(std::u16string_view text, const DescriptionOptions& options) {
  std::u16string out;
  if (!options.replace_nonprint) {
    out.assign(text);
  } else if (options.replace_with_hex) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    for (char16_t c : text) {
      if (c >= 0x20) {
        out += c;
        continue;
      }
      out += u"<0x";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
      out += u'>';
    }
  } else {
    // Each run of control characters becomes one custom character.
    bool in_run = false;
    for (char16_t c : text) {
      if (c < 0x20) {
        if (!in_run) out += options.custom_char;
        in_run = true;
      } else {
        out += c;
        in_run = false;
      }
    }
  }
  const int32_t limit = options.trim_length;
  if (options.trim && limit > 3 && out.size() > static_cast<size_t>(limit)) {
    out.resize(static_cast<size_t>(limit - 3));
    out += u"...";
  }
  return EscapeHtml(out);
}

std::u16string PeriodLengthText(int64_t d) {
  std::u16string text;
  AddUnit(text, d / 86400, u" days ", u"1 day ");
  AddUnit(text, (d % 86400) / 3600, u" hours ", u"1 hour ");
  AddUnit(text, (d % 3600) / 60, u" min ", {});
  AddUnit(text, d % 60, u" sec ", {});
  return text;
}

int32_t DayKey(const std::tm& t) {
  return (((t.tm_year * 16 + t.tm_mon) * 32 + t.tm_mday) * 8) + t.tm_wday;
}

void LogSection::AddRecord(ReportPieces& pieces, uint32_t time_generated, uint16_t raw_type,
                           std::u16string_view source, uint32_t event_id,
                           std::u16string_view category, std::u16string_view description) {
  // The first shown record is the newest: its piece closes the table.
  if (shown_ == 0) pieces.emplace_front(u"</table>\r\n");
  ++shown_;
  ++sources_[std::u16string(source)];
  const EventClass c = ClassOf(raw_type);
  ++counts_[c];

  std::tm local{};
  const bool has_time = platform::LocalCalendarTime(time_generated, local);
  if (has_time) {
    const int32_t day = DayKey(local);
    if (has_day_ && day != day_) AddDayGroup(pieces);
    has_day_ = true;
    day_ = day;
    day_tm_ = local;
  }
  std::u16string row = u"<tr class=\"";
  row += ClassRowName(c);
  row += u"\"><td>";
  row += FormatDate(time_generated, date_format_);
  row += u"</td><td>";
  row += FormatTime(time_generated, time_format_);
  row += u"</td><td>";
  row += ClassShortName(c);
  row += u"</td><td>";
  row += EscapeHtml(source);
  row += u"</td><td>";
  row += Num(event_id & 0xFFFFu);
  row += u"</td><td>";
  row += EscapeHtml(category);
  row += u"</td>\r\n<td>";
  if (!description.empty()) row += CleanDescription(description, options_);
  row += u"</td></tr>\r\n";
  pieces.push_front(std::move(row));
}

void LogSection::AddDayGroup(ReportPieces& pieces) {
  const std::u16string date = LongDate(day_tm_);
  if (date.empty()) return;
  pieces.push_front(u"<tr class=\"ev_group\"><td colspan=\"7\"><strong>" + date +
                    u"</strong></td></tr>\r\n");
}

bool LogSection::Finish(ReportPieces& pieces, int log_number, std::u16string_view log_name,
                        bool omit_empty) {
  if (shown_ > 0) {
    if (has_day_) AddDayGroup(pieces);
    pieces.emplace_front(kTableHeader);
  } else if (omit_empty) {
    return false;
  }
  const std::u16string number = Num(log_number);
  std::u16string s = u"<h2 id=\"log" + number +
                     u"\"><span class=\"logctrl\" onclick=\"ShowHideLog(" + number +
                     u");\">&lt;&lt;</span> EventLog: " + EscapeHtml(log_name) + u" (" +
                     Num(shown_) + u")</h2>\r\n";
  s += IgnoredNotice(ignored_);
  s += u"<div class=\"log_sources\">\r\n";
  s += SourcesText(sources_);
  s += u"\r\n</div>\r\n<table class=\"log_summary\">\r\n";
  s += ClassRows(log_number, counts_);
  s += u"</table>\r\n";
  pieces.push_front(std::move(s));
  return true;
}

std::u16string LogSection::IgnoredNotice(int32_t ignored) {
  if (ignored == 0) return {};
  if (ignored == 1) {
    return u"<p class=\"filtered\">1 event was ignored because it does not meet the filtering "
           u"criteria.</p>";
  }
  return u"<p class=\"filtered\">" + Num(ignored) +
         u" events were ignored because them do not meet the filtering criteria.</p>";
}

std::u16string LogSection::SourcesText(const std::map<std::u16string, int32_t>& sources) {
  if (sources.empty()) return {};
  std::vector<std::pair<std::u16string, int32_t>> order(sources.begin(), sources.end());
  // Largest count first; equal counts by name, descending.
  std::sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    if (a.second != b.second) return a.second > b.second;
    return a.first > b.first;
  });
  std::u16string text = u"<strong>Sources: </strong>";
  for (size_t i = 0; i < order.size(); ++i) {
    if (i > 0) text += u",&nbsp;&nbsp;";
    text += EscapeHtml(order[i].first);
    text += u"(<strong>" + Num(order[i].second) + u"</strong>)";
  }
  return text;
}

std::u16string LogSection::ClassRows(int log_number, const ClassCounts& counts) {
  std::u16string rows;
  for (size_t i = 0; i < kClassCount; ++i) {
    if (counts[i] == 0) continue;
    const auto c = static_cast<EventClass>(i);
    rows += u"<tr><td><input type=\"checkbox\" checked=\"checked\" onclick=\"ShowHideEvents(" +
            Num(log_number) + u",'" + ClassRowName(c) + u"',checked);\" />" + ClassSummaryName(c) +
            u":</td><td><strong>" + Num(counts[i]) + u"</strong></td></tr>\r\n";
  }
  return rows;
}

std::u16string HeadPiece(const ReportSummary& s) {
  std::u16string head(kDocumentStart);
  head += kScript;
  head += kStyle;
  head += u"<body>\r\n<h1>System Events Report (" + EscapeHtml(s.computer_name) + u")</h1>\r\n";
  const uint32_t last = s.period_end - 1;
  head += u"<h5>" + FormatLongDateTime(s.period_end, s.time_format) + u"</h5>\r\n";
  head += u"<div id=\"content\">\r\n<h2>Summary</h2>\r\n<ul>\r\n<li>Period: <strong>";
  head += PeriodLengthText(static_cast<int64_t>(s.period_end) - s.period_start);
  head += u"</strong> (" + FormatDateTime(s.period_start, s.date_format, s.time_format) +
          u" &ndash; " + FormatDateTime(last, s.date_format, s.time_format) + u")</li>\r\n";
  head += u"<li>EventLogs: <strong>" + Num(s.logs_analysed) +
          u"</strong> total analyzed (<strong>" + Num(s.logs_with_records) +
          u"</strong> have records within the period)</li>\r\n";
  if (!s.logs_ignored.empty()) {
    std::u16string names;
    for (const std::u16string& name : s.logs_ignored) {
      names += (names.empty() ? u"" : u", ") + EscapeHtml(name);
    }
    head += u"<li>EventLogs ignored (repeated, too many or not found): <strong>" + names +
            u"</strong></li>\r\n";
  }
  head += u"<li>Events within the period: <strong>" + Num(s.events) + u"</strong>\r\n";
  head += u"<table id=\"summary_table\">\r\n<tr>\r\n";
  static constexpr std::array<std::u16string_view, kClassCount> kTotals = {
      u"Errors", u"Warnings", u"Information", u"Audit Fail", u"Audit Success"};
  for (size_t i = 0; i < kClassCount; ++i) {
    head += u"<td>";
    head += kTotals[i];
    head += u": <strong>" + Num(s.totals[i]) + u"</strong></td>\r\n";
  }
  head += u"</tr>\r\n</table>\r\n</li>\r\n</ul>\r\n";
  return head;
}

std::u16string FooterPiece() {
  return u"</div>\r\n<div id=\"footer\">\r\n<p>Generated by "
         u"<a href=\"https://www.halvorn.com/corvane/\">Corvane</a></p>\r\n</div>\r\n</body>\r\n"
         u"</html>\r\n";
}

}  // namespace cvn::report
