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
#include "platform/message_module.h"

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
// A turn reads at most this many records of a log (or Logs/MaxNewRecords
// when that is fewer), so that a busy log holds every other log back by
// about a tenth of a second at most.
constexpr uint32_t kMaxTurnRecords = 1000;
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
  return core.reader.logs[core.event_log_table[index].name];
}

// The log's figures for monitoring; null when the table has no slot left.
LogMetrics* MetricsOf(CCVNCore& core, const std::u16string& name, LogReadState& state) {
  if (state.metrics == nullptr) state.metrics = core.metrics.logs.Slot(name);
  return state.metrics;
}

// The channels' names in the positions files and in log lines, by place.
constexpr const char* kPlaceKeys[kPlaceCount] = {"syslog", "database", "email"};
constexpr const char* kPlaceNames[kPlaceCount] = {"syslog", "database", "e-mail"};
static_assert(kPlaceCount == kChannelCount);

Channel ChannelOf(size_t place) { return static_cast<Channel>(place); }

uint32_t Last(const LogBookmark& position) { return static_cast<uint32_t>(position.lastRecord); }

// Whether record a comes after record b (numbers wrap at 32 bits).
bool After(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) > 0; }

// Whether a stands before b; the position of an empty log before every other.
bool Before(const LogBookmark& a, const LogBookmark& b) {
  if (a.empty != b.empty) return a.empty;
  return !a.empty && After(Last(b), Last(a));
}

LogBookmark PositionOf(uint32_t number, uint32_t time, uint32_t oldest) {
  return LogBookmark{static_cast<int32_t>(number), static_cast<int32_t>(time),
                     static_cast<int32_t>(oldest), false};
}

// The newer of two positions with the same mark is durable at the same
// moment, so only the newer one is kept.
void Enqueue(CCVNCore& core, ChannelPlace& place, size_t i, const LogBookmark& position) {
  const uint64_t mark = core.ChannelProgress(ChannelOf(i)).Issued();
  place.cursor = position;
  if (!place.pending.empty() && place.pending.back().mark == mark) {
    place.pending.back().position = position;
  } else {
    place.pending.push_back(PendingPosition{position, mark});
  }
}

// Moves the front and every channel that is on to position, reading nothing
// in between.
void MoveAllTo(CCVNCore& core, LogReadState& state, const LogBookmark& position) {
  state.front = position;
  state.dirty = true;
  for (size_t i = 0; i < kPlaceCount; ++i) {
    if (state.places[i].on) Enqueue(core, state.places[i], i, position);
  }
}

// A write of a bookmark or positions file, failed or not. A failure repeats
// with every record read while, say, the disk is full: the first is logged
// with its reason, then one line a minute with the count, and one line when
// the files are written again.
void NoteStoreOutcome(CCVNCore& core, bool ok, const std::string& failure_text) {
  RepeatedFailure& failure = core.reader.store_failure;
  if (ok) {
    if (failure.Succeed()) core.Log('N', "Service", "Bookmark files are written again.");
    return;
  }
  uint32_t count = 0;
  if (!failure.Fail(platform::TickCount(), &count)) return;
  std::u16string reason;
  const uint32_t error = core.bookmarks.LastError();
  if (error == 0 || platform::FormatSystemMessage(error, true, reason) != 0) {
    reason = Utf8ToUtf16("error " + std::to_string(error));
  }
  while (!reason.empty() && (reason.back() == u'\n' || reason.back() == u'\r')) reason.pop_back();
  const std::string repeated =
      count > 1 ? " (" + std::to_string(count) + " failures since the last line)" : "";
  core.LogFormat('E', "Service", "%s%s. Reason: %s", failure_text.c_str(), repeated.c_str(),
                 Utf16ToUtf8(reason).c_str());
}

bool StoreBookmark(CCVNCore& core, const std::u16string& name, const LogBookmark& bookmark) {
  const bool ok = core.bookmarks.SetBookmark(name, bookmark);
  const std::u16string path = core.bookmarks.PathOf(CBookmarkStore::KeyOf(name));
  NoteStoreOutcome(core, ok, "Failed to write bookmark file: " + Utf16ToUtf8(path));
  return ok;
}

