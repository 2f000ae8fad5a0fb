#include "syslog/syslog_message.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "base/time32.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/environment.h"

namespace cvn {
namespace {

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool IsControl(char16_t c) { return c < 0x20; }

bool UtcTime(int64_t t, std::tm& out) { return UtcCalendarTime(t, out); }

// "<PRI>Mmm dd hh:mm:ss " (the day right-aligned in two places), or "<PRI> "
// when the time does not convert.
std::string Header(int64_t pri, int64_t time, LocalTimeFunction convert) {
  std::string header = "<" + std::to_string(pri) + ">";
  std::tm tm{};
  if (convert(time, tm) && tm.tm_mon >= 0 && tm.tm_mon < 12) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%s %2d %02d:%02d:%02d ", kMonths[tm.tm_mon], tm.tm_mday % 100,
                  tm.tm_hour % 100, tm.tm_min % 100, tm.tm_sec % 100);
    return header + buf;
  }
  return header + " ";
}

// Every control character as "<0xNN>".
std::u16string ReplaceHex(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size() + 16);
  for (char16_t c : text) {
    if (!IsControl(c)) {
      out.push_back(c);
      continue;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "<0x%02X>", static_cast<unsigned>(c));
    for (const char* p = buf; *p; ++p) out.push_back(static_cast<char16_t>(*p));
  }
  return out;
}

// Every run of control characters as one replacement character.
std::u16string ReplaceRuns(std::u16string_view text, char16_t replacement) {
  std::u16string out;
  out.reserve(text.size());
  bool in_run = false;
  for (char16_t c : text) {
    if (IsControl(c)) {
      if (!in_run) out.push_back(replacement);
      in_run = true;
    } else {
      out.push_back(c);
      in_run = false;
    }
  }
  return out;
}

// UTF-16 as 8-bit text in the code page; false when the system cannot
// convert to it (the UTF-16 "code pages" included, which have no 8-bit form).
bool Encode(std::u16string_view text, uint32_t code_page, std::string& out) {
  out.clear();
  if (code_page == 1200 || code_page == 1201) return false;
  return platform::ToCodePage(text, code_page, out);
}

bool IsHighSurrogate(char16_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(char16_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// The longest encoded prefix of text that fits in room bytes. A prefix ends
// between characters, so the cut never leaves part of a multi-byte character
// (or of a surrogate pair) behind. Binary search over the character
// boundaries: a handful of conversions even for long texts.
std::string EncodedPrefix(std::u16string_view text, uint32_t code_page, size_t room) {
  std::vector<size_t> bounds;  // where each character starts, and the end
  bounds.reserve(text.size() + 1);
  for (size_t i = 0; i < text.size(); ++i) {
    if (i > 0 && IsLowSurrogate(text[i]) && IsHighSurrogate(text[i - 1])) continue;
    bounds.push_back(i);
  }
  bounds.push_back(text.size());
  size_t lo = 0, hi = bounds.size() - 1;  // bounds[lo] fits; nothing beyond bounds[hi] does
  std::string best, candidate;
  while (lo < hi) {
    const size_t mid = lo + (hi - lo + 1) / 2;
    Encode(text.substr(0, bounds[mid]), code_page, candidate);
    if (candidate.size() <= room) {
      lo = mid;
      best.swap(candidate);
    } else {
      hi = mid - 1;
    }
  }
  return best;
}

// The control characters of a text replaced as Syslog/ReplaceNonprint says.
std::u16string CleanText(const CCVNSettings& settings, std::u16string text) {
  if (!settings.Syslog_ReplaceNonprint.value) return text;
  return settings.Syslog_ReplaceHex.value
             ? ReplaceHex(text)
             : ReplaceRuns(text, static_cast<char16_t>(settings.Syslog_ReplaceChar.value & 0xFFFF));
}

}  // namespace

uint32_t SyslogSeverity(uint16_t event_type) {
  if (event_type & kEventTypeError) return 3;
  if (event_type & kEventTypeWarning) return 4;
  if (event_type & kEventTypeInformation) return 6;
  return 5;
}

std::string SyslogHeaderName(std::u16string_view text, size_t max_length) {
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < max_length; ++i) {
    const char16_t c = text[i];
    // A surrogate pair is one character and gets one replacement.
    if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) ++i;
    out.push_back(c >= 33 && c <= 126 ? static_cast<char>(c) : '_');
  }
  return out.empty() ? "-" : out;
}

std::string SyslogParamValue(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + 8);
  for (char c : utf8) {
    if (c == '"' || c == '\\' || c == ']') out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

std::string SyslogTimestamp(int64_t time, LocalTimeFunction convert, bool local) {
  std::tm tm{};
  if (!convert(time, tm)) return "-";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.000", (tm.tm_year + 1900) % 10000,
                (tm.tm_mon + 1) % 100, tm.tm_mday % 100, tm.tm_hour % 100, tm.tm_min % 100,
                tm.tm_sec % 100);
  std::string out = buf;
  if (!local) return out + "Z";
  // The zone's offset at that moment: the local calendar time read as if it
  // were UTC, less the time itself.
  const int64_t shown = SecondsFromUtc(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                                       tm.tm_min, tm.tm_sec);
  int64_t minutes = (shown - time) / 60;
  const char sign = minutes < 0 ? '-' : '+';
  if (minutes < 0) minutes = -minutes;
  std::snprintf(buf, sizeof buf, "%c%02d:%02d", sign, static_cast<int>(minutes / 60 % 100),
                static_cast<int>(minutes % 60));
  return out + buf;
}

