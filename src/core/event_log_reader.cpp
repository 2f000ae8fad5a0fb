#include "core/event_log_reader.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <span>

#include "base/text.h"
#include "base/win_errors.h"
#include "core/cvn_core.h"
#include "platform/clock.h"
#include "platform/event_log.h"

namespace cvn {

namespace {

constexpr uint32_t kSeekForwards = platform::kEventLogSeekRead | platform::kEventLogForwardsRead;
constexpr uint32_t kNextForwards =
    platform::kEventLogSequentialRead | platform::kEventLogForwardsRead;
constexpr uint32_t kFixedSize = platform::kEventLogRecordFixedSize;
constexpr size_t kBucketsPerType = 90;
constexpr size_t kNewestBucket = 89;
// A log whose handled position keeps moving has its bookmark stored at most
// this often; a crash then reads again at most this much of what was handled.
constexpr uint32_t kBookmarkIntervalMs = 20;
// How often a log replaced under the handle is opened again within one range.
constexpr int kMaxReopens = 3;
// The largest record whose time is looked up outside the reading buffer.
constexpr uint32_t kMaxSingleRecord = 16 * 1024 * 1024;

platform::EventLogRecordHeader HeaderAt(const uint8_t* at) {
  platform::EventLogRecordHeader header;
  std::memcpy(&header, at, sizeof header);
  return header;
}

std::string NameOf(const CCVNCore& core, size_t index) {
  return Utf16ToUtf8(core.event_log_table[index].name);
}

uint32_t MaxNewRecords(CCVNCore& core) {
  return static_cast<uint32_t>(std::max(1, core.Settings().Logs_MaxNewRecords.value));
}

LogReadState& StateOf(CCVNCore& core, size_t index) {
  return core.read_states[core.event_log_table[index].name];
}

// The output each forwarding channel issued last: a position read now is
// handled once those outputs are durable. A channel that is off is not
// waited for.
DeliveryMarks CurrentMarks(const CCVNCore& core, const CCVNCore::ChannelSwitches& switches) {
  const auto issued = [&core](bool on, Channel which) {
    return on ? core.ChannelProgress(which).Issued() : 0;
  };
  DeliveryMarks marks{};
  marks[static_cast<size_t>(Channel::kSyslog)] = issued(switches.syslog, Channel::kSyslog);
  marks[static_cast<size_t>(Channel::kDb)] = issued(switches.db, Channel::kDb);
  marks[static_cast<size_t>(Channel::kEmail)] = issued(switches.email, Channel::kEmail);
  return marks;
}

static_assert(std::tuple_size_v<DeliveryMarks> == kChannelCount);

bool IsHandled(const CCVNCore& core, const DeliveryMarks& marks) {
  for (size_t i = 0; i < kChannelCount; ++i) {
    if (marks[i] > core.ChannelProgress(static_cast<Channel>(i)).Acknowledged()) return false;
  }
  return true;
}

// The newer of two positions with the same mark is handled at the same
// moment, so only the newer one is kept.
void Enqueue(LogReadState& state, const LogBookmark& position, const DeliveryMarks& marks) {
  state.cursor = position;
  state.has_cursor = true;
  if (!state.pending.empty() && state.pending.back().marks == marks) {
    state.pending.back().position = position;
  } else {
    state.pending.push_back(PendingPosition{position, marks});
  }
}

bool StoreBookmark(CCVNCore& core, const std::u16string& name, const LogBookmark& bookmark) {
  if (core.bookmarks.SetBookmark(name, bookmark)) return true;
  const std::u16string path = core.bookmarks.PathOf(CBookmarkStore::KeyOf(name));
  core.LogFormat('E', "Service", "Failed to write bookmark file: %s", Utf16ToUtf8(path).c_str());
  return false;
}

// When the bookmark of a handled position is stored.
enum class Store {
  kAtInterval,    // at most every kBookmarkIntervalMs
  kNow,           // at once
  kNowIfAllDone,  // at once when everything read is handled, else at the interval
};

void AdvanceBookmark(CCVNCore& core, const std::u16string& name, LogReadState& state, Store when) {
  while (!state.pending.empty() && IsHandled(core, state.pending.front().marks)) {
    state.handled = state.pending.front().position;
    state.has_handled = true;
    state.pending.pop_front();
  }
  if (!state.has_handled) return;
  const bool now = when == Store::kNow || (when == Store::kNowIfAllDone && state.pending.empty());
  if (!now && platform::TickCount() - state.last_store_tick < kBookmarkIntervalMs) return;
  // A bookmark that cannot be written is tried again with the next move.
  if (StoreBookmark(core, name, state.handled)) state.has_handled = false;
  state.last_store_tick = platform::TickCount();
}

// At the end of a pass the bookmark is stored at once when everything read
// is handled; while messages are on their way it follows at its interval.
void AdvanceAfterPass(CCVNCore& core, size_t index) {
  AdvanceBookmark(core, core.event_log_table[index].name, StateOf(core, index),
                  Store::kNowIfAllDone);
}

// The bookmark of the entry's log; an existing file that does not hold one
// is reported, since the log then counts as new and its records are skipped.
bool LookUpBookmark(CCVNCore& core, size_t index, LogBookmark& bookmark) {
  bool unreadable = false;
  const std::u16string& name = core.event_log_table[index].name;
  if (core.bookmarks.GetBookmark(name, bookmark, &unreadable)) return true;
  if (unreadable) {
    const std::u16string path = core.bookmarks.PathOf(CBookmarkStore::KeyOf(name));
    core.LogFormat('E', "Service", "Bookmark file cannot be read, Eventlog %s counts as new: %s",
                   NameOf(core, index).c_str(), Utf16ToUtf8(path).c_str());
  }
  return false;
}

int RegisterEmptyLog(CCVNCore& core, size_t index, LogReadState& state) {
  if (!state.has_cursor) state.has_cursor = LookUpBookmark(core, index, state.cursor);
  if (state.has_cursor && state.cursor.empty) return 0;
  Enqueue(state, LogBookmark{0, 0, 0, true}, CurrentMarks(core, core.ReadChannelSwitches()));
  AdvanceAfterPass(core, index);
  if (TraceLogEnabled) {
    core.LogFormat('N', "Trace", "Registered empty Eventlog: %s", NameOf(core, index).c_str());
  }
  return 0;
}

// Moves the cursor to the newest record without reading what lies between.
void SkipToNewest(CCVNCore& core, size_t index, uint32_t oldest, uint32_t newest) {
  const uint32_t time = GetRecordTime(core, index, newest);
  Enqueue(StateOf(core, index),
          LogBookmark{static_cast<int32_t>(newest), static_cast<int32_t>(time),
                      static_cast<int32_t>(oldest), false},
          CurrentMarks(core, core.ReadChannelSwitches()));
}

// The first record to read after the cursor: everything when the log was
// empty, wrapped past the cursor or was cleared and refilled; otherwise the
// record after the cursor, provided that one is still the same record.
// Nothing when that cannot be decided.
std::optional<uint32_t> FirstNewRecord(CCVNCore& core, size_t index, const LogBookmark& cursor,
                                       uint32_t oldest, uint32_t newest, uint32_t count) {
  const uint32_t last = static_cast<uint32_t>(cursor.lastRecord);
  if (cursor.empty) return oldest;
  // The log wrapped past the cursor: reading from the record after it counts
  // what the log overwrote before it could be read.
  if (last < oldest) return last + 1;
  // Otherwise, at or beyond count the cursor's record is gone (the log was
  // cleared): all records present are new.
  if (newest - last >= count) return oldest;
  const uint32_t time = GetRecordTime(core, index, last);
  const uint32_t last_time = static_cast<uint32_t>(cursor.lastTime);
  if (time == 0 || last_time == 0) return std::nullopt;
  if (time == last_time) return last + 1;
  if (time > last_time) return oldest;
  return std::nullopt;
}

// One forward read into the reading buffer (from number with seek, else on
// from the last read), growing the buffer when the next record does not fit.
// 0, or the read's error: 122 when a record is larger than the buffer may grow.
uint32_t ReadForward(CCVNCore& core, size_t index, uint32_t number, bool seek, uint32_t& bytes) {
  platform::EventLog& log = core.event_log_table[index].log;
  std::vector<uint8_t>& buffer = core.reading_buffer;
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t needed = 0;
    const uint32_t error = log.Read(seek ? kSeekForwards : kNextForwards, number, buffer.data(),
                                    static_cast<uint32_t>(buffer.size()), bytes, needed);
    if (error != err::kInsufficientBuffer) return error;
    if (needed == 0 || needed > kMaxReadingBufferSize) return error;
    if (!GrowBuffer(buffer, core.reading_buffer_size, needed)) {
      core.LogFormat('A', "Server", "Failed to allocate buffer: Out ouf memory");
      return err::kNotEnoughMemory;
    }
  }
  return err::kInsufficientBuffer;
}

// Builds the record and offers it to the channels. A record that cannot be
// built, or whose dispatch fails, is logged and skipped: it must not stop the
// reading of every later record. False only when a channel gave the record
// back because the thread is stopping.
bool DispatchRaw(CCVNCore& core, size_t index, std::span<const uint8_t> raw,
                 const CCVNCore::ChannelSwitches& switches, uint32_t& parsed) {
  const char* reason = "the record cannot be decoded";
  std::string detail;
  try {
    SEventRecord record;
    if (core.renderer.BuildEventRecord(record, raw, core.event_log_table[index].name) == 0) {
      ++parsed;
      CCVNCore::DispatchSet set;
      set.channels = {switches.syslog, switches.db, switches.email};
      set.popup = switches.popup;
      core.DispatchRecord(record, set);
      return true;
    }
  } catch (const std::bad_alloc&) {
    reason = "out of memory";
  } catch (const std::exception& e) {
    detail = e.what();
    reason = detail.c_str();
  }
  core.LogFormat('E', "Server", "Record %u of Eventlog %s was skipped: %s",
                 HeaderAt(raw.data()).RecordNumber, NameOf(core, index).c_str(), reason);
  return true;
}

// A record too large for the reading buffer is reported and passed over.
void SkipLargeRecord(CCVNCore& core, size_t index, uint32_t number, uint32_t oldest,
                     const CCVNCore::ChannelSwitches& switches) {
  core.LogFormat('A', "Server", "Failed to read records form Eventlog, error=%u",
                 err::kInsufficientBuffer);
  const uint32_t time = GetRecordTime(core, index, number);
  Enqueue(StateOf(core, index),
          LogBookmark{static_cast<int32_t>(number), static_cast<int32_t>(time),
                      static_cast<int32_t>(oldest), false},
          CurrentMarks(core, switches));
}

// Walking state of one range.
struct RangeWalk {
  uint32_t from = 0;
  uint32_t to = 0;
  uint32_t oldest = 0;
  uint32_t next = 0;      // the next record number expected
  uint32_t read = 0;      // records read
  uint32_t parsed = 0;    // records built
  uint32_t missed = 0;    // records overwritten before they were read
  uint32_t in_slice = 0;  // records since the last slice boundary
  bool done = false;      // past the range, or the thread is stopping (the rest
                          // waits for the next start)
  bool Contains(uint32_t number) const { return number - from <= to - from; }
};

// Handles the records of one batch that lie in the range, oldest first.
void WalkBatch(CCVNCore& core, size_t index, std::span<const uint8_t> batch, RangeWalk& walk,
               const CCVNCore::ChannelSwitches& switches) {
  const uint32_t limit = MaxNewRecords(core);
  LogReadState& state = StateOf(core, index);
  size_t at = 0;
  while (!walk.done && batch.size() - at >= kFixedSize) {
    const platform::EventLogRecordHeader header = HeaderAt(batch.data() + at);
    // A length below the fixed part cannot be a record: walking on would
    // loop or read garbage.
    if (header.Length < kFixedSize || header.Length > batch.size() - at) break;
    const std::span<const uint8_t> raw = batch.subspan(at, header.Length);
    at += header.Length;
    const uint32_t number = header.RecordNumber;
    if (!walk.Contains(number) || number - walk.from < walk.next - walk.from) {
      walk.done = !walk.Contains(number);
      continue;
    }
    walk.missed += number - walk.next;
    CountNewRecord(core, header.EventType);
    if (switches.Any() && !DispatchRaw(core, index, raw, switches, walk.parsed)) {
      walk.done = true;
      return;
    }
    Enqueue(state,
            LogBookmark{static_cast<int32_t>(number), static_cast<int32_t>(header.TimeGenerated),
                        static_cast<int32_t>(walk.oldest), false},
            CurrentMarks(core, switches));
    ++walk.read;
    walk.next = number + 1;
    walk.done = number == walk.to;
    // Each slice of the limit's size ends with the bookmark at its end, as
    // far as its records are handled.
    if (++walk.in_slice >= limit) {
      walk.in_slice = 0;
      AdvanceBookmark(core, core.event_log_table[index].name, state, Store::kNow);
    }
  }
}

// Reads the range batch by batch. A record that the log overwrote before it
// could be read is counted as missed; a log replaced under the handle is
// opened again.
void ReadRange(CCVNCore& core, size_t index, RangeWalk& walk,
               const CCVNCore::ChannelSwitches& switches) {
  bool seek = true;
  int reopens = 0;
  while (!walk.done) {
    if (core.StopRequested()) return;
    uint32_t bytes = 0;
    const uint32_t error = ReadForward(core, index, walk.next, seek, bytes);
    if (error == platform::kEventLogFileChanged && reopens < kMaxReopens) {
      if (TraceLogEnabled) core.LogFormat('N', "Trace", "Eventlog was changed, will be reopened");
      CloseLog(core, index);
      OpenLog(core, index);
      ++reopens;
      seek = true;
      continue;
    }
    if (error == err::kInvalidParameter && seek) {
      // The next record is no longer in the log: go on from the oldest one.
      uint32_t oldest = 0;
      if (core.event_log_table[index].log.GetOldest(oldest) != 0 || oldest == 0 ||
          oldest - walk.next > walk.to - walk.next || oldest == walk.next) {
        return;
      }
      walk.missed += oldest - walk.next;
      walk.next = oldest;
      continue;
    }
    if (error == err::kInsufficientBuffer) {
      SkipLargeRecord(core, index, walk.next, walk.oldest, switches);
      walk.done = walk.next == walk.to;
      ++walk.next;
      seek = true;
      continue;
    }
    if (error != 0) {
      if (error != err::kHandleEof && error != platform::kEventLogFileChanged) {
        core.LogFormat('A', "Server", "Failed to read records form Eventlog, error=%u", error);
      }
      return;
    }
    seek = false;
    WalkBatch(core, index, std::span<const uint8_t>(core.reading_buffer.data(), bytes), walk,
              switches);
    AdvanceBookmark(core, core.event_log_table[index].name, StateOf(core, index),
                    Store::kAtInterval);
  }
}

}  // namespace