// The slowest of the stored positions, or nullptr.
const LogBookmark* SlowestOf(const ChannelPositions& positions) {
  const LogBookmark* slowest = nullptr;
  for (const auto& [key, position] : positions) {
    if (slowest == nullptr || Before(position, *slowest)) slowest = &position;
  }
  return slowest;
}

// Writes the durable positions of the channels that are on, then the
// slowest of them as the log's bookmark (the front when no channel is on).
// Files whose content would not change are not written again.
bool StorePlaces(CCVNCore& core, const std::u16string& name, LogReadState& state) {
  ChannelPositions positions;
  for (size_t i = 0; i < kPlaceCount; ++i) {
    if (state.places[i].on) positions[kPlaceKeys[i]] = state.places[i].durable;
  }
  const LogBookmark* slowest = SlowestOf(positions);
  const LogBookmark bookmark = slowest != nullptr ? *slowest : state.front;
  bool stored = true;
  if (positions != state.stored_positions) {
    const bool ok = core.bookmarks.SetPositions(name, positions);
    NoteStoreOutcome(core, ok,
                     "Failed to write the positions file of Eventlog " + Utf16ToUtf8(name));
    if (ok) {
      state.stored_positions = positions;
    } else {
      stored = false;
    }
  }
  if (!state.has_stored_bookmark || bookmark != state.stored_bookmark) {
    if (StoreBookmark(core, name, bookmark)) {
      state.stored_bookmark = bookmark;
      state.has_stored_bookmark = true;
    } else {
      stored = false;
    }
  }
  return stored;
}

// When the durable positions are stored.
enum class Store {
  kAtInterval,    // at most every kBookmarkIntervalMs
  kNow,           // at once
  kNowIfAllDone,  // at once when everything taken is durable, else at the interval
};

uint64_t LagOf(const LogReadState& state, const LogBookmark& position) {
  if (state.count == 0) return 0;
  if (position.empty || After(state.oldest, Last(position))) return state.count;
  return After(state.newest, Last(position)) ? state.newest - Last(position) : 0;
}

void AdvanceLog(CCVNCore& core, const std::u16string& name, LogReadState& state, Store when) {
  bool all_done = true;
  for (size_t i = 0; i < kPlaceCount; ++i) {
    ChannelPlace& place = state.places[i];
    const uint64_t acknowledged = core.ChannelProgress(ChannelOf(i)).Acknowledged();
    while (!place.pending.empty() && place.pending.front().mark <= acknowledged) {
      place.durable = place.pending.front().position;
      place.pending.pop_front();
      state.dirty = true;
    }
    all_done = all_done && place.pending.empty();
    place.lag = place.on ? LagOf(state, place.durable) : 0;
  }
  if (!state.dirty) return;
  const bool now = when == Store::kNow || (when == Store::kNowIfAllDone && all_done);
  if (!now && platform::TickCount() - state.last_store_tick < kBookmarkIntervalMs) return;
  // Files that cannot be written are tried again with the next move.
  if (StorePlaces(core, name, state)) state.dirty = false;
  state.last_store_tick = platform::TickCount();
}

void AdvanceLog(CCVNCore& core, size_t index, Store when) {
  AdvanceLog(core, core.event_log_table[index].name, StateOf(core, index), when);
}

void Trace(CCVNCore& core, const char* format, size_t index) {
  if (TraceLogEnabled) core.LogFormat('N', "Trace", format, NameOf(core, index).c_str());
}

