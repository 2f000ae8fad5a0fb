// The syslog message builder: one event record becomes the bytes of one
// syslog message (a header as Syslog/Header chooses, then the filled
// Syslog/Format template), ready for the forwarder's queue. No trailing
// newline and no framing: the transport adds what TCP needs.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/cvn_settings.h"
#include "events/event_record.h"
#include "events/placeholders.h"

namespace cvn {

// The longest message sent when Syslog/TrimLarge is on, header included.
constexpr size_t kMaxSyslogMessageBytes = 1023;

// Syslog/Header: the layouts of the message's header.
constexpr int kSyslogHeaderPlain = 0;     // "<PRI>Mmm dd hh:mm:ss " then the text
constexpr int kSyslogHeaderWithHost = 1;  // the same with "HOSTNAME " after the time
constexpr int kSyslogHeaderVersion1 = 2;  // "<PRI>1 TIME HOST APP - MSGID [SD] MSG"

// The longest host and application names of a version 1 header.
constexpr size_t kMaxHostNameBytes = 255;
constexpr size_t kMaxAppNameBytes = 48;

// The structured-data element that carries the record's fields. 32473 is the
// private enterprise number set aside for documentation and examples; a site
// that has a number of its own may replace it.
constexpr const char* kSyslogSdId = "event@32473";

// Builds the message from the current syslog settings. Never fails: a time
// that does not convert gives the short header "<PRI> ", a code page the
// system does not know gives the header alone.
std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record);

// The same with the local-time conversion given (tests use a fixed zone).
std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record,
                                 LocalTimeFunction local_time);

// A header field: printable ASCII only (any other character becomes "_"), at
// most max_length characters, "-" when empty.
std::string SyslogHeaderName(std::u16string_view text, size_t max_length);

// A structured-data parameter value with the quote, the backslash and ']' escaped.
std::string SyslogParamValue(std::string_view utf8);

// The time as "YYYY-MM-DDThh:mm:ss.000" followed by "Z" or, for local time,
// the zone's offset ("+01:00"); "-" when the time does not convert.
std::string SyslogTimestamp(int64_t time, LocalTimeFunction convert, bool local);

// Severity of an event type: 3 error, 4 warning, 6 information, else 5.
uint32_t SyslogSeverity(uint16_t event_type);

}  // namespace cvn
