#include "core/event_log_monitor.h"

#include <algorithm>
#include <cstring>

#include "base/text.h"
#include "base/win_errors.h"
#include "core/cvn_core.h"
#include "core/event_log_reader.h"
#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/registry.h"

namespace cvn {

namespace {

constexpr uint32_t kPollMs = 2000;
// How often bookmarks are looked at while records wait for their messages.
constexpr uint32_t kPendingPollMs = 20;
// How often a channel that fell behind for want of room is looked at.
constexpr uint32_t kLagPollMs = 5;
// The pause before the reading starts again after a wait failed.
constexpr uint32_t kRestartAfterFailureMs = 10000;
constexpr uint32_t kReadBackwards =
    platform::kEventLogSequentialRead | platform::kEventLogBackwardsRead;
constexpr size_t kBuckets = 90;
constexpr int64_t kSecondsPerStep = 20;
// Bucket width of each histogram, in steps of 20 seconds.
constexpr int64_t kGranularity[CCVNCore::kHistogramCount] = {672, 336, 96, 24, 12, 4, 1};
// Index of the stop and registry-change events in the wait array; the
// notification of table entry i follows at i + kFirstLogHandle.
constexpr size_t kStopHandle = 0;
constexpr size_t kRegistryHandle = 1;
constexpr size_t kFirstLogHandle = 2;

void Trace(CCVNCore& core, const char* message, const std::u16string& name = {}) {
  if (!TraceLogEnabled) return;
  if (name.empty()) {
    core.Log('N', "Trace", message);
  } else {
    core.LogFormat('N', "Trace", message, Utf16ToUtf8(name).c_str());
  }
}

// Whether the inspection list lets the log be watched (names compare
// case-sensitively). The caller holds the list's lock.
bool IsInspected(CCVNSettings& settings, const std::u16string& name) {
  if (settings.Logs_InspectAll.value) return true;
  const auto& items = settings.Logs_List.items;
  const bool listed = std::find(items.begin(), items.end(), name) != items.end();
  return settings.Logs_IsIncludeList.value == listed;
}

// Puts one log in the next table entry, counts its statistics and reads what
// is new in it. False when it could not be opened.
bool RegisterLog(CCVNCore& core, const std::u16string& name, bool skip_old) {
  const size_t index = core.event_log_count;
  core.event_log_table[index].name = name;
  if (!OpenLog(core, index)) return false;
  {
    platform::LockGuard guard(core.statistics_lock);
    core.statistics_changed = false;
  }
  RebuildStatistics(core, core.event_log_table[index].log);
  ProcessLog(core, index, skip_old);
  core.inspected_names.push_back(name);
  ++core.event_log_count;
  Trace(core, "Eventlog added to inspection list: %s", name);
  return true;
}

// One registration pass over the machine's logs.
void RegisterLogs(CCVNCore& core) {
  std::vector<std::u16string> names;
  EnumerateEventLogs(names);
  CCVNSettings& settings = core.Settings();
  const bool skip_old = !settings.Logs_ProcessOld.value && !core.StoppedSinceInit();

  platform::LockGuard table(core.table_lock);
  core.inspected_names.clear();
  std::vector<std::u16string> registered;
  {
    platform::LockGuard list(settings.Logs_List.lock);
    for (const auto& name : names) {
      if (core.event_log_count >= CCVNCore::kMaxWatchedLogs) break;
      if (!IsInspected(settings, name)) continue;
      if (RegisterLog(core, name, skip_old)) registered.push_back(name);
    }
  }
  core.bookmarks.PruneBookmarks(registered);
  // What the reader knew of a log that is no longer watched goes with it.
  std::erase_if(core.reader.logs, [&registered](const auto& entry) {
    return std::find(registered.begin(), registered.end(), entry.first) == registered.end();
  });
  if (platform::Event* ready = core.TableReadyEvent()) ready->Set();
}

void NoteNews(CCVNCore& core, size_t index) {
  Trace(core, "New records detected in: %s", core.event_log_table[index].name);
  core.reader.logs[core.event_log_table[index].name].more = true;
}

// The next log after last, round the table, with a turn's work waiting;
// count when none has.
size_t NextWithWork(CCVNCore& core, size_t last) {
  const size_t count = core.event_log_count;
  for (size_t step = 1; step <= count; ++step) {
    const size_t i = (last + step) % count;
    if (HasWork(core, i)) return i;
  }
  return count;
}

enum class WatchEnd { kStop, kNewPass, kFailed };

// Waits for new records, a registry change or the stop event: the thread is
// to end, to make a new registration pass, or to start again after a failure. Logs with more to
// read get one turn each in rotation, with the events looked at between
// turns, so that a busy log holds a quiet one back by one slice at most.
// While records wait for their messages to become durable, it looks at
// their positions often.
WatchEnd WatchLogs(CCVNCore& core) {
  // Stands in for the notification of an entry that has none.
  platform::Event never(platform::Event::Mode::kManualReset);
  size_t poll = 0;
  size_t turn = 0;
  uint32_t poll_start = platform::TickCount();
  for (;;) {
    AdvanceBookmarks(core, false);
    const uint32_t since_poll = platform::TickCount() - poll_start;
    if (since_poll >= kPollMs) {
      if (poll < core.event_log_count) ProcessLog(core, poll, false);
      if (++poll >= core.event_log_count) poll = 0;
      poll_start = platform::TickCount();
      continue;
    }
    const size_t count = core.event_log_count;
    const size_t next = NextWithWork(core, turn);
    uint32_t wait_ms = kPollMs - since_poll;
    if (HasPendingRecords(core)) wait_ms = std::min(wait_ms, kPendingPollMs);
    if (IsLagging(core)) wait_ms = std::min(wait_ms, kLagPollMs);
    if (next < count) wait_ms = 0;
    std::vector<platform::Event*> handles = {core.ThreadStopEvent(CoreThread::kPrimary),
                                             core.RegistryChangeEvent()};
    // Rebuilt for every wait: reading a log may reopen it with a new notification.
    for (size_t i = 0; i < count; ++i) {
      platform::Event* notify = core.event_log_table[i].notify.get();
      handles.push_back(notify != nullptr ? notify : &never);
    }
    const platform::WaitResult result = platform::WaitAny(handles, wait_ms);
    if (result.timed_out()) {
      if (next < count) ProcessLog(core, turn = next, false);
      continue;
    }
    if (!result.signaled()) {
      core.LogFormat('A', "Service", "Critical error 1 code %u", result.error);
      return WatchEnd::kFailed;
    }
    if (result.index == kStopHandle) return WatchEnd::kStop;
    if (result.index == kRegistryHandle) {
      Trace(core, "The list of Eventlogs was modified (Windows Registry)");
      return WatchEnd::kNewPass;
    }
    const size_t entry = result.index - kFirstLogHandle;
    if (entry >= count) {
      // Not a system error: the number of the event that does not exist.
      core.LogFormat('A', "Service", "Critical error 2 code %u",
                     static_cast<unsigned>(result.index));
      return WatchEnd::kFailed;
    }
    // The lowest signalled entry wins a wait: the others' notifications are
    // taken now, so that a log written without a pause cannot keep them out.
    // Each log with news gets its turn in rotation.
    NoteNews(core, entry);
    for (size_t i = 0; i < count; ++i) {
      platform::Event* notify = core.event_log_table[i].notify.get();
      if (i != entry && notify != nullptr && notify->Wait(0)) NoteNews(core, i);
    }
    if (const size_t first = NextWithWork(core, turn); first < count) {
      ProcessLog(core, turn = first, false);
    }
  }
}

void CloseAllLogs(CCVNCore& core) {
  platform::LockGuard table(core.table_lock);
  for (size_t i = 0; i < core.event_log_count; ++i) CloseLog(core, i);
  core.event_log_count = 0;
  core.renderer.ClearCaches();
}

// One backwards read into the statistics buffer, growing it once when a
// record does not fit. False when nothing more can be read.
bool ReadStatisticsBatch(CCVNCore& core, platform::EventLog& log, uint32_t& bytes) {
  std::vector<uint8_t>& buffer = core.statistics_buffer;
  for (int attempt = 0; attempt < 2; ++attempt) {
    uint32_t needed = 0;
    const uint32_t error = log.Read(kReadBackwards, 0, buffer.data(),
                                    static_cast<uint32_t>(buffer.size()), bytes, needed);
    if (error == 0) return bytes > 0;
    if (error != err::kInsufficientBuffer || attempt == 1) return false;
    if (needed == 0 || needed > kMaxReadingBufferSize) return false;
    if (!GrowBuffer(buffer, core.statistics_buffer_size, needed)) return false;
  }
  return false;
}

// Counts one record into every histogram whose span covers its age. False
// when the record is older than the longest span (so is every older record).
bool CountRecordAge(CCVNCore& core, const platform::EventLogRecordHeader& header, int64_t now) {
  const int64_t age = (now - static_cast<int64_t>(header.TimeGenerated)) / kSecondsPerStep;
  if (age < 0) return true;  // dated in the future
  const size_t type = static_cast<size_t>(StatisticsType(header.EventType));
  for (size_t h = 0; h < CCVNCore::kHistogramCount; ++h) {
    const int64_t granularity = kGranularity[h];
    if (age >= granularity * static_cast<int64_t>(kBuckets)) return h != 0;
    const size_t bucket = kBuckets - 1 - static_cast<size_t>(age / granularity);
    ++core.histograms[h][type * kBuckets + bucket];
  }
  return true;
}

}  // namespace

// After a failed wait the reading starts again from the bookmarks, after a
// pause; false when a stop came first.
bool RestartAfterFailure(CCVNCore& core) {
  if (core.ThreadStopEvent(CoreThread::kPrimary)->Wait(kRestartAfterFailureMs)) return false;
  const uint32_t restarts = ++core.reader_restarts;
  core.LogFormat('E', "Service",
                 "The reading of the event logs starts again after a failed wait (%u since the "
                 "start).",
                 restarts);
  return true;
}

uint32_t PrimaryServerThread(CCVNCore& core) {
  if (core.ThreadStopEvent(CoreThread::kPrimary) == nullptr ||
      core.RegistryChangeEvent() == nullptr) {
    return 0;
  }
  Trace(core, "Primary server thread started");
  core.bookmarks.SetFolder(core.EventLogsFolder());
  // Reading starts from the bookmarks: what an earlier run read but did not
  // hand over durably is read again.
  core.reader = ReaderState{};

  // Kept for change notification until the thread ends. Created when missing,
  // so that the first log registered on a machine without any is noticed.
  platform::RegistryKey key;
  bool key_open = key.Open(platform::RegistryRoot::kLocalMachine, platform::kEventLogKey) == 0 ||
                  key.Create(platform::RegistryRoot::kLocalMachine, platform::kEventLogKey) == 0;

  for (bool stop = false; !stop;) {
    // Armed before the logs are enumerated, so that a log added while the
    // pass runs still causes the next pass.
    if (key_open) {
      key_open = key.Notify(*core.RegistryChangeEvent(), true, platform::kRegNotifyName) == 0;
    }
    ResetStatistics(core);
    RegisterLogs(core);
    const WatchEnd end = WatchLogs(core);
    // Whatever is handled by now is kept, so a restart reads less again.
    AdvanceBookmarks(core, true);
    CloseAllLogs(core);
    stop = end == WatchEnd::kStop || (end == WatchEnd::kFailed && !RestartAfterFailure(core));
  }

  key.Close();
  { platform::LockGuard table(core.table_lock); }
  Trace(core, "Primary server thread stopped");
  return 0;
}

void EnumerateEventLogs(std::vector<std::u16string>& names) {
  // A key that cannot be read is skipped, so that the logs after it are
  // still watched; a run of failures ends the enumeration all the same.
  constexpr uint32_t kMaxFailuresInARow = 16;
  constexpr uint32_t kNoMoreItems = 259;
  names.clear();
  platform::RegistryKey key;
  if (key.Create(platform::RegistryRoot::kLocalMachine, platform::kEventLogKey) != 0) return;
  uint32_t failures = 0;
  for (uint32_t index = 0; failures < kMaxFailuresInARow; ++index) {
    std::u16string name;
    const uint32_t error = key.EnumSubkey(index, name);
    if (error == kNoMoreItems) break;
    failures = error == 0 ? 0 : failures + 1;
    if (error == 0) names.push_back(std::move(name));
  }
}

void ResetStatistics(CCVNCore& core) {
  platform::LockGuard guard(core.statistics_lock);
  for (auto& histogram : core.histograms) std::fill(histogram.begin(), histogram.end(), 0u);
}

void RebuildStatistics(CCVNCore& core, platform::EventLog& log) {
  platform::LockGuard guard(core.statistics_lock);
  const int64_t now = platform::NowSeconds();
  uint32_t bytes = 0;
  while (ReadStatisticsBatch(core, log, bytes)) {
    const uint8_t* data = core.statistics_buffer.data();
    for (size_t at = 0; bytes - at > platform::kEventLogRecordFixedSize;) {
      platform::EventLogRecordHeader header;
      std::memcpy(&header, data + at, sizeof header);
      if (header.Length < platform::kEventLogRecordFixedSize || header.Length > bytes - at) break;
      if (!CountRecordAge(core, header, now)) return;
      at += header.Length;
    }
  }
}

}  // namespace cvn
