// The service's figures for monitoring: counters that only ever grow for the
// life of the process (a reload or a console's reset of its own counters
// leaves them as they are) and gauges that say where each channel stands.
// Every figure is an atomic, so a scrape reads them without taking any lock
// of the reading or delivering threads; the writers are the threads that do
// the work, at the places where they count for the console.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cvn {

class CCVNCore;

// The channels as the metrics name them; the first three have the indexes
// of Channel.
enum class MetricChannel : int { kSyslog = 0, kDb, kEmail, kPopup };
constexpr size_t kMetricChannelCount = 4;
// "syslog", "database", "email", "popup".
const char* MetricChannelName(MetricChannel which);

struct ChannelMetrics {
  // Whether the channel's switch was on when the threads last started.
  std::atomic<bool> enabled{false};
  std::atomic<uint64_t> delivered{0};
  std::atomic<uint64_t> failed{0};    // tried and not delivered (retried or given up)
  std::atomic<uint64_t> filtered{0};  // kept out by the channel's filter
  std::atomic<uint64_t> dropped{0};   // let go untried: purged, overwritten, no room
  // 1 while the last delivery attempt succeeded, 0 after a failure.
  std::atomic<int32_t> up{1};
  // TimeGenerated (seconds since 1970) of the oldest record the channel has
  // taken and not yet delivered from memory; 0 when none.
  std::atomic<uint32_t> oldest_taken_time{0};
  // Seconds since 1970 since which the channel's disk cache holds records; 0
  // when it is empty.
  std::atomic<int64_t> cached_since{0};

  // One delivery attempt of n records, of which ok arrived.
  void Attempted(uint64_t n, uint64_t ok) {
    delivered += ok;
    failed += n - ok;
    up = ok == n ? 1 : 0;
  }
};

// The figures of one event log. A slot, once named, keeps its name for the
// life of the process, so that its counter never starts again.
struct LogMetrics {
  std::u16string name;
  std::atomic<uint64_t> read{0};  // new records read from the log
  // Records of the log after each channel's durable position (index: Channel).
  std::array<std::atomic<uint64_t>, 3> lag{};
};

class LogMetricsTable {
 public:
  static constexpr size_t kCapacity = 256;

  // The slot of a log, named on first use; null once every slot is named.
  // Only one thread (the reading thread) may call it.
  LogMetrics* Slot(std::u16string_view name);
  // Slots below Count() are named and may be read from any thread.
  size_t Count() const { return count_.load(std::memory_order_acquire); }
  const LogMetrics& At(size_t i) const { return slots_[i]; }

 private:
  std::array<LogMetrics, kCapacity> slots_;
  std::atomic<size_t> count_{0};
};

struct CoreMetrics {
  std::array<ChannelMetrics, kMetricChannelCount> channels;
  LogMetricsTable logs;
  std::atomic<uint64_t> reports_saved{0};
  std::atomic<uint64_t> reports_save_failed{0};
  std::atomic<uint64_t> reports_mailed{0};
  std::atomic<uint64_t> reports_mail_failed{0};
  // Service starts and reloads since the process began.
  std::atomic<uint64_t> reloads{0};

  ChannelMetrics& Of(MetricChannel which) { return channels[static_cast<size_t>(which)]; }
};

// The figures of one channel as a scrape sees them at now (seconds since 1970).
struct ChannelSnapshot {
  bool enabled = false;
  uint64_t delivered = 0, failed = 0, filtered = 0, dropped = 0;
  uint64_t pending = 0;  // read and not yet delivered: in memory or in the cache
  uint64_t lag = 0;      // summed over the logs
  int64_t oldest_pending_seconds = 0;
  bool up = true;
};
ChannelSnapshot SnapshotChannel(CCVNCore& core, MetricChannel which, int64_t now);

// The figures in the Prometheus text exposition format 0.0.4.
constexpr std::string_view kMetricsContentType = "text/plain; version=0.0.4; charset=utf-8";
std::string RenderMetrics(CCVNCore& core, int64_t now);

}  // namespace cvn
