#include "core/core_metrics.h"

#include <algorithm>

#include "base/text.h"
#include "core/cvn_core.h"

namespace cvn {

const char* MetricChannelName(MetricChannel which) {
  switch (which) {
    case MetricChannel::kSyslog: return "syslog";
    case MetricChannel::kDb: return "database";
    case MetricChannel::kEmail: return "email";
    case MetricChannel::kPopup: return "popup";
  }
  return "";
}

LogMetrics* LogMetricsTable::Slot(std::u16string_view name) {
  const size_t count = count_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < count; ++i) {
    if (slots_[i].name == name) return &slots_[i];
  }
  if (count == kCapacity) return nullptr;
  // Named before it is published: a reader sees the slot only with its name.
  slots_[count].name = std::u16string(name);
  count_.store(count + 1, std::memory_order_release);
  return &slots_[count];
}

namespace {

// Outputs issued and not yet acknowledged; read in this order, the difference
// is never negative.
uint64_t Unacknowledged(const DeliveryProgress& progress) {
  const uint64_t acknowledged = progress.Acknowledged();
  const uint64_t issued = progress.Issued();
  return issued > acknowledged ? issued - acknowledged : 0;
}

// A label value: backslash, double quote and line feed escaped as the text
// format asks, so that no name can add a line or a label.
std::string LabelValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      default: out += c;
    }
  }
  return out;
}

