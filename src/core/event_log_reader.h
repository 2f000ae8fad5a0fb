// The event log reader: for one watched log of the core's table it works out
// from the log's oldest record, its count and where reading stopped which
// records are new, reads them oldest first (in slices of at most
// Logs/MaxNewRecords records), counts them into the statistics, builds each
// record and hands it to the channels.
//
// The bookmark file holds the newest record that is handled: every channel
// that promises durability has made its output for that record and all
// before it durable (see DeliveryQueue). Until then the event log itself
// holds the records, so a crash means reading them again, never losing them.
// Reading goes on ahead of the bookmark from an in-memory cursor. Everything
// here runs on the primary server thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/bookmark_store.h"

namespace cvn {

class CCVNCore;

using DeliveryMarks = std::array<uint64_t, 3>;

// The reading buffers never grow beyond this many bytes.
constexpr uint32_t kMaxReadingBufferSize = 0x7FFFF;

// A position in a log that is written to its bookmark once handled.
struct PendingPosition {
  LogBookmark position;
  // Per channel (index: Channel), the output issued last when it was read.
  DeliveryMarks marks{};
};

// What the reader knows of one log while the primary thread runs.
struct LogReadState {
  bool has_cursor = false;
  LogBookmark cursor;                   // the newest record read (and dispatched)
  std::deque<PendingPosition> pending;  // read, not yet handled, oldest first
  bool has_handled = false;
  LogBookmark handled;  // newest handled position not yet stored
  uint32_t last_store_tick = 0;
};
using LogReadStates = std::map<std::u16string, LogReadState>;

// Grows buffer (and its recorded size) to needed bytes; false when out of memory.
bool GrowBuffer(std::vector<uint8_t>& buffer, size_t& size, uint32_t needed);

// The statistics type of a raw event type: 0 error, 1 warning, 2 information, 3 audit.
int StatisticsType(uint16_t event_type);
// Counts one new record into the newest bucket of every histogram.
void CountNewRecord(CCVNCore& core, uint16_t event_type);

// Opens the log named in the table entry and arms its change notification;
// false (logged) when the log cannot be opened.
bool OpenLog(CCVNCore& core, size_t index);
// Closes the entry's notification and log handle.
void CloseLog(CCVNCore& core, size_t index);

// Reads what is new in the log since the cursor (or, the first time, the
// bookmark). 0, -1 (record count unavailable) or -2 (oldest record
// unavailable).
int ProcessLog(CCVNCore& core, size_t index, bool skip_old);
// Reads records from..to (inclusive) oldest first, counts and dispatches
// them. Stops early when the primary thread is asked to stop.
void ProcessRange(CCVNCore& core, size_t index, uint32_t from, uint32_t to);
// TimeGenerated of a record, 0 (logged) when it cannot be read.
uint32_t GetRecordTime(CCVNCore& core, size_t index, uint32_t number);

// Stores the bookmark of every log whose handled position moved: with force
// at once, otherwise at most every 20 ms per log.
void AdvanceBookmarks(CCVNCore& core, bool force);
// Whether any log has records that are read but not yet handled.
bool HasPendingRecords(const CCVNCore& core);

}  // namespace cvn
