// Reads back the events the service wrote to the Application log.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/event_log.h"

namespace cvn::testing {

struct LoggedEvent {
  uint32_t id = 0;
  uint16_t type = 0;
  std::vector<std::u16string> strings;
};

// The NUL-terminated UTF-16 text at offset of a raw record.
inline std::u16string TextAt(const std::vector<uint8_t>& record, size_t& offset) {
  std::u16string text;
  while (offset + 1 < record.size()) {
    const char16_t c = static_cast<char16_t>(record[offset] | (record[offset + 1] << 8));
    offset += 2;
    if (c == 0) break;
    text += c;
  }
  return text;
}

// The events of source in the Application log, oldest first.
inline std::vector<LoggedEvent> ReadEventsOf(std::u16string_view source) {
  std::vector<LoggedEvent> events;
  platform::EventLog log;
  if (log.Open(u"Application") != 0) return events;
  std::vector<uint8_t> buffer(0x10000);
  const uint32_t flags = platform::kEventLogSequentialRead | platform::kEventLogForwardsRead;
  uint32_t read = 0, needed = 0;
  while (log.Read(flags, 0, buffer.data(), static_cast<uint32_t>(buffer.size()), read, needed) ==
         0) {
    for (size_t at = 0; at + platform::kEventLogRecordFixedSize <= read;) {
      platform::EventLogRecordHeader h;
      std::memcpy(&h, buffer.data() + at, sizeof h);
      if (h.Length < platform::kEventLogRecordFixedSize || at + h.Length > read) break;
      const std::vector<uint8_t> record(buffer.begin() + at, buffer.begin() + at + h.Length);
      size_t offset = platform::kEventLogRecordFixedSize;
      if (TextAt(record, offset) == source) {
        LoggedEvent e{h.EventID, h.EventType, {}};
        offset = h.StringOffset;
        for (uint16_t i = 0; i < h.NumStrings; ++i) e.strings.push_back(TextAt(record, offset));
        events.push_back(std::move(e));
      }
      at += h.Length;
    }
  }
  return events;
}

// False when reported events never show up in the log (Wine only pretends
// to keep the classic event logs); the probe event stays in the log. A fresh
// machine root has no Application log yet: it is created here.
inline bool EventLogKeepsEvents() {
  platform::CreateEventLog(u"Application");
  platform::EventSource probe;
  if (probe.Register(u"CvnServiceTestProbe") != 0) return false;
  probe.Report(platform::kEventTypeInformation, 0, 1, {}, {}, {});
  return !ReadEventsOf(u"CvnServiceTestProbe").empty();
}

}  // namespace cvn::testing
