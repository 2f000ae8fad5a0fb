// The syslog message builder: one event record becomes the bytes of one
// traditional BSD syslog message (priority, time stamp, the filled
// Syslog/Format template), ready for the forwarder's queue. No trailing
// newline and no framing: the transport adds what TCP needs.
#pragma once

#include <cstdint>
#include <string>

#include "config/cvn_settings.h"
#include "events/event_record.h"

namespace cvn {

// Builds the message from the current syslog settings. Never fails: a time
// that does not convert gives the short header "<PRI> ", an unknown code page
// gives the header alone.
std::string PrepareSyslogMessage(const CCVNSettings& settings, const SEventRecord& record);

}  // namespace cvn