// Where a channel without a stored position of its own starts: the slowest
// stored position (the bookmark as it should read), else the bookmark. A
// bookmark that is missing, damaged or ahead of the positions is rebuilt
// from them. Nullopt when nothing can be read: the log counts as new.
std::optional<LogBookmark> LoadBase(CCVNCore& core, size_t index, uint32_t count,
                                    std::optional<ChannelPositions>& positions) {
  const std::u16string& name = core.event_log_table[index].name;
  const std::string log = NameOf(core, index);
  bool bookmark_unreadable = false;
  bool positions_unreadable = false;
  LogBookmark bookmark;
  const bool has_bookmark = core.bookmarks.GetBookmark(name, bookmark, &bookmark_unreadable);
  positions = core.bookmarks.GetPositions(name, positions_unreadable);
  if (const LogBookmark* slowest = positions ? SlowestOf(*positions) : nullptr) {
    if (!has_bookmark) {
      core.LogFormat('E', "Service",
                     "The bookmark of Eventlog %s is missing or damaged; it is rebuilt from the "
                     "channels' positions (record %d)",
                     log.c_str(), slowest->lastRecord);
    } else if (Before(*slowest, bookmark)) {
      core.LogFormat('E', "Service",
                     "The bookmark of Eventlog %s (record %d) is ahead of the channels' "
                     "positions; it is rebuilt from them (record %d)",
                     log.c_str(), bookmark.lastRecord, slowest->lastRecord);
    }
    return *slowest;
  }
  if (has_bookmark) {
    if (positions_unreadable) {
      core.LogFormat('E', "Service",
                     "The positions file of Eventlog %s cannot be read; every channel resumes "
                     "from the bookmark",
                     log.c_str());
    }
    return bookmark;
  }
  if (bookmark_unreadable || positions_unreadable) {
    const std::u16string key = CBookmarkStore::KeyOf(name);
    const std::u16string path =
        bookmark_unreadable ? core.bookmarks.PathOf(key) : core.bookmarks.PositionsPathOf(key);
    core.LogFormat('E', "Service",
                   "Bookmark file cannot be read, Eventlog %s counts as new: %s; the %u records "
                   "it holds are skipped",
                   log.c_str(), Utf16ToUtf8(path).c_str(), count);
  }
  return std::nullopt;
}

// Where each channel that is on stands at the start of a run: its own
// stored position, else the base; the database's position in the target
// database when that is newer. The front is the newest of them. False when
// the log is new.
bool LoadPlaces(CCVNCore& core, size_t index, LogReadState& state, uint32_t count) {
  std::optional<ChannelPositions> positions;
  const std::optional<LogBookmark> base = LoadBase(core, index, count, positions);
  const CCVNCore::ChannelSwitches switches = core.ReadChannelSwitches();
  for (size_t i = 0; i < kPlaceCount; ++i) state.places[i].on = switches.On(ChannelOf(i));
  if (!base) return false;
  state.front = *base;
  for (size_t i = 0; i < kPlaceCount; ++i) {
    ChannelPlace& place = state.places[i];
    if (!place.on) continue;
    LogBookmark position = *base;
    if (positions) {
      if (auto it = positions->find(kPlaceKeys[i]); it != positions->end()) position = it->second;
    }
    uint32_t record = 0;
    uint32_t time = 0;
    DbChannelControl* db = core.DbChannel();
    if (ChannelOf(i) == Channel::kDb && db != nullptr &&
        db->StoredPosition(core.event_log_table[index].name, record, time) &&
        (position.empty || After(record, Last(position)))) {
      position = PositionOf(record, time, static_cast<uint32_t>(position.oldestRecord));
    }
    place.cursor = place.durable = position;
    if (Before(state.front, position)) state.front = position;
  }
  // Written once at the start, so that positions of channels now off go.
  state.dirty = true;
  return true;
}

int RegisterEmptyLog(CCVNCore& core, size_t index, LogReadState& state) {
  state.count = 0;
  if (!state.loaded) {
    state.loaded = true;
    if (!LoadPlaces(core, index, state, 0)) state.front = LogBookmark{};
  }
  bool all_empty = state.front.empty;
  for (const ChannelPlace& place : state.places)
    all_empty = all_empty && (!place.on || place.cursor.empty);
  if (all_empty) return 0;
  MoveAllTo(core, state, LogBookmark{0, 0, 0, true});
  AdvanceLog(core, index, Store::kNowIfAllDone);
  Trace(core, "Registered empty Eventlog: %s", index);
  return 0;
}

// Moves the front and the channels to the newest record without reading
// what lies between.
void SkipToNewest(CCVNCore& core, size_t index, LogReadState& state) {
  const uint32_t time = GetRecordTime(core, index, state.newest);
  MoveAllTo(core, state, PositionOf(state.newest, time, state.oldest));
}

