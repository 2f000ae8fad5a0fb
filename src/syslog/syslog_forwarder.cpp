#include "syslog/syslog_forwarder.h"

#include <atomic>
#include <deque>
#include <optional>

#include "base/text.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/sync.h"
#include "syslog/syslog_cache.h"

namespace cvn {

namespace {

constexpr uint32_t kRetryIntervalMs = 10000;
constexpr uint32_t kTraceEvery = 100;
// The thread's status when it cannot wait for its events.
constexpr uint32_t kErrorInvalidHandle = 6;

std::atomic<uint32_t> g_retry_interval_ms{kRetryIntervalMs};

std::string AnsiToUtf8(const std::string& text) { return Utf16ToUtf8(platform::FromAnsi(text)); }

}  // namespace

void SetSyslogRetryIntervalForTesting(uint32_t ms) {
  g_retry_interval_ms = ms == 0 ? kRetryIntervalMs : ms;
}

CSyslogForwarder::CSyslogForwarder(CCVNCore& core) : core_(core) {
  const CCVNSettings& settings = core.Settings();
  servers_ = SplitSyslogServers(settings.Syslog_Server.value);
  for (size_t i = 0; i < servers_.size(); ++i)
    senders_.push_back(std::make_unique<CSyslogSender>());
  const int port = settings.Syslog_Port.value;
  port_ = port > 0 && port <= 0xFFFF ? static_cast<uint16_t>(port) : 0;
  tcp_ = settings.Syslog_Tcp.value;
  tls_ = settings.Syslog_Tls.value;
  separator_ = settings.Syslog_TcpSeparator.value;
}

void CSyslogForwarder::Fail(const std::string& server, const std::u16string& reason) {
  {
    platform::LockGuard guard(core_.status_lock);
    core_.syslog_last_error = reason;
  }
  core_.Log('E', "Syslog",
            "Failed to send syslog. [Forwarding to " + AnsiToUtf8(server) +
                "] Reason: " + Utf16ToUtf8(reason));
}

bool CSyslogForwarder::ForwardSyslogBatch(const std::vector<std::string>& messages) {
  bool any = false;
  for (size_t i = 0; i < servers_.size(); ++i) {
    CSyslogSender& sender = *senders_[i];
    if (!sender.IsConnected() && sender.Open(servers_[i], port_, tcp_, separator_, tls_) != 0) {
      Fail(servers_[i], sender.LastErrorText());
    }
    if (!sender.IsConnected()) continue;
    if (sender.SendMessages(messages) == 0) {
      any = true;
      continue;
    }
    // The connection may have gone stale: one fresh connection and one
    // more try.
    sender.Close();
    if (sender.Open(servers_[i], port_, tcp_, separator_, tls_) != 0) {
      Fail(servers_[i], sender.LastErrorText());
    } else if (sender.SendMessages(messages) == 0) {
      any = true;
    } else {
      Fail(servers_[i], sender.LastErrorText());
    }
  }
  if (any) {
    ++core_.syslog_sent;
  } else {
    ++core_.syslog_failed;
  }
  return any;
}

void CSyslogForwarder::CloseAll() {
  for (auto& sender : senders_) sender->Close();
}

std::u16string SyslogCacheFolder(CCVNCore& core) {
  std::u16string folder = core.Settings().General_CacheFolder.value;
  if (folder.empty()) folder = CCVNCore::GetCacheFolder();
  if (folder.empty()) return folder;
  folder = platform::WithTrailingSeparator(folder);
  platform::CreateFolderTree(folder);
  return folder;
}

namespace {

// Milliseconds since a tick count, safe across the counter's wrap.
uint32_t Since(uint32_t tick) { return platform::TickCount() - tick; }

// Appends the messages still queued to the cache file (creating it when
// needed), so that they are sent first after the next start.
void KeepQueuedMessages(CCVNCore& core, CSyslogCache& cache) {
  std::deque<std::string> left;
  {
    platform::LockGuard guard(core.syslog_queue.lock);
    left.swap(core.syslog_queue.items);
  }
  if (left.empty()) return;
  uint32_t error = 0;
  if (!cache.IsOpen() && !cache.OpenExisting()) error = cache.Create();
  size_t kept = 0;
  for (const std::string& message : left) {
    if (error == 0) error = cache.Append(message);
    if (error != 0) break;
    ++kept;
  }
  if (error != 0) {
    core.LogFormat('E', "Syslog",
                   "%u queued syslog messages could not be kept in the cache file and were "
                   "lost. Reason: %s",
                   static_cast<unsigned>(left.size() - kept),
                   Utf16ToUtf8(FormatSystemError(error)).c_str());
  }
  if (kept != 0 && TraceLogEnabled) {
    core.LogFormat('N', "Trace", "Syslog forwarder kept %u queued syslogs in the cache file",
                   static_cast<unsigned>(kept));
  }
}

CSyslogCache::Reporter LogTo(CCVNCore& core) {
  return [&core](const std::string& line) { core.Log('E', "Syslog", line); };
}

}  // namespace

void KeepQueuedSyslogMessages(CCVNCore& core) {
  if (core.syslog_queue.Size() == 0) return;
  CSyslogCache cache(SyslogCacheFolder(core) + CSyslogCache::kFileName, LogTo(core));
  KeepQueuedMessages(core, cache);
  core.syslog_cached = cache.count();
}

uint32_t SyslogForwarderThread(CCVNCore& core) {
  if (TraceLogEnabled) core.Log('N', "Trace", "Syslog Forwarder thread started");
  const uint32_t retry_ms = g_retry_interval_ms;

  CSyslogCache cache(SyslogCacheFolder(core) + CSyslogCache::kFileName, LogTo(core));
  CSyslogForwarder forwarder(core);

  platform::Event* stop = core.ThreadStopEvent(CoreThread::kSyslog);
  platform::Event* purge = core.SyslogPurgeEvent();
  platform::Event* wake = core.ThreadWakeEvent(CoreThread::kSyslog);

  uint32_t wait_ms = platform::kInfinite;
  uint32_t last_failure = 0;
  uint32_t sent = 0;
  uint32_t status = 0;
  // A file left by an earlier run: cache mode, with a resend due at once.
  if (cache.OpenExisting()) {
    last_failure = platform::TickCount() - retry_ms;
    wait_ms = 0;
  }
  core.syslog_cached = cache.count();

  if (!stop || !purge || !wake) status = kErrorInvalidHandle;
  platform::Event* const events[] = {stop, purge, wake};
  while (status == 0) {
    platform::SleepMs(1);
    if (sent >= kTraceEvery) {
      if (TraceLogEnabled) core.LogFormat('N', "Trace", "Syslog forwarder sent %u syslogs", sent);
      sent = 0;
    }

    const platform::WaitResult result = platform::WaitAny(events, wait_ms);
    if (result.kind == platform::WaitResult::Kind::kFailed) {
      status = kErrorInvalidHandle;
      break;
    }
    if (result.signaled() && result.index == 0) break;
    if (result.signaled() && result.index == 1) {
      cache.Delete();
      core.syslog_cached = 0;
      last_failure = 0;
      wait_ms = platform::kInfinite;
      continue;
    }

    std::optional<std::string> taken;
    {
      platform::LockGuard guard(core.syslog_queue.lock);
      auto& items = core.syslog_queue.items;
      if (!items.empty()) {
        taken = std::move(items.front());
        items.pop_front();
        if (!items.empty()) wake->Set();
      }
    }

    if (!cache.IsOpen() && taken) {
      if (forwarder.ForwardSyslogBatch({*taken})) {
        ++sent;
        taken.reset();
      } else {
        last_failure = platform::TickCount();
        if (const uint32_t error = cache.Create(); error != 0) {
          core.Log('E', "Syslog",
                   "The syslog cache file cannot be created; the message was dropped. Reason: " +
                       Utf16ToUtf8(FormatSystemError(error)));
        }
      }
    }

    if (cache.IsOpen()) {
      if (taken) {
        if (const uint32_t error = cache.Append(*taken); error != 0) {
          core.Log('E', "Syslog",
                   "A syslog message could not be added to the cache file and was lost. Reason: " +
                       Utf16ToUtf8(FormatSystemError(error)));
        }
      }
      if (Since(last_failure) >= retry_ms) {
        std::string record;
        if (cache.ReadOldest(record) != 0) {
          // The file changed under the thread: check it again, keeping what
          // can still be read.
          core.Log('E', "Syslog", "The syslog cache file cannot be read; it is checked again.");
          last_failure = platform::TickCount();
          cache.OpenExisting();
        } else if (forwarder.ForwardSyslogBatch({record})) {
          ++sent;
          cache.RemoveOldest();
        } else {
          last_failure = platform::TickCount();
        }
        if (cache.IsOpen() && cache.count() == 0) cache.Delete();
        if (!cache.IsOpen()) {
          last_failure = 0;  // direct mode again
          wait_ms = platform::kInfinite;
        }
      }
      if (cache.IsOpen()) {
        const uint32_t since = Since(last_failure);
        wait_ms = since >= retry_ms ? 0 : retry_ms - since;
      }
    }
    core.syslog_cached = cache.count();
  }

  KeepQueuedMessages(core, cache);
  core.syslog_cached = cache.count();
  forwarder.CloseAll();
  cache.Close();
  core.ThreadStatus(CoreThread::kSyslog) = static_cast<int32_t>(status);
  if (TraceLogEnabled) core.Log('N', "Trace", "Syslog Forwarder thread stopped");
  return status;
}

}  // namespace cvn
