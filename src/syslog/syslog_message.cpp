#include "syslog/syslog_message.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <string_view>
#include <vector>

#include "base/time32.h"
#include "platform/clock.h"
#include "platform/codepage.h"

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

}  // namespace

uint32_t SyslogSeverity(uint16_t event_type) {
  if (event_type & kEventTypeError) return 3;
  if (event_type & kEventTypeWarning) return 4;
  if (event_type & kEventTypeInformation) return 6;
  return 5;
}

std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record) {
  return PrepareSyslogMessage(settings, record, &platform::LocalCalendarTime);
}

std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record,
                                 LocalTimeFunction local_time) {
  // 64-bit: the facility is read from the file without a range check.
  const int64_t pri =
      int64_t{settings.Syslog_Facility.value} * 8 + SyslogSeverity(record.eventType);
  std::string message =
      Header(pri, record.timeGenerated, settings.Syslog_LocalTime.value ? local_time : &UtcTime);

  std::u16string text = FillSyslogFormat(settings, record);
  if (settings.Syslog_ReplaceNonprint.value) {
    text =
        settings.Syslog_ReplaceHex.value
            ? ReplaceHex(text)
            : ReplaceRuns(text, static_cast<char16_t>(settings.Syslog_ReplaceChar.value & 0xFFFF));
  }

  const uint32_t code_page = settings.Syslog_ForceCp.value
                                 ? static_cast<uint32_t>(settings.Syslog_Cp.value)
                                 : platform::kCpAnsi;
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
