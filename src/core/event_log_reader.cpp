#include "core/event_log_reader.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <span>

#include "base/text.h"
#include "base/win_errors.h"
#include "core/bookmark_store.h"
#include "core/cvn_core.h"
#include "platform/event_log.h"

namespace cvn {

namespace {

constexpr uint32_t kReadBackwards =
    platform::kEventLogSequentialRead | platform::kEventLogBackwardsRead;
constexpr uint32_t kFixedSize = platform::kEventLogRecordFixedSize;
constexpr size_t kBucketsPerType = 90;
constexpr size_t kNewestBucket = 89;

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

// Copies the records of [from, from + n) found in one batch. False when the
// walk passed below the range (or far above it): the read is complete.
bool CollectRecords(std::span<const uint8_t> batch, uint32_t from, uint32_t n, uint32_t limit,
                    RawRecords& out) {
  size_t at = 0;
  while (at + kFixedSize <= batch.size()) {
    const platform::EventLogRecordHeader header = HeaderAt(batch.data() + at);
    const uint32_t rel = header.RecordNumber - from;
    if (rel > limit + n) return false;
    // A length below the fixed part cannot be a record: walking on would loop
    // or read garbage.
    if (header.Length < kFixedSize) return false;
    if (rel < n && header.Length <= batch.size() - at) {
      try {
        out.emplace_back(batch.begin() + at, batch.begin() + at + header.Length);
      } catch (const std::bad_alloc&) {
        // Out of memory: the record is skipped.
      }
    }
    at += header.Length;
  }
  return true;
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

void StoreBookmark(CCVNCore& core, size_t index, const LogBookmark& bookmark) {
  const std::u16string& name = core.event_log_table[index].name;
  if (core.bookmarks.SetBookmark(name, bookmark)) return;
  const std::u16string path = core.bookmarks.PathOf(CBookmarkStore::KeyOf(name));
  core.LogFormat('E', "Service", "Failed to write bookmark file: %s", Utf16ToUtf8(path).c_str());
}

int RegisterEmptyLog(CCVNCore& core, size_t index) {
  LogBookmark bookmark;
  if (LookUpBookmark(core, index, bookmark) && bookmark.empty) return 0;
  bookmark = LogBookmark{0, 0, 0, true};
  StoreBookmark(core, index, bookmark);
  if (TraceLogEnabled) {
    core.LogFormat('N', "Trace", "Registered empty Eventlog: %s", NameOf(core, index).c_str());
  }
  return 0;
}

// Processes what the bookmark says is new: everything when the log was empty,
// wrapped past the bookmark or was cleared and refilled; otherwise the records
// after the bookmarked one, provided it is still the same record.
void ResumeFromBookmark(CCVNCore& core, size_t index, const LogBookmark& bookmark, uint32_t oldest,
                        uint32_t newest, uint32_t count) {
  const uint32_t last = static_cast<uint32_t>(bookmark.lastRecord);
  if (bookmark.empty || newest - last > count) {
    ProcessRange(core, index, oldest, newest);
    return;
  }
  const uint32_t time = GetRecordTime(core, index, last);
  const uint32_t last_time = static_cast<uint32_t>(bookmark.lastTime);
  if (time == 0 || last_time == 0) return;
  if (time == last_time) {
    ProcessRange(core, index, last + 1, newest);
  } else if (time > last_time) {
    ProcessRange(core, index, oldest, newest);
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
  uint32_t count = 0;
  if (const uint32_t error = log.GetCount(count); error != 0) {
    if (error != err::kServiceNotReady) {
      core.LogFormat('A', "Service", "Failed to get number of Eventlog records: %u", error);
    } else if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Eventlog is not ready: %s", NameOf(core, index).c_str());
    }
    return -1;
  }
  if (count == 0) return RegisterEmptyLog(core, index);

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

  LogBookmark bookmark;
  if (!LookUpBookmark(core, index, bookmark)) {
    // The records already in a log seen for the first time are not forwarded.
    if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Registered new Eventlog: %s", NameOf(core, index).c_str());
    }
  } else if (!bookmark.empty && static_cast<uint32_t>(bookmark.lastRecord) == newest &&
             static_cast<uint32_t>(bookmark.oldestRecord) == oldest) {
    return 0;
  } else if (skip_old) {
    if (TraceLogEnabled) {
      core.LogFormat('N', "Trace", "Skipping records for Eventlog: %s",
                     NameOf(core, index).c_str());
    }
  } else {
    ResumeFromBookmark(core, index, bookmark, oldest, newest, count);
  }
  const uint32_t newest_time = GetRecordTime(core, index, newest);
  StoreBookmark(core, index,
                LogBookmark{static_cast<int32_t>(newest), static_cast<int32_t>(newest_time),
                            static_cast<int32_t>(oldest), false});
  return 0;
}

void ProcessRange(CCVNCore& core, size_t index, uint32_t from, uint32_t to) {
  const std::string name = NameOf(core, index);
  if (TraceLogEnabled) {
    core.LogFormat('N', "Trace", "Processing [%s] records: from %u to %u", name.c_str(), from, to);
  }
  const CCVNCore::ChannelSwitches switches = core.ReadChannelSwitches();
  RawRecords records;
  ReadRange(core, index, from, to, records);
  if (TraceLogEnabled) {
    core.LogFormat('N', "Trace", "Requested records %u-%u from %s. Read %u records", from, to,
                   name.c_str(), static_cast<uint32_t>(records.size()));
  }
  uint32_t parsed = 0;
  for (auto& raw : records) {
    CountNewRecord(core, HeaderAt(raw.data()).EventType);
    if (switches.Any()) {
      SEventRecord record;
      if (core.renderer.BuildEventRecord(record, raw, core.event_log_table[index].name) == 0) {
        ++parsed;
        core.DispatchRecord(record, switches);
      }
    }
    std::vector<uint8_t>().swap(raw);
  }
  if (TraceLogEnabled) {
    core.LogFormat('N', "Trace", "Processed %u records from %s, parsed %u",
                   static_cast<uint32_t>(records.size()), name.c_str(), parsed);
  }
}

void ReadRange(CCVNCore& core, size_t index, uint32_t from, uint32_t to, RawRecords& out) {
  const uint32_t n = to - from + 1;
  const uint32_t limit = MaxNewRecords(core);
  if (n > limit) {
    core.LogFormat('N', "Server", "Read request for %u records dropped. Max allowed records: %u", n,
                   limit);
    return;
  }
  // A fresh handle reads from the newest record.
  CloseLog(core, index);
  OpenLog(core, index);
  for (int attempt = 1; attempt <= 3;) {
    bool changed = false;
    const uint32_t bytes = ReadBatch(core, index, changed);
    if (changed) {
      if (TraceLogEnabled) core.LogFormat('N', "Trace", "Eventlog was changed, will be reopened");
      out.clear();
      CloseLog(core, index);
      OpenLog(core, index);
      ++attempt;
      continue;
    }
    if (bytes == 0) return;
    const std::span<const uint8_t> batch(core.reading_buffer.data(), bytes);
    if (!CollectRecords(batch, from, n, limit, out)) return;
  }
}

uint32_t ReadBatch(CCVNCore& core, size_t index, bool& changed) {
  changed = false;
  platform::EventLog& log = core.event_log_table[index].log;
  uint32_t error = 0;
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t bytes = 0;
    uint32_t needed = 0;
    std::vector<uint8_t>& buffer = core.reading_buffer;
    error = log.Read(kReadBackwards, 0, buffer.data(), static_cast<uint32_t>(buffer.size()), bytes,
                     needed);
    if (error == 0) return bytes;
    changed = error == err::kEventLogFileChanged;
    if (error != err::kInsufficientBuffer) break;
    if (attempt == 1) return 0;  // a second shortfall
    if (needed == 0 || needed > kMaxReadingBufferSize) break;
    if (!GrowBuffer(buffer, core.reading_buffer_size, needed)) {
      core.LogFormat('A', "Server", "Failed to allocate buffer: Out ouf memory");
      break;
    }
  }
  if (changed || error == err::kHandleEof) return 0;
  core.LogFormat('A', "Server", "Failed to read records form Eventlog, error=%u", error);
  return 0;
}

uint32_t GetRecordTime(CCVNCore& core, size_t index, uint32_t number) {
  RawRecords records;
  ReadRange(core, index, number, number, records);
  if (records.empty()) {
    core.LogFormat('E', "Service", "Failed to get date of record %u from: %s", number,
                   NameOf(core, index).c_str());
    return 0;
  }
  return HeaderAt(records.front().data()).TimeGenerated;
}

}  // namespace cvn