class Exposition {
 public:
  void Family(const char* name, const char* type, const char* help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += help;
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
  }
  // labels: pairs of name and (unescaped) value.
  void Sample(const char* name, std::initializer_list<std::pair<const char*, std::string>> labels,
              uint64_t value) {
    text_ += name;
    if (labels.size() != 0) {
      text_ += '{';
      bool first = true;
      for (const auto& [label, v] : labels) {
        if (!first) text_ += ',';
        first = false;
        text_ += label;
        text_ += "=\"";
        text_ += LabelValue(v);
        text_ += '"';
      }
      text_ += '}';
    }
    text_ += ' ';
    text_ += std::to_string(value);
    text_ += '\n';
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

constexpr std::array<MetricChannel, kMetricChannelCount> kAllChannels = {
    MetricChannel::kSyslog, MetricChannel::kEmail, MetricChannel::kDb, MetricChannel::kPopup};

}  // namespace

ChannelSnapshot SnapshotChannel(CCVNCore& core, MetricChannel which, int64_t now) {
  const ChannelMetrics& m = core.metrics.Of(which);
  ChannelSnapshot s;
  s.enabled = m.enabled;
  s.delivered = m.delivered;
  s.failed = m.failed;
  s.filtered = m.filtered;
  s.dropped = m.dropped;
  s.up = m.up != 0;
  switch (which) {
    case MetricChannel::kSyslog:
      s.pending = Unacknowledged(core.syslog_queue.Progress()) + core.syslog_cached.load();
      break;
    case MetricChannel::kEmail: s.pending = Unacknowledged(core.email_progress); break;
    case MetricChannel::kDb: s.pending = Unacknowledged(core.db_progress); break;
    case MetricChannel::kPopup: s.pending = core.PopupsWaiting(); break;
  }
  if (which != MetricChannel::kPopup) {
    s.lag = core.channel_figures[static_cast<size_t>(which)].lag;
  }
  int64_t oldest = 0;
  if (const uint32_t taken = m.oldest_taken_time; taken != 0) oldest = now - taken;
  if (const int64_t since = m.cached_since; since != 0) oldest = std::max(oldest, now - since);
  s.oldest_pending_seconds = std::max<int64_t>(oldest, 0);
  return s;
}

std::string RenderMetrics(CCVNCore& core, int64_t now) {
  Exposition out;
  out.Family("corvane_build_info", "gauge", "The service's version.");
  out.Sample("corvane_build_info", {{"version", CVN_PRODUCT_VERSION}}, 1);

  const LogMetricsTable& logs = core.metrics.logs;
  const size_t log_count = logs.Count();
  out.Family("corvane_records_read_total", "counter", "New records read from each event log.");
  for (size_t i = 0; i < log_count; ++i) {
    out.Sample("corvane_records_read_total", {{"log", Utf16ToUtf8(logs.At(i).name)}},
               logs.At(i).read);
  }

  std::array<ChannelSnapshot, kMetricChannelCount> snapshots;
  for (MetricChannel which : kAllChannels) {
    snapshots[static_cast<size_t>(which)] = SnapshotChannel(core, which, now);
  }
  const auto each = [&](auto&& emit) {
    for (MetricChannel which : kAllChannels) {
      emit(MetricChannelName(which), which, snapshots[static_cast<size_t>(which)]);
    }
  };

  out.Family("corvane_channel_records_total", "counter",
             "Records of each channel by outcome: delivered, failed (tried), filtered, dropped "
             "(purged, overwritten in the log or without room).");
  each([&](const char* name, MetricChannel, const ChannelSnapshot& s) {
    out.Sample("corvane_channel_records_total", {{"channel", name}, {"outcome", "delivered"}},
               s.delivered);
    out.Sample("corvane_channel_records_total", {{"channel", name}, {"outcome", "failed"}},
               s.failed);
    out.Sample("corvane_channel_records_total", {{"channel", name}, {"outcome", "filtered"}},
               s.filtered);
    out.Sample("corvane_channel_records_total", {{"channel", name}, {"outcome", "dropped"}},
               s.dropped);
  });
  out.Family("corvane_channel_enabled", "gauge", "1 when the channel is switched on.");
  each([&](const char* name, MetricChannel, const ChannelSnapshot& s) {
    out.Sample("corvane_channel_enabled", {{"channel", name}}, s.enabled ? 1 : 0);
  });
  out.Family("corvane_channel_up", "gauge",
             "1 while the channel's last delivery attempt succeeded, 0 after a failure.");
  each([&](const char* name, MetricChannel, const ChannelSnapshot& s) {
    out.Sample("corvane_channel_up", {{"channel", name}}, s.up ? 1 : 0);
  });
  out.Family("corvane_channel_pending_records", "gauge",
             "Records read and not yet delivered: queued in memory or cached on disk.");
  each([&](const char* name, MetricChannel, const ChannelSnapshot& s) {
    out.Sample("corvane_channel_pending_records", {{"channel", name}}, s.pending);
  });
  out.Family("corvane_channel_oldest_pending_seconds", "gauge",
             "Age of the oldest record the channel has not yet delivered.");
  each([&](const char* name, MetricChannel, const ChannelSnapshot& s) {
    out.Sample("corvane_channel_oldest_pending_seconds", {{"channel", name}},
               static_cast<uint64_t>(s.oldest_pending_seconds));
  });
  out.Family("corvane_channel_lag_records", "gauge",
             "Records of the log after the channel's durable position.");
  for (MetricChannel which : {MetricChannel::kSyslog, MetricChannel::kEmail, MetricChannel::kDb}) {
    for (size_t i = 0; i < log_count; ++i) {
      out.Sample("corvane_channel_lag_records",
                 {{"channel", MetricChannelName(which)}, {"log", Utf16ToUtf8(logs.At(i).name)}},
                 logs.At(i).lag[static_cast<size_t>(which)]);
    }
  }

  const CoreMetrics& m = core.metrics;
  out.Family("corvane_reports_total", "counter", "Scheduled reports by outcome.");
  out.Sample("corvane_reports_total", {{"outcome", "saved"}}, m.reports_saved);
  out.Sample("corvane_reports_total", {{"outcome", "save_failed"}}, m.reports_save_failed);
  out.Sample("corvane_reports_total", {{"outcome", "mailed"}}, m.reports_mailed);
  out.Sample("corvane_reports_total", {{"outcome", "mail_failed"}}, m.reports_mail_failed);
  out.Family("corvane_reloads_total", "counter",
             "Times the worker threads started again with a new configuration.");
  out.Sample("corvane_reloads_total", {}, m.reloads);
  out.Family("corvane_start_time_seconds", "gauge", "When the service first started.");
  out.Sample("corvane_start_time_seconds", {}, core.start_time);
  return out.Take();
}

}  // namespace cvn
