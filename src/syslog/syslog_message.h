// The syslog message builder: one event record becomes the bytes of one
// traditional BSD syslog message (priority, time stamp, the filled
// Syslog/Format template), ready for the forwarder's queue. No trailing
// newline and no framing: the transport adds what TCP needs.
#pragma once

#include <cstdint>
#include <string>

#include "config/cvn_settings.h"
#include "events/event_record.h"
#include "events/placeholders.h"

namespace cvn {

// The longest message sent when Syslog/TrimLarge is on, header included.
constexpr size_t kMaxSyslogMessageBytes = 1023;

// Builds the message from the current syslog settings. Never fails: a time
// that does not convert gives the short header "<PRI> ", a code page the
// system does not know gives the header alone.
std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record);

// The same with the local-time conversion given (tests use a fixed zone).
std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record,
                                 LocalTimeFunction local_time);

// Severity of an event type: 3 error, 4 warning, 6 information, else 5.
uint32_t SyslogSeverity(uint16_t event_type);

}  // namespace cvn