// The first record to read after a position: everything when the log was
// empty, wrapped past it or was cleared and refilled; otherwise the record
// after it, provided that one is still the same record; newest + 1 when
// nothing is new. Nothing when that cannot be decided.
std::optional<uint32_t> FirstNewRecord(CCVNCore& core, size_t index, const LogReadState& state,
                                       const LogBookmark& position) {
  const uint32_t last = Last(position);
  const uint32_t oldest = state.oldest;
  const uint32_t newest = state.newest;
  if (position.empty) return oldest;
  if (last == newest && static_cast<uint32_t>(position.oldestRecord) == oldest) return newest + 1;
  // The log wrapped past the position: reading from the record after it
  // counts what the log overwrote before it could be read.
  if (last < oldest) return last + 1;
  // Otherwise, at or beyond count the position's record is gone (the log was
  // cleared, or the position is damaged): all records present are new.
  if (newest - last >= state.count) return oldest;
  const uint32_t time = GetRecordTime(core, index, last);
  const uint32_t last_time = static_cast<uint32_t>(position.lastTime);
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

// Builds the record and offers it to the set. A record that cannot be
// built, or whose dispatch fails, is logged and passed over by every channel
// of the set: it must not stop the reading of every later record.
CCVNCore::Offers DispatchRaw(CCVNCore& core, size_t index, std::span<const uint8_t> raw,
                             const CCVNCore::DispatchSet& set, uint32_t& parsed) {
  const char* reason = "the record cannot be decoded";
  std::string detail;
  try {
    SEventRecord record;
    if (core.renderer.BuildEventRecord(record, raw, core.event_log_table[index].name) == 0) {
      ++parsed;
      return core.DispatchRecord(record, set);
    }
  } catch (const std::bad_alloc&) {
    reason = "out of memory";
  } catch (const std::exception& e) {
    detail = e.what();
    reason = detail.c_str();
  }
  core.LogFormat('E', "Server", "Record %u of Eventlog %s was skipped: %s",
                 HeaderAt(raw.data()).RecordNumber, NameOf(core, index).c_str(), reason);
  CCVNCore::Offers taken;
  taken.fill(Offer::kTaken);
  return taken;
}

// Records a log overwrote before a channel could read them: counted in the
// channel's failures, logged once per run for the channel.
void ReportOverwritten(CCVNCore& core, size_t index, size_t i, uint32_t missed) {
  if (missed == 0) return;
  core.channel_figures[i].overwritten += missed;
  core.metrics.channels[i].dropped += missed;
  switch (ChannelOf(i)) {
    case Channel::kSyslog: core.syslog_failed += static_cast<int32_t>(missed); break;
    case Channel::kDb: core.db_failed += missed; break;
    case Channel::kEmail: core.email_failed += static_cast<int32_t>(missed); break;
  }
  if (core.reader.overwritten_logged[i]) return;
  core.reader.overwritten_logged[i] = true;
  core.LogFormat('E', "Server",
                 "%u records of Eventlog %s were overwritten before the %s channel could read "
                 "them",
                 missed, NameOf(core, index).c_str(), kPlaceNames[i]);
}

// One turn's plan and progress: which channels read, from where, and which
// of them found their queue full.
struct RangeWalk {
  uint32_t from = 0;
  uint32_t to = 0;
  uint32_t next = 0;    // the next record number expected
  uint32_t read = 0;    // records read
  uint32_t parsed = 0;  // records built
  bool done = false;    // past the range, every reading channel is full, or the thread stops
  bool front = false;   // the front reads: records after it are new
  uint32_t front_next = 0;
  std::array<bool, kPlaceCount> reads{};  // the channel reads in this turn
  std::array<bool, kPlaceCount> full{};   // ... and found its queue full
  std::array<uint32_t, kPlaceCount> place_next{};
  bool popup = false;
  bool Contains(uint32_t number) const { return number - from <= to - from; }
  // Some channel read and every one that did is full: reading on would only
  // move the front past records no channel can take.
  bool AllFull() const {
    bool any = false;
    for (size_t i = 0; i < kPlaceCount; ++i) {
      if (reads[i] && !full[i]) return false;
      any = any || reads[i];
    }
    return any;
  }
};

// The channels the record goes to: those reading, with room, at or before it.
CCVNCore::DispatchSet SetFor(const RangeWalk& walk, uint32_t number, bool is_new) {
  CCVNCore::DispatchSet set;
  for (size_t i = 0; i < kPlaceCount; ++i) {
    set.channels[i] = walk.reads[i] && !walk.full[i] && !After(walk.place_next[i], number);
  }
  set.popup = is_new && walk.popup;
  return set;
}

// Offers one record that lies in the range and moves the places that took it.
void TakeRecord(CCVNCore& core, size_t index, std::span<const uint8_t> raw, RangeWalk& walk) {
  const platform::EventLogRecordHeader header = HeaderAt(raw.data());
  const uint32_t number = header.RecordNumber;
  const bool is_new = walk.front && !After(walk.front_next, number);
  const CCVNCore::DispatchSet set = SetFor(walk, number, is_new);
  if (!set.Any() && !is_new) return;
  LogReadState& state = StateOf(core, index);
  if (is_new) {
    CountNewRecord(core, header.EventType);
    if (LogMetrics* metrics = MetricsOf(core, core.event_log_table[index].name, state)) {
      ++metrics->read;
    }
  }
  const CCVNCore::Offers offers = DispatchRaw(core, index, raw, set, walk.parsed);
  const LogBookmark position = PositionOf(number, header.TimeGenerated, state.oldest);
  for (size_t i = 0; i < kPlaceCount; ++i) {
    if (!set.channels[i]) continue;
    if (offers[i] == Offer::kFull) {
      walk.full[i] = true;
      continue;
    }
    ReportOverwritten(core, index, i, number - walk.place_next[i]);
    Enqueue(core, state.places[i], i, position);
    walk.place_next[i] = number + 1;
  }
  if (is_new) {
    state.front = position;
    state.dirty = true;
    walk.front_next = number + 1;
  }
}

// Handles the records of one batch that lie in the range, oldest first.
void WalkBatch(CCVNCore& core, size_t index, std::span<const uint8_t> batch, RangeWalk& walk) {
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
    TakeRecord(core, index, raw, walk);
    ++walk.read;
    walk.next = number + 1;
    walk.done = number == walk.to || walk.AllFull();
  }
}

