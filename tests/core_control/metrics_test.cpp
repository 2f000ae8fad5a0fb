// The metrics of a started core: served on the configured address, kept for
// the life of the process across console resets and reloads, and written so
// that no log name can add a line or a label.
#include <gtest/gtest.h>

#include <string>

#include "core/core_metrics.h"
#include "core/core_test_util.h"
#include "platform/clock.h"
#include "platform/socket.h"

namespace cvn::core_test {
namespace {

class MetricsTest : public CoreTest {
 protected:
  void Start(const char16_t* address) {
    CCVNSettings settings;
    settings.General_MetricsAddress.value = address;
    WriteSettings(settings);
    core_->SetThreadBody(CoreThread::kPrimary, nullptr);
    core_->SetThreadBody(CoreThread::kSecondary, nullptr);
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
  }

  // The body of GET /metrics from the core's responder.
  std::string Scrape() {
    platform::ScopedSocket s;
    EXPECT_EQ(platform::OpenSocket(platform::AddressFamily::kIPv4, platform::SocketType::kStream,
                                   s.Receive()),
              0u);
    EXPECT_EQ(platform::ConnectSocket(
                  s.Get(), platform::SocketAddress::Loopback(core_->MetricsPort()), kWaitMs),
              0u);
    EXPECT_EQ(platform::SetSocketReceiveTimeout(s.Get(), kWaitMs), 0u);
    const std::string request = "GET /metrics HTTP/1.1\r\n\r\n";
    EXPECT_EQ(platform::SendSocket(s.Get(), request.data(), request.size()),
              static_cast<int64_t>(request.size()));
    std::string got;
    char buf[4096];
    for (int64_t n; (n = platform::ReceiveSocket(s.Get(), buf, sizeof buf)) > 0;) {
      got.append(buf, static_cast<size_t>(n));
    }
    const size_t body = got.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : got.substr(body + 4);
  }
};

TEST_F(MetricsTest, CountersOutliveConsoleResetsAndReloads) {
  Start(u"127.0.0.1:0");
  const uint16_t port = core_->MetricsPort();
  ASSERT_NE(port, 0);
  ChannelMetrics& syslog = core_->metrics.Of(MetricChannel::kSyslog);
  syslog.Attempted(3, 2);  // as the forwarder counts a batch
  core_->syslog_sent = 2;
  core_->syslog_failed = 1;
  ++core_->metrics.reports_saved;
  core_->ResetCounter(1);
  core_->ResetCounter(2);
  ASSERT_EQ(core_->OnNotify(3), 0);  // reload

  EXPECT_EQ(core_->syslog_sent, 0);
  EXPECT_EQ(core_->MetricsPort(), port) << "an unchanged address keeps its listener";
  const std::string text = Scrape();
  for (const char* line : {
           "corvane_channel_records_total{channel=\"syslog\",outcome=\"delivered\"} 2\n",
           "corvane_channel_records_total{channel=\"syslog\",outcome=\"failed\"} 1\n",
           "corvane_channel_up{channel=\"syslog\"} 0\n",
           "corvane_reports_total{outcome=\"saved\"} 1\n",
           "corvane_reloads_total 1\n",
       }) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "in:\n" << text;
  }
  EXPECT_EQ(text.rfind("# HELP corvane_build_info", 0), 0u) << text;
}

TEST_F(MetricsTest, AnAddressThatCannotBeServedIsLoggedAndTheServiceRuns) {
  Start(u"no-such-host.invalid:9273");
  EXPECT_EQ(core_->MetricsPort(), 0);
  EXPECT_TRUE(core_->IsRunning());
  EXPECT_NE(Logs().find("The metrics cannot be served on no-such-host.invalid:9273"),
            std::string::npos)
      << Logs();
}

TEST_F(MetricsTest, ALogNameAddsNoLineOrLabel) {
  CCVNCore& core = *core_;
  LogMetrics* log = core.metrics.logs.Slot(u"odd\"} 1\nx{y=\"\\");
  ASSERT_NE(log, nullptr);
  log->read = 7;
  EXPECT_EQ(core.metrics.logs.Slot(u"odd\"} 1\nx{y=\"\\"), log) << "one slot per name";
  const std::string text = RenderMetrics(core, platform::NowSeconds());
  EXPECT_NE(text.find("corvane_records_read_total{log=\"odd\\\"} 1\\nx{y=\\\"\\\\\"} 7\n"),
            std::string::npos)
      << text;
  // Every line is a comment or starts with a metric name.
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    EXPECT_TRUE(line.rfind("# ", 0) == 0 || line.rfind("corvane_", 0) == 0) << line;
    start = end + 1;
  }
}

TEST_F(MetricsTest, PendingCountsMemoryAndCacheAndAgesFromTheOldest) {
  CCVNCore& core = *core_;
  core.syslog_queue.Push("one");
  core.syslog_queue.Push("two");
  core.SetSyslogCached(3);
  const int64_t now = platform::NowSeconds();
  ChannelSnapshot s = SnapshotChannel(core, MetricChannel::kSyslog, now + 100);
  EXPECT_EQ(s.pending, 5u);
  EXPECT_GE(s.oldest_pending_seconds, 100);
  core.SetSyslogCached(4);  // the cache grew: still as old as its first record
  EXPECT_GE(SnapshotChannel(core, MetricChannel::kSyslog, now + 100).oldest_pending_seconds, 100);

  core.syslog_queue.Acknowledge(2);
  core.SetSyslogCached(0);
  s = SnapshotChannel(core, MetricChannel::kSyslog, now + 100);
  EXPECT_EQ(s.pending, 0u);
  EXPECT_EQ(s.oldest_pending_seconds, 0);

  // Records the reader took and the channel has not made durable.
  core.metrics.Of(MetricChannel::kEmail).oldest_taken_time = static_cast<uint32_t>(now - 30);
  EXPECT_GE(SnapshotChannel(core, MetricChannel::kEmail, now).oldest_pending_seconds, 30);
}

}  // namespace
}  // namespace cvn::core_test
