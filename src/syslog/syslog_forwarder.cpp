#include "syslog/syslog_forwarder.h"

#include <algorithm>
#include <atomic>
#include <deque>

#include "base/text.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/file.h"
#include "platform/message_module.h"
#include "platform/sync.h"
#include "syslog/syslog_cache.h"
#include "syslog/syslog_pacer.h"

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
  platform::TlsPeerCheck check;
  check.level = static_cast<uint32_t>(settings.Syslog_TlsVerify.value);
  check.ca_file = Utf16ToUtf8(settings.Syslog_TlsCaFile.value);
  check.cert_file = Utf16ToUtf8(settings.Syslog_TlsCertFile.value);
  check.key_file = Utf16ToUtf8(settings.Syslog_TlsKeyFile.value);
  for (auto& sender : senders_) sender->SetPeerCheck(check);
  insecure_ = tls_ && check.level == platform::TlsPeerCheck::kNone;
}

bool CSyslogForwarder::Connect(size_t i) {
  if (senders_[i]->Open(servers_[i], port_, tcp_, separator_, tls_) != 0) {
    Fail(servers_[i], senders_[i]->LastErrorText());
    return false;
  }
  if (insecure_) {
    core_.Log('E', "Syslog",
              "The TLS connection to " + AnsiToUtf8(servers_[i]) +
                  " is not authenticated (Syslog/TlsVerify is 0): any server can pose as it.");
  }
  return true;
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

size_t CSyslogForwarder::SendToServer(size_t i, std::span<const std::string> messages) {
  // Each step below may wait up to its own time-out; once a stop is asked no
  // further step begins, so the thread ends within the stop's deadline (what
  // was not sent is cached).
  CSyslogSender& sender = *senders_[i];
  if (core_.StopRequested()) return 0;
  if (!sender.IsConnected()) Connect(i);
  if (!sender.IsConnected() || core_.StopRequested()) return 0;
  size_t taken = sender.SendMessages(messages);
  if (taken == messages.size()) return taken;
  // The connection may have gone stale: one fresh connection, and one more
  // try for the rest.
  sender.Close();
  if (core_.StopRequested()) {
    Fail(servers_[i], sender.LastErrorText());
    return taken;
  }
  if (!Connect(i)) return taken;
  if (!core_.StopRequested()) taken += sender.SendMessages(messages.subspan(taken));
  if (taken < messages.size()) Fail(servers_[i], sender.LastErrorText());
  return taken;
}

size_t CSyslogForwarder::ForwardSyslogBatch(std::span<const std::string> messages) {
  size_t delivered = 0;
  for (size_t i = 0; i < servers_.size(); ++i) {
    delivered = std::max(delivered, SendToServer(i, messages));
  }
  core_.syslog_sent += static_cast<int32_t>(delivered);
  core_.syslog_failed += static_cast<int32_t>(messages.size() - delivered);
  core_.metrics.Of(MetricChannel::kSyslog).Attempted(messages.size(), delivered);
  return delivered;
}

void CSyslogForwarder::CloseAll() {
  for (auto& sender : senders_) sender->Close();
}

std::u16string SyslogCacheFolder(CCVNCore& core) {
  std::u16string folder = core.Settings().General_CacheFolder.value;
  if (!folder.empty()) folder = core.PrivateFolder(folder, "the syslog cache, the default one is");
  if (folder.empty()) folder = CCVNCore::GetCacheFolder();
  if (folder.empty()) return folder;
  folder = platform::WithTrailingSeparator(folder);
  platform::CreateFolderTree(folder);
  return folder;
}

namespace {

// One batch: what the thread takes from the queue or the cache per pass.
constexpr size_t kBatchCount = 512;
constexpr size_t kBatchBytes = 256 * 1024;
// Woken for the first message of an empty queue, the thread waits this long
// for the messages that follow it before taking a batch: a reader that
// queues records one by one would otherwise wake it for nearly every record.
constexpr uint32_t kGatherMs = 1;

// Milliseconds since a tick count, safe across the counter's wrap.
uint32_t Since(uint32_t tick) { return platform::TickCount() - tick; }

CSyslogCache::Reporter LogTo(CCVNCore& core) {
  return [&core](const std::string& line) { core.Log('E', "Syslog", line); };
}

// Syslog/UdpMaxRate over UDP; streams are paced by their receivers.
int64_t PacedRate(const CCVNSettings& settings) {
  if (settings.Syslog_Tcp.value || settings.Syslog_Tls.value) return 0;
  return settings.Syslog_UdpMaxRate.value;
}

class ForwarderThread {
 public:
  explicit ForwarderThread(CCVNCore& core)
      : core_(core),
        retry_ms_(g_retry_interval_ms),
        cache_(SyslogCacheFolder(core) + CSyslogCache::kFileName, LogTo(core)),
        forwarder_(core),
        pacer_(PacedRate(core.Settings()), platform::TickCount()) {}

  uint32_t Run();

 private:
  bool RetryDue() const { return Since(last_failure_) >= retry_ms_; }
  uint32_t UntilRetry() const {
    const uint32_t since = Since(last_failure_);
    return since >= retry_ms_ ? 0 : retry_ms_ - since;
  }
  uint32_t NextWait();
  void Purge();
  void TakeBatch();
  void DrainCache();
  void Deliver();
  // The first n held messages are durable: acknowledged and let go.
  void Release(size_t n);
  void DropUncacheable();
  void CountSent(size_t n);

  CCVNCore& core_;
  const uint32_t retry_ms_;
  CSyslogCache cache_;
  CSyslogForwarder forwarder_;
  // Datagrams go at Syslog/UdpMaxRate: the thread takes from the queue and
  // the cache file only as many messages as the rate lets go.
  CSyslogPacer pacer_;
  // Messages taken from the queue and not yet durable, oldest first.
  std::vector<std::string> texts_;
  std::vector<uint64_t> seqs_;
  bool held_ = false;  // the messages above failed once and wait for the retry
  uint32_t last_failure_ = 0;
  uint32_t sent_ = 0;
};

uint32_t ForwarderThread::NextWait() {
  // Messages left in the queue after a batch are taken at once (to be sent,
  // when the rate lets them go; or into the cache file); the reader only
  // wakes the thread for the first message of an empty queue.
  if (!held_ && core_.syslog_queue.Size() > 0) {
    return cache_.IsOpen() ? 0 : pacer_.Wait(platform::TickCount());
  }
  if (held_) return UntilRetry();
  if (!cache_.IsOpen()) return platform::kInfinite;
  return std::max(UntilRetry(), pacer_.Wait(platform::TickCount()));
}

void ForwarderThread::Purge() {
  core_.SetSyslogCached(0);  // shown before the file goes
  cache_.Delete();
  texts_.clear();
  seqs_.clear();
  held_ = false;
  last_failure_ = 0;
}

void ForwarderThread::TakeBatch() {
  if (!texts_.empty()) return;
  // Messages that go into the cache file are not sent: only those to be sent
  // wait for the rate.
  const bool paced = !cache_.IsOpen();
  const size_t allowed = paced ? pacer_.Allowance(kBatchCount, platform::TickCount()) : kBatchCount;
  if (allowed == 0) return;
  std::deque<QueuedMessage> batch;
  core_.syslog_queue.TakeBatch(batch, allowed, kBatchBytes);
  if (paced) pacer_.Spend(batch.size());
  for (QueuedMessage& message : batch) {
    texts_.push_back(std::move(message.text));
    seqs_.push_back(message.seq);
  }
}

// One trace line for every 100 messages forwarded.
void ForwarderThread::CountSent(size_t n) {
  sent_ += static_cast<uint32_t>(n);
  for (; sent_ >= kTraceEvery; sent_ -= kTraceEvery) {
    if (TraceLogEnabled) {
      core_.LogFormat('N', "Trace", "Syslog forwarder sent %u syslogs", kTraceEvery);
    }
  }
}

void ForwarderThread::Release(size_t n) {
  if (n != 0) core_.syslog_queue.Acknowledge(seqs_[n - 1]);
  texts_.erase(texts_.begin(), texts_.begin() + static_cast<ptrdiff_t>(n));
  seqs_.erase(seqs_.begin(), seqs_.begin() + static_cast<ptrdiff_t>(n));
  held_ = !texts_.empty();
}

// Sends cached records, oldest first, once a retry is due; the file goes
// when it is empty.
void ForwarderThread::DrainCache() {
  if (!cache_.IsOpen() || !RetryDue()) return;
  const size_t allowed = pacer_.Allowance(kBatchCount, platform::TickCount());
  if (allowed == 0) return;
  std::vector<std::string> records;
  const uint32_t read = cache_.ReadOldest(allowed, kBatchBytes, records);
  pacer_.Spend(records.size());
  if (read != 0) {
    // The file changed under the thread: check it again, keeping what can
    // still be read.
    core_.Log('E', "Syslog", "The syslog cache file cannot be read; it is checked again.");
    last_failure_ = platform::TickCount();
    cache_.OpenExisting();
    return;
  }
  const size_t done = forwarder_.ForwardSyslogBatch(records);
  CountSent(done);
  if (done != 0) cache_.RemoveOldest(done);
  core_.SetSyslogCached(cache_.count());
  if (done < records.size()) last_failure_ = platform::TickCount();
  if (cache_.IsOpen() && cache_.count() == 0) cache_.Delete();
  if (!cache_.IsOpen()) last_failure_ = 0;  // direct mode again
}

// Direct mode sends the held messages; what no server takes, and everything
// in cache mode, goes behind the cached records. What can be neither sent nor
// cached is held for the next retry, unless no cache file could ever hold it.
void ForwarderThread::Deliver() {
  if (texts_.empty() || (held_ && !RetryDue())) return;
  size_t done = 0;
  if (!cache_.IsOpen()) {
    done = forwarder_.ForwardSyslogBatch(texts_);
    CountSent(done);
    if (done == texts_.size()) return Release(done);
    last_failure_ = platform::TickCount();
    if (const uint32_t error = cache_.Create(); error != 0) {
      core_.LogFormat('E', "Syslog",
                      "The syslog cache file cannot be created; %u syslog messages wait to be "
                      "sent again. Reason: %s",
                      static_cast<unsigned>(texts_.size() - done),
                      Utf16ToUtf8(platform::FormatSystemError(error)).c_str());
      return Release(done);
    }
  }
  Release(done);
  DropUncacheable();
  if (texts_.empty()) return;
  if (const uint32_t error = cache_.Append(texts_); error != 0) {
    core_.LogFormat('E', "Syslog",
                    "%u syslog messages could not be added to the cache file; they wait to be "
                    "sent again. Reason: %s",
                    static_cast<unsigned>(texts_.size()),
                    Utf16ToUtf8(platform::FormatSystemError(error)).c_str());
    last_failure_ = platform::TickCount();
    return;
  }
  Release(texts_.size());
}

// A held message too long for any cache file would wait for ever: it fails
// instead, and its number is acknowledged with the message before it (or at
// once when it is the first), so the position moves past it in order.
void ForwarderThread::DropUncacheable() {
  for (size_t i = 0; i < texts_.size();) {
    if (texts_[i].size() <= CSyslogCache::kMaxMessageBytes) {
      ++i;
      continue;
    }
    core_.LogFormat('E', "Syslog",
                    "A syslog message of %llu bytes is too long for the cache file; it failed.",
                    static_cast<unsigned long long>(texts_[i].size()));
    ++core_.syslog_failed;
    ++core_.metrics.Of(MetricChannel::kSyslog).failed;
    if (i == 0) {
      core_.syslog_queue.Acknowledge(seqs_[0]);
    } else {
      seqs_[i - 1] = seqs_[i];
    }
    texts_.erase(texts_.begin() + static_cast<ptrdiff_t>(i));
    seqs_.erase(seqs_.begin() + static_cast<ptrdiff_t>(i));
  }
  held_ = !texts_.empty();
}

uint32_t ForwarderThread::Run() {
  if (TraceLogEnabled) core_.Log('N', "Trace", "Syslog Forwarder thread started");
  platform::Event* stop = core_.ThreadStopEvent(CoreThread::kSyslog);
  platform::Event* purge = core_.SyslogPurgeEvent();
  platform::Event* wake = core_.ThreadWakeEvent(CoreThread::kSyslog);
  // A file left by an earlier run: cache mode, with a resend due at once.
  if (cache_.OpenExisting()) last_failure_ = platform::TickCount() - retry_ms_;
  core_.SetSyslogCached(cache_.count());

  uint32_t status = (!stop || !purge || !wake) ? kErrorInvalidHandle : 0;
  platform::Event* const events[] = {stop, purge, wake};
  while (status == 0) {
    const platform::WaitResult result = platform::WaitAny(events, NextWait());
    if (result.kind == platform::WaitResult::Kind::kFailed) {
      status = kErrorInvalidHandle;
      break;
    }
    if (result.signaled() && result.index == 0) break;
    if (result.signaled() && result.index == 1) {
      Purge();
    } else {
      if (result.signaled() && core_.syslog_queue.Size() < kBatchCount)
        platform::SleepMs(kGatherMs);
      // The cached records first: a pass that empties the file sends the
      // batch it takes after them directly.
      DrainCache();
      TakeBatch();
      Deliver();
    }
    core_.SetSyslogCached(cache_.count());
  }

  // What is not durable stays in the event log: the next start reads it again.
  forwarder_.CloseAll();
  cache_.Close();
  core_.ThreadStatus(CoreThread::kSyslog) = static_cast<int32_t>(status);
  if (TraceLogEnabled) core_.Log('N', "Trace", "Syslog Forwarder thread stopped");
  return status;
}

}  // namespace

uint32_t SyslogForwarderThread(CCVNCore& core) { return ForwarderThread(core).Run(); }

}  // namespace cvn