// A record too large for the reading buffer is reported and passed over by
// every place that reads it.
void SkipLargeRecord(CCVNCore& core, size_t index, RangeWalk& walk) {
  core.LogFormat('A', "Server", "Failed to read records form Eventlog, error=%u",
                 err::kInsufficientBuffer);
  LogReadState& state = StateOf(core, index);
  const LogBookmark position =
      PositionOf(walk.next, GetRecordTime(core, index, walk.next), state.oldest);
  const CCVNCore::DispatchSet set = SetFor(walk, walk.next, false);
  for (size_t i = 0; i < kPlaceCount; ++i) {
    if (!set.channels[i]) continue;
    Enqueue(core, state.places[i], i, position);
    walk.place_next[i] = walk.next + 1;
  }
  if (walk.front && !After(walk.front_next, walk.next)) {
    state.front = position;
    state.dirty = true;
    walk.front_next = walk.next + 1;
  }
}

// Reads the range batch by batch. A record that the log overwrote before it
// could be read is counted as missed; a log replaced under the handle is
// opened again.
void ReadRange(CCVNCore& core, size_t index, RangeWalk& walk) {
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
      walk.next = oldest;
      continue;
    }
    if (error == err::kInsufficientBuffer) {
      SkipLargeRecord(core, index, walk);
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
    WalkBatch(core, index, std::span<const uint8_t>(core.reading_buffer.data(), bytes), walk);
    AdvanceLog(core, index, Store::kAtInterval);
  }
}

// Where the positions of one turn start reading. Positions that stand at
// the same record share one look-up, so channels at one place cost one read
// of the record's time.
class TurnStarts {
 public:
  TurnStarts(CCVNCore& core, size_t index) : core_(core), index_(index) {}