namespace {

// The name that tells receivers which machine sent the message: the record's
// computer, or this computer's name when the record names none.
std::u16string HostName(const SEventRecord& record) {
  return record.computer.empty() ? platform::LocalComputerName() : record.computer;
}

// The record's fields as one structured-data element.
std::string StructuredData(const CCVNSettings& settings, const SEventRecord& record) {
  std::string sd = "[" + std::string(kSyslogSdId);
  const auto param = [&](const char* name, std::u16string_view value) {
    sd += ' ';
    sd += name;
    sd += "=\"";
    sd += SyslogParamValue(Utf16ToUtf8(CleanText(settings, std::u16string(value))));
    sd += '"';
  };
  param("log", record.logName);
  param("source", record.source);
  param("eventId", Utf8ToUtf16(std::to_string(DisplayedEventId(record.eventId))));
  param("type", EventTypeName(record.eventType));
  param("recordNumber", Utf8ToUtf16(std::to_string(record.recordNumber)));
  param("category", Utf8ToUtf16(std::to_string(record.category)));
  param("user", record.user);
  param("computer", record.computer);
  return sd + "]";
}

// "<PRI>1 TIMESTAMP HOSTNAME APP-NAME - MSGID SD [MSG]", the text being MSG,
// led by the byte order mark when it is UTF-8.
std::string VersionOneMessage(const CCVNSettings& settings, const SEventRecord& record, int64_t pri,
                              LocalTimeFunction convert, std::u16string_view text,
                              uint32_t code_page) {
  std::string header =
      "<" + std::to_string(pri) + ">1 " +
      SyslogTimestamp(record.timeGenerated, convert, settings.Syslog_LocalTime.value) + " " +
      SyslogHeaderName(HostName(record), kMaxHostNameBytes) + " " +
      SyslogHeaderName(record.source, kMaxAppNameBytes) + " - " +
      std::to_string(DisplayedEventId(record.eventId)) + " ";
  std::string sd = StructuredData(settings, record);
  std::string body;
  if (!Encode(text, code_page, body)) return header + sd;  // an unknown code page: no MSG
  const bool utf8 =
      (code_page == platform::kCpAnsi ? platform::AnsiCodePage() : code_page) == platform::kCpUtf8;
  const std::string bom = utf8 ? "\xEF\xBB\xBF" : "";
  if (settings.Syslog_TrimLarge.value) {
    // The limit cuts the text, never the header: fields too long to leave
    // room for it give up their structured data, which a cut would break.
    if (header.size() + sd.size() + 1 + bom.size() > kMaxSyslogMessageBytes) sd = "-";
    const size_t used = header.size() + sd.size() + 1 + bom.size();
    if (used + body.size() > kMaxSyslogMessageBytes) {
      body = EncodedPrefix(text, code_page,
                           used < kMaxSyslogMessageBytes ? kMaxSyslogMessageBytes - used : 0);
    }
  }
  if (body.empty() && bom.empty()) return header + sd;
  return header + sd + " " + bom + body;
}

}  // namespace

std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record) {
  return PrepareSyslogMessage(settings, record, &platform::LocalCalendarTime);
}

std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record,
                                 LocalTimeFunction local_time) {
  // 64-bit: the facility is read from the file without a range check.
  const int64_t pri =
      int64_t{settings.Syslog_Facility.value} * 8 + SyslogSeverity(record.eventType);
  const LocalTimeFunction convert = settings.Syslog_LocalTime.value ? local_time : &UtcTime;
  const std::u16string text = CleanText(settings, FillSyslogFormat(settings, record));
  const uint32_t code_page = settings.Syslog_ForceCp.value
                                 ? static_cast<uint32_t>(settings.Syslog_Cp.value)
                                 : platform::kCpAnsi;
  const int layout = settings.Syslog_Header.value;
  if (layout == kSyslogHeaderVersion1) {
    return VersionOneMessage(settings, record, pri, convert, text, code_page);
  }

  std::string message = Header(pri, record.timeGenerated, convert);
  if (layout == kSyslogHeaderWithHost) {
    message += SyslogHeaderName(HostName(record), kMaxHostNameBytes) + " ";
  }
  std::string body;
  if (!Encode(text, code_page, body)) return message;  // an unknown code page: header alone

  if (settings.Syslog_TrimLarge.value && message.size() + body.size() > kMaxSyslogMessageBytes) {
    const size_t room =
        message.size() < kMaxSyslogMessageBytes ? kMaxSyslogMessageBytes - message.size() : 0;
    body = EncodedPrefix(text, code_page, room);
  }
  message += body;
  return message;
}

}  // namespace cvn
