#include "tools/cvnconsole/console_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <vector>

#include "base/text.h"
#include "base/time32.h"
#include "control/ctrl_protocol.h"

namespace cvn::console {
namespace {

using control::CSTCtrlMessage;

struct Named {
  const char* name;
  uint8_t number;
};

constexpr Named kMethods[] = {
    {"purge-syslog", control::kMethodPurgeSyslog},
    {"purge-email", control::kMethodPurgeEmail},
    {"reload", control::kMethodConfigChanged},
    {"purge-db", control::kMethodPurgeDatabase},
};

constexpr Named kProperties[] = {
    {"status", control::kPropStatus},
    {"reset", control::kPropResetCounter},
    {"start-time", control::kPropStartTime},
    {"period", control::kPropSelectPeriod},
    {"period-name", control::kPropPeriodName},
    {"histogram", control::kPropHistogram},
    {"syslog-error", control::kPropSyslogError},
    {"email-error", control::kPropEmailError},
    {"report-error", control::kPropReportError},
    {"logs", control::kPropLogNames},
    {"report", control::kPropCustomReport},
    {"db-error", control::kPropDatabaseError},
    {"metrics", control::kPropMetrics},
};

std::optional<uint8_t> ByName(std::string_view name, std::span<const Named> table) {
  for (const Named& n : table) {
    if (name == n.name) return n.number;
  }
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), value);
  if (ec == std::errc() && end == name.data() + name.size() && value <= 255)
    return static_cast<uint8_t>(value);
  return std::nullopt;
}

std::string Quoted(const std::u16string& s) { return "\"" + Utf16ToUtf8(s) + "\""; }

std::string EventTypeText(uint16_t type) {
  switch (type) {
    case 1: return "Error";
    case 2: return "Warning";
    case 0:
    case 4: return "Information";
    case 8: return "Audit Success";
    case 16: return "Audit Failure";
    default: return "type " + std::to_string(type);
  }
}

std::string ThreadStatus(int32_t v) {
  if (v == 0) return "running";
  if (v == -1) return "not enabled";
  char buf[32];
  std::snprintf(buf, sizeof(buf), "error 0x%08X", static_cast<unsigned>(v));
  return buf;
}

}  // namespace

// The name of a status key, as the status table and the status property show it.
std::string StatusName(int32_t key) {
  switch (key) {
    case 13: return "report thread";
    case 11: return "syslog thread";
    case 12: return "e-mail thread";
    case 0: return "syslog messages waiting";
    case 1: return "syslog messages sent";
    case 2: return "syslog send failures";
    case 3: return "e-mail queue length";
    case 4: return "records queued for e-mail";
    case 5: return "e-mails sent";
    case 6: return "e-mail failures";
    case 7: return "reports saved / mailed";
    case 8: return "report save / mail errors";
    case 9: return "last report";
    case 10: return "next report";
    case 14: return "database queue length";
    case 15: return "database records handled";
    case 16: return "database records failed";
    case 17: return "database channel";
    case 18: return "database records exported";
    case 19: return "syslog messages handled";
    case 20: return "syslog records behind";
    case 21: return "e-mail records behind";
    case 22: return "database records behind";
    case 23: return "syslog overwritten";
    case 24: return "e-mail overwritten";
    case 25: return "database overwritten";
    default: return "key " + std::to_string(key);
  }
}

