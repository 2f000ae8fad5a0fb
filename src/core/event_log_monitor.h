// The primary server thread: decides which event logs are watched, keeps one
// open handle and change notification per watched log, runs the reader on a
// log when it reports new records (or by a slow round-robin poll), follows the
// registry's list of logs, and rebuilds the event statistics.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace cvn {

class CCVNCore;

namespace platform {
class EventLog;
}

// Thread body; returns 0 when its stop event is signalled or a wait fails.
uint32_t PrimaryServerThread(CCVNCore& core);

// The names of the logs registered on the machine, in enumeration order
// (empty when the logs' key cannot be opened).
void EnumerateEventLogs(std::vector<std::u16string>& names);

// Zeroes every counter of the histograms.
void ResetStatistics(CCVNCore& core);
// Counts the records of the last 14 days of one log into the histograms,
// reading the log backwards from its newest record.
void RebuildStatistics(CCVNCore& core, platform::EventLog& log);

}  // namespace cvn
