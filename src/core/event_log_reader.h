// The event log reader: for one watched log of the core's table it works out
// from the log's oldest record, its count and where each forwarding channel
// stands which records are new, reads them oldest first (at most one slice
// of Logs/MaxNewRecords records per turn, so that a busy log cannot hold the
// others back), counts them into the statistics, builds each record and
// offers it to the channels that are before it.
//
// Every channel (syslog, database, e-mail) has its own place in each log: a
// cursor (the newest record it took) and a durable position (the newest
// record whose output, and every earlier one's, the channel made durable;
// see DeliveryQueue). Only the durable positions are stored: in the log's
// positions file, and the slowest of them as the log's bookmark. A crash, a
// stop or a reload makes each channel resume from its own position. A
// channel whose queue is full falls behind on its own; the others read on,
// and it later reads its own range again. While the channels stand at the
// same place a record is read and built once for all of them. The front is
// the newest record read at all: what lies after it is new to the
// statistics and the pop-ups. Everything here runs on the primary server
// thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "base/repeated_failure.h"
#include "core/bookmark_store.h"

namespace cvn {

class CCVNCore;
struct LogMetrics;

// The reading buffers never grow beyond this many bytes.
constexpr uint32_t kMaxReadingBufferSize = 0x7FFFF;
constexpr size_t kPlaceCount = 3;  // one per forwarding channel

// A position that becomes durable once the channel's outputs up to mark are.
struct PendingPosition {
  LogBookmark position;
  uint64_t mark = 0;
};

// One channel's place in one log.
struct ChannelPlace {
  bool on = false;
  LogBookmark cursor;                   // the newest record the channel took
  std::deque<PendingPosition> pending;  // taken, output not yet durable, oldest first
  LogBookmark durable;                  // the newest position made durable
  uint64_t lag = 0;                     // records of the log after durable
};

// What the reader knows of one log while the primary thread runs.
struct LogReadState {
  bool loaded = false;
  LogBookmark front;  // the newest record read
  std::array<ChannelPlace, kPlaceCount> places;
  bool dirty = false;  // a durable position or the front moved and is not stored yet
  uint32_t last_store_tick = 0;
  ChannelPositions stored_positions;  // as last written
  bool has_stored_bookmark = false;
  LogBookmark stored_bookmark;
  // The log as the last turn found it.
  uint32_t count = 0;
  uint32_t oldest = 0;
  uint32_t newest = 0;
  bool more = false;              // records wait to be read for the front or a channel with room
  bool lagging = false;           // a channel that had no room is behind the newest record
  LogMetrics* metrics = nullptr;  // the log's figures for monitoring, once looked up
};

struct ReaderState {
  std::map<std::u16string, LogReadState> logs;
  // Channels whose overwritten records were logged in this run.
  std::array<bool, kPlaceCount> overwritten_logged{};
  // Failed writes of bookmark and positions files, logged sparingly.
  RepeatedFailure store_failure;
};

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

// One turn: reads at most one slice of what is new in the log for the front
// and the channels with room. 0, -1 (record count unavailable) or -2
// (oldest record unavailable).
int ProcessLog(CCVNCore& core, size_t index, bool skip_old);
// Whether the log has a turn's work waiting: records for the front or a
// channel with room, or a channel that fell behind and has room again.
bool HasWork(CCVNCore& core, size_t index);
// Whether a channel that had no room waits behind the newest record.
bool IsLagging(const CCVNCore& core);
// TimeGenerated of a record, 0 (logged) when it cannot be read.
uint32_t GetRecordTime(CCVNCore& core, size_t index, uint32_t number);

// Moves the durable positions on and stores those that moved: with force at
// once, otherwise at most every 20 ms per log. Updates the channels' lag.
void AdvanceBookmarks(CCVNCore& core, bool force);
// Whether any log has records that are taken but not yet durable.
bool HasPendingRecords(const CCVNCore& core);

}  // namespace cvn