  // The first record to read after position, with what the log overwrote
  // before it reported for the place (-1: the front); newest + 1 when
  // nothing is new. A position whose next record cannot be decided moves to
  // the newest record.
  uint32_t StartOf(LogBookmark& position, int place) {
    const LogReadState& state = StateOf(core_, index_);
    auto it = std::find_if(known_.begin(), known_.end(),
                           [&position](const Known& k) { return k.position == position; });
    if (it == known_.end()) {
      known_.push_back(Known{position, FirstNewRecord(core_, index_, state, position)});
      it = known_.end() - 1;
      if (place < 0) NoteCleared(position, it->first);
    }
    if (!it->first) {
      position = PositionOf(state.newest, GetRecordTime(core_, index_, state.newest), state.oldest);
      return state.newest + 1;
    }
    const uint32_t first = *it->first;
    if (!After(state.oldest, first)) return first;
    if (place >= 0)
      ReportOverwritten(core_, index_, static_cast<size_t>(place), state.oldest - first);
    return state.oldest;
  }

 private:
  struct Known {
    LogBookmark position;
    std::optional<uint32_t> first;
  };

  void NoteCleared(const LogBookmark& position, const std::optional<uint32_t>& first) {
    const LogReadState& state = StateOf(core_, index_);
    if (!first || *first != state.oldest || position.empty ||
        state.newest - Last(position) < state.count) {
      return;
    }
    core_.LogFormat('N', "Server",
                    "Eventlog %s was cleared or renumbered since record %d; its %u records are "
                    "read from the oldest",
                    NameOf(core_, index_).c_str(), position.lastRecord, state.count);
  }

  CCVNCore& core_;
  size_t index_;
  std::vector<Known> known_;
};

// Plans a turn: the front and every channel that is on and has room read
// from their own start; a channel behind the front needs half its queue
// free. The front reads only alongside a channel (or with none on).
RangeWalk PlanTurn(CCVNCore& core, size_t index, LogReadState& state) {
  RangeWalk walk;
  TurnStarts starts(core, index);
  const uint32_t end = state.newest + 1;
  LogBookmark front = state.front;
  const uint32_t front_start = starts.StartOf(front, -1);
  bool any_on = false;
  bool any_reads = false;
  for (size_t i = 0; i < kPlaceCount; ++i) {
    ChannelPlace& place = state.places[i];
    if (!place.on) continue;
    any_on = true;
    const bool at_front = !Before(place.cursor, state.front);
    if (!at_front && !core.ChannelHasRoom(ChannelOf(i))) continue;
    LogBookmark cursor = place.cursor;
    walk.place_next[i] = starts.StartOf(cursor, static_cast<int>(i));
    if (cursor != place.cursor) Enqueue(core, place, i, cursor);
    walk.reads[i] = walk.place_next[i] != end;
    any_reads = any_reads || at_front || walk.reads[i];
  }
  if (!any_on || any_reads) {
    state.front = front;
    walk.front_next = front_start;
    walk.front = front_start != end;
  }
  walk.popup = core.ReadChannelSwitches().popup;
  // The range starts at the earliest start.
  bool found = false;
  const auto consider = [&](bool reads, uint32_t start) {
    if (!reads || (found && !After(walk.from, start))) return;
    walk.from = start;
    found = true;
  };
  consider(walk.front, walk.front_next);
  for (size_t i = 0; i < kPlaceCount; ++i) consider(walk.reads[i], walk.place_next[i]);
  walk.done = !found;
  if (!found) return walk;
  const uint32_t slice = std::min(MaxNewRecords(core), kMaxTurnRecords);
  walk.next = walk.from;
  walk.to = state.newest - walk.from < slice ? state.newest : walk.from + slice - 1;
  return walk;
}

// What is left for later turns: more records for a place that reads, or a
// channel that had no room behind the newest record.
void NoteWhatIsLeft(LogReadState& state, const RangeWalk& walk) {
  const uint32_t end = state.newest + 1;
  state.more = walk.front && walk.front_next != end;
  state.lagging = false;
  for (size_t i = 0; i < kPlaceCount; ++i) {
    const ChannelPlace& place = state.places[i];
    const bool behind = place.cursor.empty || After(state.newest, Last(place.cursor));
    if (!place.on || !behind) continue;
    if (walk.reads[i] && !walk.full[i]) {
      state.more = true;
    } else {
      state.lagging = true;
    }
  }
}