bool GrowBuffer(std::vector<uint8_t>& buffer, size_t& size, uint32_t needed) {
  try {
    buffer.resize(needed);
  } catch (const std::bad_alloc&) {
    return false;
  }
  size = needed;
  return true;
}

int StatisticsType(uint16_t event_type) {
  if (event_type & platform::kEventTypeWarning) return 1;
  if ((event_type & platform::kEventTypeInformation) || event_type == 0) return 2;
  if (event_type & (platform::kEventTypeAuditSuccess | platform::kEventTypeAuditFailure)) return 3;
  return 0;
}

void CountNewRecord(CCVNCore& core, uint16_t event_type) {
  const size_t counter = StatisticsType(event_type) * kBucketsPerType + kNewestBucket;
  platform::LockGuard guard(core.statistics_lock);
  for (auto& histogram : core.histograms) {
    if (counter < histogram.size()) ++histogram[counter];
  }
  core.statistics_changed = true;
}

bool OpenLog(CCVNCore& core, size_t index) {
  EventLogEntry& entry = core.event_log_table[index];
  if (const uint32_t error = entry.log.Open(entry.name); error != 0) {
    entry.log.Close();
    core.LogFormat('E', "Service", "Failed to open Eventlog: %s, error=%u",
                   NameOf(core, index).c_str(), error);
    return false;
  }
  auto notify = std::make_unique<platform::Event>(platform::Event::Mode::kAutoReset);
  if (!notify->IsValid()) {
    core.LogFormat('E', "Service", "Failed to describe to Eventlog: %s, error=%u",
                   NameOf(core, index).c_str(), err::kNotEnoughMemory);
    return true;
  }
  entry.log.NotifyChange(*notify);
  entry.notify = std::move(notify);
  return true;
}

