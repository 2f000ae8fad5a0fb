// Senders and the forwarder thread against scripted loopback peers: the
// separators, the close-reopen-resend rule for what a broken connection did
// not take, failures, cache mode with acknowledgements and purge, and the
// trace lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/text.h"
#include "fake_peer.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "platform/message_module.h"
#include "platform/thread.h"
#include "support/temp_dir.h"
#include "syslog/syslog_forwarder.h"

namespace cvn {
namespace {

using syslog_test::Eventually;
using syslog_test::FakePeer;
using syslog_test::FreePort;
using syslog_test::ServiceLogs;

std::string U32(uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}

std::vector<std::string> One(const std::string& m) { return {m}; }

std::string Record(const std::string& m) { return U32(static_cast<uint32_t>(m.size())) + m; }

// A connection that breaks after the system took a number of bytes (the
// reconnection works). On the first connection the server has not
// acknowledged `report` of them, or the system cannot tell (`error` 10045).
struct CutAfter : platform::SocketCalls {
  size_t budget;
  size_t report = 0;
  uint32_t error = 0;
  int connections = 0;
  explicit CutAfter(size_t bytes) : budget(bytes) {}
  int64_t Send(platform::SocketHandle s, const void* data, size_t length, uint32_t* e) override {
    if (budget == 0) {
      budget = SIZE_MAX;
      *e = 10054;
      return -1;
    }
    const size_t n = std::min(length, budget);
    budget = budget == SIZE_MAX ? budget : budget - n;
    return SocketCalls::Send(s, data, n, e);
  }
  uint32_t Connect(platform::SocketHandle s, const platform::SocketAddress& a,
                   uint32_t timeout_ms) override {
    ++connections;
    return SocketCalls::Connect(s, a, timeout_ms);
  }
  uint32_t UnacknowledgedBytes(platform::SocketHandle s, size_t* out) override {
    if (connections > 1 || (error == 0 && report == 0))
      return SocketCalls::UnacknowledgedBytes(s, out);
    *out = report;
    return error;
  }
};

class SyslogForwarderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // On Windows the logs folder is the machine's own, whatever the machine
    // root: start from no log files.
    const std::u16string logs = platform::WithTrailingSeparator(CCVNCore::GetLogsFolder());
    for (const auto& name : platform::FindFiles(logs, u"CVN*.log"))
      platform::RemoveFile(logs + name);
    core_ = std::make_unique<CCVNCore>();
    core_->SetPipeNames(syslog_test::UniquePipeName("server"),
                        syslog_test::UniquePipeName("console"));
    auto& s = core_->Settings();
    s.Syslog_Server.value = u"127.0.0.1";
    s.Syslog_Tcp.value = true;
    s.Syslog_TcpSeparator.value = 2;
    s.General_CacheFolder.value = root_.dir().u16() + u"/cache";
    SetSyslogRetryIntervalForTesting(200);
  }
  void TearDown() override {
    StopThread();
    core_.reset();
    SetSyslogRetryIntervalForTesting(0);
  }

  void StartThread() {
    ASSERT_EQ(core_->InitCore(), 0u);
    thread_ = std::make_unique<platform::Thread>();
    ASSERT_TRUE(thread_->Start([this] { return SyslogForwarderThread(*core_); }));
  }
  void StopThread() {
    if (!thread_) return;
    core_->ThreadStopEvent(CoreThread::kSyslog)->Set();
    EXPECT_TRUE(thread_->Join(10000));
    thread_.reset();
  }
  void Push(const std::string& message) {
    core_->syslog_queue.Push(message);
    if (auto* wake = core_->ThreadWakeEvent(CoreThread::kSyslog)) wake->Set();
  }
  std::filesystem::path CacheFile() const { return root_.dir().path() / "cache" / "syslogs.cache"; }
  cvn::testing::ScopedMachineRoot root_;
  std::unique_ptr<CCVNCore> core_;
  std::unique_ptr<platform::Thread> thread_;
};

