// One decoded classic event log record with the texts rendered for it. Built
// by CMessageRenderer::BuildEventRecord, read by the channels during dispatch,
// never kept beyond it.
#pragma once

#include <cstdint>
#include <string>

namespace cvn {

// Normalized event types.
constexpr uint16_t kEventTypeError = 1;
constexpr uint16_t kEventTypeWarning = 2;
constexpr uint16_t kEventTypeInformation = 4;
constexpr uint16_t kEventTypeAuditSuccess = 8;
constexpr uint16_t kEventTypeAuditFailure = 16;

struct SEventRecord {
  uint32_t recordNumber = 0;
  uint32_t timeGenerated = 0;  // seconds since 1970-01-01 00:00:00 UTC
  uint32_t timeWritten = 0;
  uint32_t eventId = 0;  // complete, with severity, customer and facility bits
  uint16_t eventType = 0;  // one of 1, 2, 4, 8, 16 once built
  uint16_t category = 0;
  std::u16string source;
  std::u16string computer;
  std::u16string user;  // account name without domain; empty when unknown
  std::u16string description;
  std::u16string categoryText;  // never filled by the builder
  std::u16string logName;
};

// The raw EventType as the record keeps it: 1, 2, 4, 8, 16 stay; 0 (success)
// is Information; anything else is Error.
constexpr uint16_t NormalizeEventType(uint16_t raw) {
  switch (raw) {
    case 1:
    case 2:
    case 4:
    case 8:
    case 16: return raw;
    case 0: return kEventTypeInformation;
    default: return kEventTypeError;
  }
}

// "Error", "Warning", "Audit Success", "Audit Failure" or "Information",
// testing the bits in the order 1, 2, 8, 16.
constexpr const char16_t* EventTypeName(uint16_t type) {
  if (type & kEventTypeError) return u"Error";
  if (type & kEventTypeWarning) return u"Warning";
  if (type & kEventTypeAuditSuccess) return u"Audit Success";
  if (type & kEventTypeAuditFailure) return u"Audit Failure";
  return u"Information";
}

// The event identifier as every placeholder and report shows it: the low 16 bits.
constexpr uint32_t DisplayedEventId(uint32_t event_id) { return event_id & 0xFFFFu; }

}  // namespace cvn