void CloseLog(CCVNCore& core, size_t index) {
  EventLogEntry& entry = core.event_log_table[index];
  entry.notify.reset();
  entry.log.Close();
}

int ProcessLog(CCVNCore& core, size_t index, bool skip_old) {
  const platform::EventLog& log = core.event_log_table[index].log;
  LogReadState& state = StateOf(core, index);
  uint32_t count = 0;
  if (const uint32_t error = log.GetCount(count); error != 0) {
    if (error != err::kServiceNotReady) {
      core.LogFormat('A', "Service", "Failed to get number of Eventlog records: %u", error);
    } else if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Eventlog is not ready: %s", NameOf(core, index).c_str());
    }
    return -1;
  }
  if (count == 0) return RegisterEmptyLog(core, index, state);

  uint32_t oldest = 0;
  if (const uint32_t error = log.GetOldest(oldest); error != 0) {
    if (error != err::kServiceNotReady) {
      core.LogFormat('A', "Service", "Failed to get oldest record id: %u", error);
    } else if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Eventlog is not ready yet: %s", NameOf(core, index).c_str());
    }
    return -2;
  }
  const uint32_t newest = oldest + count - 1;

  if (!state.has_cursor) state.has_cursor = LookUpBookmark(core, index, state.cursor);
  if (!state.has_cursor) {
    // The records already in a log seen for the first time are not forwarded.
    if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Registered new Eventlog: %s", NameOf(core, index).c_str());
    }
    SkipToNewest(core, index, oldest, newest);
  } else if (!state.cursor.empty && static_cast<uint32_t>(state.cursor.lastRecord) == newest &&
             static_cast<uint32_t>(state.cursor.oldestRecord) == oldest) {
    AdvanceAfterPass(core, index);
    return 0;
  } else if (skip_old) {
    if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Skipping records for Eventlog: %s",
                     NameOf(core, index).c_str());
    }
    SkipToNewest(core, index, oldest, newest);
  } else if (const auto from = FirstNewRecord(core, index, state.cursor, oldest, newest, count);
             from && *from != newest + 1) {
    ProcessRange(core, index, *from, newest);
  } else {
    SkipToNewest(core, index, oldest, newest);
  }
  AdvanceAfterPass(core, index);
  return 0;
}