void ReadTurn(CCVNCore& core, size_t index, LogReadState& state) {
  RangeWalk walk = PlanTurn(core, index, state);
  if (!walk.done) {
    const std::string name = NameOf(core, index);
    if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Processing [%s] records: from %u to %u", name.c_str(),
                     walk.from, walk.to);
    }
    ReadRange(core, index, walk);
    if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Requested records %u-%u from %s. Read %u records", walk.from,
                     walk.to, name.c_str(), walk.read);
      core.LogFormat('N', "Trace", "Processed %u records from %s, parsed %u", walk.read,
                     name.c_str(), walk.parsed);
    }
  }
  NoteWhatIsLeft(state, walk);
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
  state.more = state.lagging = false;
  uint32_t count = 0;
  if (const uint32_t error = log.GetCount(count); error != 0) {
    if (error != err::kServiceNotReady) {
      core.LogFormat('A', "Service", "Failed to get number of Eventlog records: %u", error);
    } else {
      Trace(core, "Eventlog is not ready: %s", index);
    }
    return -1;
  }
  if (count == 0) return RegisterEmptyLog(core, index, state);

  uint32_t oldest = 0;
  if (const uint32_t error = log.GetOldest(oldest); error != 0) {
    if (error != err::kServiceNotReady) {
      core.LogFormat('A', "Service", "Failed to get oldest record id: %u", error);
    } else {
      Trace(core, "Eventlog is not ready yet: %s", index);
    }
    return -2;
  }
  state.count = count;
  state.oldest = oldest;
  state.newest = oldest + count - 1;

  if (!state.loaded) {
    state.loaded = true;
    if (!LoadPlaces(core, index, state, count)) {
      // The records already in a log seen for the first time are not forwarded.
      Trace(core, "Registered new Eventlog: %s", index);
      SkipToNewest(core, index, state);
    } else if (skip_old) {
      Trace(core, "Skipping records for Eventlog: %s", index);
      SkipToNewest(core, index, state);
    }
  }
  ReadTurn(core, index, state);
  // While a backlog is read turn by turn, the positions follow at their
  // interval; at its end they are stored at once.
  AdvanceLog(core, index, state.more ? Store::kAtInterval : Store::kNowIfAllDone);
  return 0;
}

bool HasWork(CCVNCore& core, size_t index) {
  const LogReadState& state = StateOf(core, index);
  if (state.more) return true;
  if (!state.lagging) return false;
  for (size_t i = 0; i < kPlaceCount; ++i) {
    const ChannelPlace& place = state.places[i];
    if (place.on && Before(place.cursor, state.front) && core.ChannelHasRoom(ChannelOf(i))) {
      return true;
    }
  }
  return false;
}

bool IsLagging(const CCVNCore& core) {
  for (const auto& [name, state] : core.reader.logs) {
    if (state.lagging) return true;
  }
  return false;
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
  std::array<uint64_t, kPlaceCount> lag{};
  // TimeGenerated of the oldest batch each channel took and has not made
  // durable (0: none).
  std::array<uint32_t, kPlaceCount> oldest{};
  for (auto& [name, state] : core.reader.logs) {
    AdvanceLog(core, name, state, force ? Store::kNow : Store::kAtInterval);
    LogMetrics* metrics = MetricsOf(core, name, state);
    for (size_t i = 0; i < kPlaceCount; ++i) {
      const ChannelPlace& place = state.places[i];
      lag[i] += place.lag;
      if (metrics != nullptr) metrics->lag[i] = place.lag;
      if (place.pending.empty()) continue;
      const uint32_t time = static_cast<uint32_t>(place.pending.front().position.lastTime);
      if (time != 0 && (oldest[i] == 0 || time < oldest[i])) oldest[i] = time;
    }
  }
  for (size_t i = 0; i < kPlaceCount; ++i) {
    core.channel_figures[i].lag = lag[i];
    core.metrics.channels[i].oldest_taken_time = oldest[i];
  }
}

bool HasPendingRecords(const CCVNCore& core) {
  for (const auto& [name, state] : core.reader.logs) {
    if (state.dirty) return true;
    for (const ChannelPlace& place : state.places) {
      if (!place.pending.empty()) return true;
    }
  }
  return false;
}

}  // namespace cvn