TEST(SyslogSenderTest, ServerListErrorTextsAndArgumentErrors) {
  EXPECT_EQ(SplitSyslogServers(u"a, b;c"), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_EQ(SplitSyslogServers(u";; ,x,"), (std::vector<std::string>{"x"}));
  EXPECT_TRUE(SplitSyslogServers(u"").empty());

  EXPECT_EQ(platform::FormatSystemError(0), u"");
  const std::u16string refused = platform::FormatSystemError(10061);
  EXPECT_GT(refused.size(), std::u16string(u" (Error code: 10061)").size());
  EXPECT_TRUE(refused.ends_with(u" (Error code: 10061)")) << Utf16ToUtf8(refused);
  EXPECT_EQ(refused.find(u'\n'), std::u16string::npos);
  EXPECT_EQ(platform::FormatSystemError(0xFFFFFFFEu), u"Error code: -2");

  CSyslogSender sender;
  EXPECT_EQ(sender.Open("127.0.0.1", 0, true, 2, false), -1);
  EXPECT_EQ(sender.LastErrorText(), u"Invalid syslog port number.");
  EXPECT_EQ(sender.Open("", 514, true, 2, false), -1);
  EXPECT_EQ(sender.LastErrorText(), u"Syslog server address is not specified.");
  EXPECT_EQ(sender.SendMessages(std::vector<std::string>{"m"}), 0u);
  EXPECT_EQ(sender.LastErrorText(), u"Syslog sender is not connected.");
}

TEST(SyslogSenderTest, StreamsFrameEveryMessageOnce) {
  // The second message holds a line feed: only a length in front keeps it
  // one message for the receiver.
  const std::vector<std::string> messages = {"<14>one", "<14>t\nwo"};
  const std::pair<int, std::string> framings[] = {{0, std::string("<14>one\0<14>t\nwo\0", 17)},
                                                  {1, "<14>one\r<14>t\nwo\r"},
                                                  {2, "<14>one\n<14>t\nwo\n"},
                                                  {3, "<14>one\r\n<14>t\nwo\r\n"},
                                                  {4, "7 <14>one8 <14>t\nwo"}};
  for (const auto& [separator, bytes] : framings) {
    SCOPED_TRACE(separator);
    FakePeer peer;
    CSyslogSender sender;
    ASSERT_EQ(sender.Open("127.0.0.1", peer.port(), true, separator, false), 0);
    ASSERT_EQ(sender.SendMessages(messages), 2u);
    EXPECT_EQ(messages[0], "<14>one");  // the list itself stays unframed
    ASSERT_TRUE(peer.Accept());
    sender.Close();
    EXPECT_EQ(peer.ReadToEnd(), bytes);
  }
}

// Two servers, the second of which dropped its connection while idle: both
// get the message once, each with one CR LF, and nothing is counted as failed.
TEST_F(SyslogForwarderTest, ADroppedConnectionIsReopenedAndTheMessageSentOnce) {
  FakePeer peer;
  core_->Settings().Syslog_Server.value = u"127.0.0.1;127.0.0.1";
  core_->Settings().Syslog_Port.value = peer.port();
  core_->Settings().Syslog_TcpSeparator.value = 3;
  CSyslogForwarder forwarder(*core_);

  ASSERT_EQ(forwarder.ForwardSyslogBatch(One("m1")), 1u);
  ASSERT_TRUE(peer.Accept());
  EXPECT_EQ(peer.ReadUntil("m1\r\n"), "m1\r\n");
  ASSERT_TRUE(peer.Accept());  // the second server's connection
  EXPECT_EQ(peer.ReadUntil("m1\r\n"), "m1\r\n");
  peer.CloseConnection();
  platform::SleepMs(50);  // let the end of the stream reach the sender

  ASSERT_EQ(forwarder.ForwardSyslogBatch(One("m2")), 1u);
  ASSERT_TRUE(peer.Accept());  // the second server, connected again
  EXPECT_EQ(peer.ReadUntil("m2\r\n"), "m2\r\n");
  forwarder.CloseAll();
  EXPECT_EQ(core_->syslog_sent, 2);
  EXPECT_EQ(core_->syslog_failed, 0);
  EXPECT_EQ(ServiceLogs().find("Failed to send syslog"), std::string::npos);
}

// Paced datagrams still all go, in order: the thread waits for the rate,
// never for ever.
TEST_F(SyslogForwarderTest, PacedDatagramsAllArriveInOrder) {
  platform::ScopedSocket receiver;
  ASSERT_EQ(platform::OpenSocket(platform::AddressFamily::kIPv4, platform::SocketType::kDatagram,
                                 receiver.Receive()),
            0u);
  ASSERT_EQ(platform::BindSocket(receiver.Get(), platform::SocketAddress::Loopback(0)), 0u);
  platform::SocketAddress bound;
  ASSERT_EQ(platform::SocketLocalAddress(receiver.Get(), &bound), 0u);
  ASSERT_EQ(platform::SetSocketReceiveTimeout(receiver.Get(), 5000), 0u);
  auto& s = core_->Settings();
  s.Syslog_Tcp.value = false;
  s.Syslog_Port.value = bound.Port();
  s.Syslog_UdpMaxRate.value = 2000;
  StartThread();
  constexpr int kCount = 300;  // far more than one burst
  for (int i = 0; i < kCount; ++i) Push("m" + std::to_string(i));
  char buffer[64];
  for (int i = 0; i < kCount; ++i) {
    const int64_t n = platform::ReceiveSocket(receiver.Get(), buffer, sizeof buffer);
    ASSERT_GT(n, 0) << i;
    ASSERT_EQ(std::string(buffer, static_cast<size_t>(n)), "m" + std::to_string(i));
  }
  EXPECT_TRUE(Eventually([&] { return core_->syslog_sent == kCount; }));
  EXPECT_EQ(core_->syslog_failed, 0);
}

TEST_F(SyslogForwarderTest, NoServerTakingTheMessageIsCountedAndLogged) {
  core_->Settings().Syslog_Server.value = u"127.0.0.1";
  core_->Settings().Syslog_Port.value = FreePort();
  CSyslogForwarder forwarder(*core_);
  EXPECT_EQ(forwarder.ForwardSyslogBatch(One("m1")), 0u);
  EXPECT_EQ(core_->syslog_failed, 1);
  EXPECT_NE(ServiceLogs().find(",E,"), std::string::npos);
  EXPECT_NE(ServiceLogs().find("Failed to send syslog. [Forwarding to 127.0.0.1] Reason: "),
            std::string::npos);
  EXPECT_NE(ServiceLogs().find("(Error code: 10061)"), std::string::npos) << ServiceLogs();
  platform::LockGuard guard(core_->status_lock);
  EXPECT_TRUE(core_->syslog_last_error.ends_with(u"(Error code: 10061)"));

  core_->Settings().Syslog_Server.value = u"";
  CSyslogForwarder none(*core_);
  EXPECT_EQ(none.ForwardSyslogBatch(One("m1")), 0u);
  EXPECT_EQ(core_->syslog_failed, 2);
}

// With the server down, queued messages are durable once cached, and are
// acknowledged then; the next start is in cache mode; purge drops the file
// and later messages go direct.
TEST_F(SyslogForwarderTest, CachedMessagesAreAcknowledgedAndPurgeDropsTheCache) {
  const uint16_t port = FreePort();
  core_->Settings().Syslog_Port.value = port;
  StartThread();
  Push("q1");
  Push("q2");
  ASSERT_TRUE(Eventually([&] { return core_->syslog_queue.Acknowledged() == 2; }));
  StopThread();
  EXPECT_EQ(core_->syslog_cached, 2u);
  EXPECT_EQ(cvn::testing::ReadFileBytes(CacheFile()),
            std::string("\0\0\0\0CVSC", 8) + U32(16) + U32(2) + Record("q1") + Record("q2"));

  StartThread();  // cache mode, the resend due at once (refused)
  ASSERT_TRUE(Eventually([&] { return core_->syslog_failed >= 3; }));
  core_->SyslogPurgeEvent()->Set();
  ASSERT_TRUE(Eventually([&] { return !std::filesystem::exists(CacheFile()); }));
  EXPECT_EQ(core_->syslog_cached, 0u);

  FakePeer peer(port);
  Push("x");
  ASSERT_TRUE(peer.Accept());
  StopThread();
  EXPECT_EQ(peer.ReadToEnd(), "x\n");
  EXPECT_FALSE(std::filesystem::exists(CacheFile()));
}

// A connection that breaks in the middle of a batch: the messages whose bytes
// the system took count as sent; only the rest is sent again, over a fresh
// connection, so nothing is lost or doubled.
TEST_F(SyslogForwarderTest, ABatchCutShortResendsOnlyWhatWasNotTaken) {
  CutAfter calls(std::string("m1\nm").size());
  platform::ScopedSocketCalls scoped(&calls);
  FakePeer peer;
  core_->Settings().Syslog_Port.value = peer.port();
  CSyslogForwarder forwarder(*core_);
  const std::vector<std::string> batch = {"m1", "m2", "m3"};
  EXPECT_EQ(forwarder.ForwardSyslogBatch(batch), 3u);
  forwarder.CloseAll();
  ASSERT_TRUE(peer.Accept());
  EXPECT_EQ(peer.ReadToEnd(), "m1\nm");  // the first connection, cut inside m2
  ASSERT_TRUE(peer.Accept());
  EXPECT_EQ(peer.ReadToEnd(), "m2\nm3\n");
  EXPECT_EQ(core_->syslog_sent, 3);
  EXPECT_EQ(core_->syslog_failed, 0);
}

// Of what the system took before a connection broke, only the messages whose
// bytes the server acknowledged count as sent; the rest goes again over a
// fresh connection (where the system cannot tell, all that it took counts).
TEST_F(SyslogForwarderTest, OnlyAcknowledgedMessagesCountAsSent) {
  const struct {
    uint32_t error;
    size_t unacknowledged;  // of the 7 bytes taken
    const char* again;      // what the second connection carries
  } cases[] = {{0, 4, "m2\nm3\n"}, {0, 1, "m3\n"}, {10045, 4, "m3\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.again);
    CutAfter calls(std::string("m1\nm2\nm").size());
    calls.error = c.error;
    calls.report = c.unacknowledged;
    platform::ScopedSocketCalls scoped(&calls);
    FakePeer peer;
    core_->Settings().Syslog_Port.value = peer.port();
    core_->syslog_sent = 0;
    CSyslogForwarder forwarder(*core_);
    EXPECT_EQ(forwarder.ForwardSyslogBatch(std::vector<std::string>{"m1", "m2", "m3"}), 3u);
    forwarder.CloseAll();
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(peer.ReadToEnd(), "m1\nm2\nm");
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(peer.ReadToEnd(), c.again);
    EXPECT_EQ(core_->syslog_sent, 3);
  }
}

TEST_F(SyslogForwarderTest, TraceLinesAtStartEveryHundredMessagesAndStop) {
  FakePeer peer;
  core_->Settings().Syslog_Port.value = peer.port();
  TraceLogEnabled = true;
  StartThread();
  for (int i = 0; i < 101; ++i) Push("m" + std::to_string(i));
  ASSERT_TRUE(Eventually([&] { return core_->syslog_sent == 101; }));
  StopThread();
  TraceLogEnabled = false;
  const std::string logs = ServiceLogs();
  EXPECT_NE(logs.find(",N,"), std::string::npos);
  EXPECT_NE(logs.find(",Trace,Syslog Forwarder thread started"), std::string::npos);
  EXPECT_NE(logs.find(",Trace,Syslog forwarder sent 100 syslogs"), std::string::npos) << logs;
  EXPECT_NE(logs.find(",Trace,Syslog Forwarder thread stopped"), std::string::npos);
  ASSERT_TRUE(peer.Accept());
  EXPECT_EQ(peer.ReadUntil("m0\nm1\n").substr(0, 6), "m0\nm1\n");
}

}  // namespace
}  // namespace cvn