namespace {

std::string StatusValue(int32_t key, int32_t value) {
  const auto u = static_cast<uint32_t>(value);
  switch (key) {
    case 11:
    case 12:
    case 13: return ThreadStatus(value);
    case 7:
    case 8: return std::to_string(u & 0xFFFF) + " / " + std::to_string(u >> 16);
    case 9:
    case 10: return FormatTime(u);
    case 15:
    case 16:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22:
    case 23:
    case 24:
    case 25: return std::to_string(u);
    case 17: return value == -1 ? "not enabled" : value == 0 ? "running" : "not running";
    default: return std::to_string(value);
  }
}

std::string StatusLine(int32_t key, int32_t value) {
  std::string line = StatusName(key) + ":";
  if (key >= 0 && key <= 25) line.resize(std::max<size_t>(line.size(), 26), ' ');
  return line + " " + StatusValue(key, value);
}

std::string Histogram(const std::vector<int32_t>& counters) {
  static const char* const kTypes[] = {"errors", "warnings", "information", "audits"};
  std::string out;
  for (size_t type = 0; type < 4; ++type) {
    uint64_t total = 0;
    std::string buckets;
    for (size_t bucket = 0; bucket < 90; ++bucket) {
      const size_t i = type * 90 + bucket;
      if (i >= counters.size()) break;
      const auto n = static_cast<uint32_t>(counters[i]);
      total += n;
      if (n != 0) buckets += " " + std::to_string(bucket) + ":" + std::to_string(n);
    }
    if (!out.empty()) out += "\n";
    out += std::string(kTypes[type]) + ": " + std::to_string(total);
    if (!buckets.empty()) out += "  (bucket:count, 89 newest)" + buckets;
  }
  return out;
}

// Whatever is left, as hexadecimal bytes.
std::string RawValues(const CSTCtrlMessage& values) {
  std::string out;
  char buf[4];
  for (size_t i = control::kLengthFieldSize; i < values.Size(); ++i) {
    std::snprintf(buf, sizeof(buf), "%02X", values.Bytes()[i]);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out.empty() ? "(no values)" : out;
}

}  // namespace

std::string FormatTime(int64_t seconds) {
  if (seconds == 0) return "never";
  std::tm tm{};
  if (!UtcCalendarTime(seconds, tm)) return std::to_string(seconds);
  char buf[40];
  std::snprintf(buf, sizeof(buf), "%04d-%02d-%02d %02d:%02d:%02d UTC", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

std::string DescribeNotification(int method) {
  switch (method) {
    case control::kNotifyStatisticsChanged: return "notification 2: event statistics changed";
    case control::kNotifySharedConfigApplied:
      return "notification 4: configuration changed from the shared configuration file";
    default: return "notification " + std::to_string(method);
  }
}

std::string DescribePopup(CSTCtrlMessage& values) {
  int32_t tag = 0;
  int32_t record = 0;
  int32_t generated = 0;
  int32_t written = 0;
  int32_t event_id = 0;
  uint16_t type = 0;
  uint16_t category = 0;
  std::u16string source, computer, user, description, category_text, log;
  if (!values.ValueFromStack(tag) || tag != control::kPopupRecordTag) {
    return "pop-up record with an unknown format: " + RawValues(values);
  }
  const bool complete = values.ValueFromStack(record) && values.ValueFromStack(generated) &&
                        values.ValueFromStack(written) && values.ValueFromStack(event_id) &&
                        values.ValueFromStack(type) && values.ValueFromStack(category) &&
                        values.ValueFromStack(source) && values.ValueFromStack(computer) &&
                        values.ValueFromStack(user) && values.ValueFromStack(description) &&
                        values.ValueFromStack(category_text) && values.ValueFromStack(log);
  std::string out =
      "pop-up: " + Quoted(log) + " record " + std::to_string(static_cast<uint32_t>(record)) + ", " +
      EventTypeText(type) + ", event id " + std::to_string(event_id & 0xFFFF) + ", source " +
      Quoted(source) + "\n  generated " + FormatTime(static_cast<uint32_t>(generated)) +
      ", written " + FormatTime(static_cast<uint32_t>(written)) + "\n  computer " +
      Quoted(computer) + ", user " + Quoted(user) + ", category " + std::to_string(category) + " " +
      Quoted(category_text) + "\n  " + Utf16ToUtf8(description);
  if (!complete) out += "\n  (the record was incomplete)";
  return out;
}

std::string DescribeProperty(uint8_t id, CSTCtrlMessage& values) {
  switch (id) {
    case control::kPropStatus: {
      std::vector<int32_t> pairs;
      if (!values.ValueFromStack(pairs)) break;
      std::string out;
      for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
        if (!out.empty()) out += "\n";
        out += StatusLine(pairs[i], pairs[i + 1]);
      }
      return out;
    }
    case control::kPropStartTime: {
      int32_t t = 0;
      if (!values.ValueFromStack(t)) break;
      return "started " + FormatTime(static_cast<uint32_t>(t));
    }
    case control::kPropHistogram: {
      std::vector<int32_t> counters;
      if (!values.ValueFromStack(counters)) break;
      return Histogram(counters);
    }
    case control::kPropLogNames: {
      std::vector<std::u16string> names;
      if (!values.ValueFromStack(names)) break;
      std::string out;
      for (const auto& n : names) out += (out.empty() ? "" : "\n") + Utf16ToUtf8(n);
      return out.empty() ? "(no logs)" : out;
    }
    case control::kPropMetrics: {
      std::u16string s;
      if (!values.ValueFromStack(s)) break;
      return Utf16ToUtf8(s);
    }
    case control::kPropPeriodName:
    case control::kPropSyslogError:
    case control::kPropEmailError:
    case control::kPropReportError:
    case control::kPropDatabaseError: {
      std::u16string s;
      if (!values.ValueFromStack(s)) break;
      return s.empty() ? "(empty)" : Utf16ToUtf8(s);
    }
    default: break;
  }
  return RawValues(values);
}

std::string StatusTable(const std::vector<int32_t>& pairs) {
  std::string out = "key  name                         value";
  char row[64];
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
    std::snprintf(row, sizeof row, "\n%3d  %-27s  ", pairs[i], StatusName(pairs[i]).c_str());
    out += row + StatusValue(pairs[i], pairs[i + 1]);
  }
  return out;
}

std::string HistogramChart(std::u16string_view period_name, const std::vector<int32_t>& counters) {
  static const char* const kTypes[] = {"errors", "warnings", "information", "audits"};
  // The spans of the statistics periods, longest first, as labels of the
  // axis's start and middle.
  static const struct {
    const char16_t* name;
    const char* start;
    const char* middle;
  } kSpans[] = {
      {u"System events for the last 14 days", "-14 d", "-7 d"},
      {u"System events for the last 7 days", "-7 d", "-3.5 d"},
      {u"System events for the last 2 days", "-2 d", "-1 d"},
      {u"System events for the last 12 hours", "-12 h", "-6 h"},
      {u"System events for the last 6 hours", "-6 h", "-3 h"},
      {u"System events for the last 2 hours", "-2 h", "-1 h"},
      {u"System events for the last 30 minutes", "-30 min", "-15 min"},
  };
  constexpr size_t kBuckets = 90;
  constexpr std::string_view kLevels = " .:-=+*%#";
  uint32_t highest = 0;
  for (int32_t c : counters) highest = std::max(highest, static_cast<uint32_t>(c));

  std::string out = Utf16ToUtf8(std::u16string(period_name));
  if (out.empty()) out = "event statistics";
  out += " (highest bucket: " + std::to_string(highest) + ")";
  for (size_t type = 0; type < 4; ++type) {
    uint64_t total = 0;
    std::string line(kBuckets, ' ');
    for (size_t b = 0; b < kBuckets && type * kBuckets + b < counters.size(); ++b) {
      const auto n = static_cast<uint32_t>(counters[type * kBuckets + b]);
      total += n;
      // Any count shows; the highest bucket gets the top level.
      if (n != 0) {
        const uint64_t steps = kLevels.size() - 1;
        line[b] = kLevels[std::max<uint64_t>(1, (uint64_t{n} * steps + highest - 1) / highest)];
      }
    }
    char head[16];
    std::snprintf(head, sizeof head, "\n%-12s|", kTypes[type]);
    out += head + line + "| " + std::to_string(total);
  }
  const char* start = "-90";
  const char* middle = "-45";
  for (const auto& span : kSpans) {
    if (period_name == span.name) {
      start = span.start;
      middle = span.middle;
    }
  }
  std::string axis(kBuckets + 2, ' ');
  const std::string_view s(start), m(middle), now("now");
  axis.replace(0, s.size(), s);
  axis.replace(kBuckets / 2 + 1 - m.size() / 2, m.size(), m);
  axis.replace(axis.size() - now.size(), now.size(), now);
  out += "\n            " + axis;
  return out;
}

std::optional<uint8_t> MethodByName(std::string_view name) { return ByName(name, kMethods); }

std::optional<uint8_t> PropertyByName(std::string_view name) { return ByName(name, kProperties); }

std::optional<int64_t> ParseTime(std::string_view text) {
  int64_t seconds = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), seconds);
  if (ec == std::errc() && end == text.data() + text.size()) return seconds;
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  const std::string t(text);
  int used = 0;
  if (std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3) return std::nullopt;
  if (static_cast<size_t>(used) != t.size()) {
    int more = 0;
    const char* rest = t.c_str() + used;
    if (std::sscanf(rest, "T%2d:%2d%n", &h, &mi, &more) != 2) return std::nullopt;
    rest += more;
    if (*rest == ':') {
      more = 0;
      if (std::sscanf(rest, ":%2d%n", &s, &more) != 1) return std::nullopt;
      rest += more;
    }
    if (*rest != '\0') return std::nullopt;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59) return std::nullopt;
  return SecondsFromUtc(y, mo, d, h, mi, s);
}