void ProcessRange(CCVNCore& core, size_t index, uint32_t from, uint32_t to) {
  if (from == to + 1) return;  // nothing new
  const std::string name = NameOf(core, index);
  if (TraceLogEnabled) {
    core.LogFormat('N', "Trace", "Processing [%s] records: from %u to %u", name.c_str(), from, to);
  }
  RangeWalk walk;
  walk.from = walk.next = from;
  walk.to = to;
  if (core.event_log_table[index].log.GetOldest(walk.oldest) != 0) walk.oldest = from;
  ReadRange(core, index, walk, core.ReadChannelSwitches());
  if (walk.missed != 0) {
    core.LogFormat('E', "Server",
                   "%u records of Eventlog %s were overwritten before they could be read",
                   walk.missed, name.c_str());
  }
  if (TraceLogEnabled) {
    core.LogFormat('N', "Trace", "Processed %u records from %s, parsed %u", walk.read, name.c_str(),
                   walk.parsed);
  }
}

uint32_t GetRecordTime(CCVNCore& core, size_t index, uint32_t number) {
  platform::EventLog& log = core.event_log_table[index].log;
  std::vector<uint8_t> one(1024);
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t bytes = 0;
    uint32_t needed = 0;
    const uint32_t error = log.Read(kSeekForwards, number, one.data(),
                                    static_cast<uint32_t>(one.size()), bytes, needed);
    if (error == 0 && bytes >= kFixedSize) return HeaderAt(one.data()).TimeGenerated;
    if (error != err::kInsufficientBuffer || needed == 0 || needed > kMaxSingleRecord) break;
    one.resize(needed);
  }
  core.LogFormat('E', "Service", "Failed to get date of record %u from: %s", number,
                 NameOf(core, index).c_str());
  return 0;
}

void AdvanceBookmarks(CCVNCore& core, bool force) {
  for (auto& [name, state] : core.read_states) {
    AdvanceBookmark(core, name, state, force ? Store::kNow : Store::kAtInterval);
  }
}

bool HasPendingRecords(const CCVNCore& core) {
  for (const auto& [name, state] : core.read_states) {
    if (!state.pending.empty() || state.has_handled) return true;
  }
  return false;
}

}  // namespace cvn
