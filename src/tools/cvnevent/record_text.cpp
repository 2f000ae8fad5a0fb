#include "tools/cvnevent/record_text.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "base/text.h"
#include "base/time32.h"
#include "events/message_renderer.h"
#include "platform/accounts.h"
#include "platform/event_log.h"

namespace cvn {
namespace {

std::u16string Number(uint64_t n) { return Utf8ToUtf16(std::to_string(n)); }

std::u16string Hex(uint32_t n) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", n);
  return Utf8ToUtf16(text);
}

std::u16string TimeText(uint32_t t) {
  std::tm tm{};
  if (!UtcCalendarTime(t, tm)) return Number(t);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d UTC", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return Utf8ToUtf16(text);
}

std::u16string TypeText(uint16_t type) {
  switch (type) {
    case platform::kEventTypeSuccess: return u"Success";
    case platform::kEventTypeError: return u"Error";
    case platform::kEventTypeWarning: return u"Warning";
    case platform::kEventTypeInformation: return u"Information";
    case platform::kEventTypeAuditSuccess: return u"Audit Success";
    case platform::kEventTypeAuditFailure: return u"Audit Failure";
    default: return u"Type " + Number(type);
  }
}

// The NUL-terminated UTF-16 text at offset, looking no further than limit;
// false when no NUL lies before it.
bool TextAt(std::span<const uint8_t> raw, size_t offset, size_t limit, std::u16string& text,
            size_t& end) {
  text.clear();
  for (size_t pos = offset; pos + 1 < limit && pos + 1 < raw.size(); pos += 2) {
    const char16_t c = static_cast<char16_t>(raw[pos] | (raw[pos + 1] << 8));
    if (c == 0) {
      end = pos + 2;
      return true;
    }
    text += c;
  }
  return false;
}

std::u16string Quote(std::u16string_view text) {
  std::u16string out = u"\"";
  for (char16_t c : text) {
    if (c == u'"' || c == u'\\') {
      out += u'\\';
      out += c;
    } else if (c == u'\r') {
      out += u"\\r";
    } else if (c == u'\n') {
      out += u"\\n";
    } else if (c == u'\t') {
      out += u"\\t";
    } else {
      out += c;
    }
  }
  return out + u"\"";
}

}  // namespace

RecordPrinter::RecordPrinter(std::u16string_view log_name) : log_name_(log_name) {
  if (!log_name_.empty()) renderer_ = std::make_unique<CMessageRenderer>();
}
RecordPrinter::~RecordPrinter() = default;

std::u16string RecordPrinter::Format(std::span<const uint8_t> raw) {
  platform::EventLogRecordHeader h{};
  if (raw.size() < sizeof h) return u"(a record shorter than its fixed part)\n";
  std::memcpy(&h, raw.data(), sizeof h);
  const size_t length = std::min<size_t>(h.Length, raw.size());
  std::u16string out = u"#" + Number(h.RecordNumber) + u"  " + TimeText(h.TimeGenerated) + u"  " +
                       TypeText(h.EventType) + u"  ";
  std::u16string source;
  std::u16string computer;
  size_t end = 0;
  if (!TextAt(raw, platform::kEventLogRecordFixedSize, length, source, end) ||
      !TextAt(raw, end, length, computer, end)) {
    return out + u"(malformed record: names without their end)\n";
  }
  out += source + u"  event " + Number(h.EventID & 0xFFFF) + u" (" + Hex(h.EventID) +
         u")  category " + Number(h.EventCategory) + u"\n";
  out += u"  computer: " + computer;
  if (h.UserSidLength != 0) {
    if (static_cast<uint64_t>(h.UserSidOffset) + h.UserSidLength <= length) {
      const std::u16string sid =
          platform::SidToString(raw.subspan(h.UserSidOffset, h.UserSidLength));
      out += u"  user: " + (sid.empty() ? u"(not a SID)" : sid);
    } else {
      out += u"  user: (SID outside the record)";
    }
  }
  out += u"\n";
  // Insertion strings end at the data, or at the length copy.
  size_t limit = length >= 4 ? length - 4 : 0;
  if (h.DataOffset != 0 && h.DataOffset <= limit) limit = h.DataOffset;
  std::u16string strings;
  size_t pos = h.StringOffset;
  for (uint32_t i = 0; i < h.NumStrings; ++i) {
    std::u16string text;
    if (pos >= limit || !TextAt(raw, pos, limit, text, pos)) {
      strings += u" (ends early)";
      break;
    }
    strings += (i == 0 ? u" " : u", ") + Quote(text);
  }
  if (h.NumStrings != 0) out += u"  strings:" + strings + u"\n";
  if (h.DataLength != 0) {
    if (static_cast<uint64_t>(h.DataOffset) + h.DataLength <= length) {
      std::u16string data;
      const uint32_t shown = std::min<uint32_t>(h.DataLength, 64);
      for (uint32_t i = 0; i < shown; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, " %02X", raw[h.DataOffset + i]);
        data += Utf8ToUtf16(byte);
      }
      if (shown < h.DataLength) data += u" ... (" + Number(h.DataLength) + u" bytes)";
      out += u"  data:" + data + u"\n";
    } else {
      out += u"  data: (outside the record)\n";
    }
  }
  if (renderer_) {
    SEventRecord record;
    if (renderer_->BuildEventRecord(record, raw, log_name_) != 0) {
      out += u"  (the record is malformed; no description)\n";
    } else {
      if (!record.user.empty()) out += u"  account: " + record.user + u"\n";
      std::u16string text = record.description;
      while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
      std::u16string indented;
      for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') continue;
        indented += text[i];
        if (text[i] == u'\n') indented += u"    ";
      }
      out += u"  description: " + indented + u"\n";
    }
  }
  return out;
}

}  // namespace cvn