std::optional<ReportArgs> ParseReportArgs(const std::vector<std::string>& args, int64_t now,
                                          std::string& error) {
  ReportArgs r;
  std::optional<int64_t> from;
  std::optional<int64_t> to;
  int selections = 0;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool has_value = i + 1 < args.size();
    if ((a == "--from" || a == "--to" || a == "--logs") && !has_value) {
      error = a + " needs a value";
      return std::nullopt;
    }
    if (a == "--from" || a == "--to") {
      const auto t = ParseTime(args[++i]);
      if (!t) {
        error = "report times are seconds since 1970 or YYYY-MM-DD[THH:MM[:SS]] (UTC)";
        return std::nullopt;
      }
      (a == "--from" ? from : to) = t;
    } else if (a == "--logs") {
      ++selections;
      std::string_view list = args[++i];
      while (!list.empty()) {
        const size_t comma = list.find(',');
        if (comma != 0) r.logs.emplace_back(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      }
    } else if (a == "--all-logs" || a == "--watched") {
      ++selections;
      (a == "--all-logs" ? r.all_logs : r.watched) = 1;
    } else if (!a.empty() && a[0] != '-' && r.file.empty()) {
      r.file = a;
    } else {
      error = "unexpected report argument: " + a;
      return std::nullopt;
    }
  }
  if (r.file.empty()) error = "report needs a file";
  if (selections > 1) error = "give one of --logs, --all-logs and --watched";
  if (!r.logs.empty() || r.all_logs == 1) r.watched = 0;
  r.to = to.value_or(now);
  r.from = from.value_or(r.to - 86400);
  if (error.empty() && r.from >= r.to)
    error = "the report period is empty (--from is not before --to)";
  if (!error.empty()) return std::nullopt;
  return r;
}

}  // namespace cvn::console
