// The forwarder against a real rsyslog on 127.0.0.1, started per test with a
// generated configuration: UDP, TCP with each separator, TLS; a receiver that
// goes down and comes back; a core restart while the receiver is down.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>

#include "base/text.h"
#include "core/event_log_monitor.h"
#include "fake_peer.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "platform/thread.h"
#include "support/temp_dir.h"
#include "syslog/syslog_forwarder.h"

namespace cvn {
namespace {

namespace fs = std::filesystem;

constexpr const char* kRsyslogd = "/usr/sbin/rsyslogd";

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool HaveRsyslog() {
  for (const char* dir : {"/usr/lib/x86_64-linux-gnu/rsyslog", "/usr/lib/aarch64-linux-gnu/rsyslog",
                          "/usr/lib/rsyslog", "/usr/lib64/rsyslog"}) {
    if (fs::exists(fs::path(dir) / "lmnsd_ossl.so") && fs::exists(kRsyslogd)) return true;
  }
  return false;
}

using syslog_test::Eventually;

// What an input of rsyslog listens to.
enum class Input { kUdp, kTcp, kTcpNul, kTls };

// What rsyslog writes of each message it receives, one line each: by default
// the message as a JSON string body (so CR, LF and NUL inside a frame stay
// visible).
constexpr const char* kRawJson = "%rawmsg:::json%";
// How rsyslog parsed the header.
constexpr const char* kParsedFields =
    "%protocol-version%|%hostname%|%programname%|%app-name%|%msgid%|%structured-data%|"
    "%msg:::json%";

// One rsyslogd with one input, writing every message it receives as one
// line of out.log.
class Rsyslog {
 public:
  Rsyslog(const fs::path& dir, Input input, uint16_t port, const std::string& fields = kRawJson)
      : dir_(dir), input_(input), port_(port) {
    fs::create_directories(dir / "work");
    const std::string d = dir.string();
    if (input == Input::kTls) {
      const std::string command = std::string("sh ") + CVN_TEST_CERTIFICATES + " " + d + " >" + d +
                                  "/certificates.log 2>&1";
      if (std::system(command.c_str()) != 0) return;
    }
    std::ofstream conf(dir / "rsyslog.conf");
    conf << "global(workDirectory=\"" << d << "/work\" maxMessageSize=\"64k\"\n"
         << "  parser.escapeControlCharactersOnReceive=\"off\"";
    if (input == Input::kTls) {
      conf << "\n  defaultNetstreamDriverCAFile=\"" << d << "/ca.pem\""
           << "\n  defaultNetstreamDriverCertFile=\"" << d << "/good.pem\""
           << "\n  defaultNetstreamDriverKeyFile=\"" << d << "/good.key\"";
    }
    conf << ")\n"
         << (input == Input::kUdp ? "module(load=\"imudp\")\n" : "") << "module(load=\"imtcp\")\n"
         << "template(name=\"json\" type=\"string\" string=\"" << fields << "\\n\")\n"
         << "ruleset(name=\"out\") { action(type=\"omfile\" file=\"" << d
         << "/out.log\" template=\"json\") }\n";
    // The TCP input also tells when rsyslog is ready (its port file).
    const uint16_t tcp_port = input == Input::kUdp ? 0 : port;
    conf << "input(type=\"imtcp\" address=\"127.0.0.1\" port=\"" << tcp_port
         << "\" listenPortFileName=\"" << d << "/tcp.port\" ruleset=\"out\"";
    if (input == Input::kTcpNul) conf << " addtlFrameDelimiter=\"0\"";
    if (input == Input::kTls) {
      // The client must show a certificate of the test CA for client.test.
      conf << " streamDriver.name=\"ossl\" streamDriver.mode=\"1\""
           << " streamDriver.authMode=\"x509/name\" permittedPeer=[\"client.test\"]";
    }
    conf << ")\n";
    if (input == Input::kUdp) {
      conf << "input(type=\"imudp\" address=\"127.0.0.1\" port=\"" << port
           << "\" ruleset=\"out\")\n";
    }
    conf.close();
    Start();
  }
  ~Rsyslog() { Stop(); }

  void Start() {
    fs::remove(dir_ / "tcp.port");
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string d = dir_.string();
      const std::string conf = d + "/rsyslog.conf", pid = d + "/rsyslogd.pid", out = d + "/stdout";
      freopen(out.c_str(), "a", stdout);
      freopen(out.c_str(), "a", stderr);
      execl(kRsyslogd, kRsyslogd, "-n", "-f", conf.c_str(), "-i", pid.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // The port the forwarder sends to; 0 when rsyslog did not come up. A fixed
  // TCP port is ready when it takes a connection (rsyslog writes the port
  // file only for a port it chose itself).
  uint16_t WaitReady() const {
    for (int i = 0; i < 500; ++i) {
      if (input_ != Input::kUdp && port_ != 0) {
        platform::ScopedSocket probe;
        if (platform::OpenSocket(platform::AddressFamily::kIPv4, platform::SocketType::kStream,
                                 probe.Receive()) == 0 &&
            platform::ConnectSocket(probe.Get(), platform::SocketAddress::Loopback(port_), 1000) ==
                0) {
          return port_;
        }
      } else {
        const std::string text = ReadAll(dir_ / "tcp.port");
        if (!text.empty()) {
          return input_ == Input::kUdp ? port_ : static_cast<uint16_t>(std::stoi(text));
        }
      }
      platform::SleepMs(10);
    }
    return 0;
  }

  // Waits until the output holds expected; returns what it holds.
  std::string WaitForOutput(const std::string& expected) const {
    std::string text;
    Eventually([&] { return (text = ReadAll(dir_ / "out.log")) == expected; });
    return text;
  }
  std::string Diagnostics() const { return ReadAll(dir_ / "stdout"); }

 private:
  fs::path dir_;
  Input input_;
  uint16_t port_;
  pid_t pid_ = -1;
};

class RsyslogForwarderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveRsyslog()) {
      GTEST_SKIP() << "rsyslog with its TLS module is not installed (Debian packages rsyslog, "
                      "rsyslog-openssl); skipping";
    }
    SetSyslogRetryIntervalForTesting(300);
  }
  void TearDown() override { SetSyslogRetryIntervalForTesting(0); }

  std::unique_ptr<CCVNCore> NewCore() {
    auto core = std::make_unique<CCVNCore>();
    core->SetPipeNames(syslog_test::UniquePipeName("server"),
                       syslog_test::UniquePipeName("console"));
    return core;
  }
  static void Configure(CCVNSettings& s, uint16_t port, bool tcp, int separator, bool tls) {
    s.Syslog_Server.value = u"127.0.0.1";
    s.Syslog_Port.value = port;
    s.Syslog_Tcp.value = tcp;
    s.Syslog_TcpSeparator.value = separator;
    s.Syslog_Tls.value = tls;
  }
  // The test CA of an rsyslog with a TLS input, and the client certificate
  // it asks for.
  static void TrustTestCa(CCVNSettings& s, const fs::path& dir) {
    s.Syslog_TlsCaFile.value = Utf8ToUtf16((dir / "ca.pem").string());
    s.Syslog_TlsCertFile.value = Utf8ToUtf16((dir / "client.pem").string());
    s.Syslog_TlsKeyFile.value = Utf8ToUtf16((dir / "client.key").string());
  }
  static void Push(CCVNCore& core, const std::string& message) {
    core.syslog_queue.Push(message);
    core.ThreadWakeEvent(CoreThread::kSyslog)->Set();
  }
  // Saves the settings as the machine's configuration and starts a core with
  // the syslog channel on them; null (with a failure) when it did not start.
  std::unique_ptr<CCVNCore> StartService(const CCVNSettings& settings) {
    const std::u16string path = CCVNCore::GetSettingsFilePath();
    platform::CreateFolderTree(path.substr(0, path.rfind(platform::kPathSeparator)));
    EXPECT_EQ(settings.SaveFile(path), 0);
    auto core = NewCore();
    core->SetThreadBody(CoreThread::kPrimary, PrimaryServerThread);
    syslog::InstallSyslogChannel(*core);
    EXPECT_EQ(core->InitCore(), 0u);
    EXPECT_EQ(core->StartServer(), 0u);
    if (!core->TableReadyEvent()->Wait(10000)) ADD_FAILURE() << "the core did not start";
    return core;
  }
  fs::path CacheFile() const {
    return fs::path(Utf16ToUtf8(CCVNCore::GetCacheFolder())) / "syslogs.cache";
  }

  cvn::testing::ScopedMachineRoot root_;
};

TEST_F(RsyslogForwarderTest, UdpTcpWithEachSeparatorAndTlsArriveByteForByte) {
  struct Case {
    const char* what;
    Input input;
    bool tcp;
    int separator;
    bool tls;
    std::string expected;  // rsyslog's messages, JSON-escaped, one per line
  };
  const std::string one = "<14>Dec  9 07:04:09 Application Test: [1] one \xC3\xA9";
  const std::string two = "<11>Dec  9 07:04:10 System Disk: [7] two\ttab";
  const std::string one_json = "<14>Dec  9 07:04:09 Application Test: [1] one \xC3\xA9";
  const std::string two_json = "<11>Dec  9 07:04:10 System Disk: [7] two\\ttab";
  const std::string lf = "<11>Dec  9 07:04:10 System Disk: [7] line\nbreak";
  const std::string lf_json = "<11>Dec  9 07:04:10 System Disk: [7] line\\nbreak";
  const Case cases[] = {
      {"udp", Input::kUdp, false, 3, false, one_json + "\n" + two_json + "\n"},
      {"tcp nul", Input::kTcpNul, true, 0, false, one_json + "\n" + two_json + "\n"},
      {"tcp cr", Input::kTcp, true, 1, false, one_json + "\\r" + two_json + "\\r\n"},
      {"tcp lf", Input::kTcp, true, 2, false, one_json + "\n" + two_json + "\n"},
      {"tcp cr lf", Input::kTcp, true, 3, false, one_json + "\\r\n" + two_json + "\\r\n"},
      {"tls lf", Input::kTls, false, 2, true, one_json + "\n" + two_json + "\n"},
      // A line feed inside a message: one message, when its length leads it.
      {"tcp octet count", Input::kTcp, true, 4, false, one_json + "\n" + lf_json + "\n"},
      {"tls octet count", Input::kTls, false, 4, true, one_json + "\n" + lf_json + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    cvn::testing::TempDir dir;
    const uint16_t udp_port = syslog_test::FreePort(platform::SocketType::kDatagram);
    Rsyslog rsyslog(dir.path(), c.input, c.input == Input::kUdp ? udp_port : 0);
    const uint16_t port = rsyslog.WaitReady();
    ASSERT_NE(port, 0) << rsyslog.Diagnostics();

    auto core = NewCore();
    Configure(core->Settings(), port, c.tcp, c.separator, c.tls);
    TrustTestCa(core->Settings(), dir.path());
    ASSERT_EQ(core->InitCore(), 0u);
    platform::Thread thread;
    ASSERT_TRUE(thread.Start([&] { return SyslogForwarderThread(*core); }));
    Push(*core, one);
    Push(*core, c.separator == 4 ? lf : two);
    EXPECT_TRUE(Eventually([&] { return core->syslog_sent == 2; })) << syslog_test::ServiceLogs();
    // The thread's stop closes the connection, which ends a frame that no
    // separator rsyslog knows has ended.
    core->ThreadStopEvent(CoreThread::kSyslog)->Set();
    ASSERT_TRUE(thread.Join(10000));
    EXPECT_EQ(rsyslog.WaitForOutput(c.expected), c.expected) << rsyslog.Diagnostics();
    EXPECT_EQ(core->syslog_failed, 0);
    EXPECT_FALSE(fs::exists(CacheFile()));
  }
}

// Receiver down: the messages are cached in order; receiver up again: every
// message arrives once, the cached ones before newer ones.
TEST_F(RsyslogForwarderTest, ReceiverDownThenUpDeliversEveryMessageOnceInOrder) {
  cvn::testing::TempDir dir;
  const uint16_t fixed = syslog_test::FreePort();
  Rsyslog rsyslog(dir.path(), Input::kTcp, fixed);
  ASSERT_EQ(rsyslog.WaitReady(), fixed) << rsyslog.Diagnostics();

  auto core = NewCore();
  Configure(core->Settings(), fixed, true, 2, false);
  ASSERT_EQ(core->InitCore(), 0u);
  platform::Thread thread;
  ASSERT_TRUE(thread.Start([&] { return SyslogForwarderThread(*core); }));
  Push(*core, "<14>m1");
  EXPECT_EQ(rsyslog.WaitForOutput("<14>m1\n"), "<14>m1\n");

  rsyslog.Stop();
  for (const char* m : {"<14>m2", "<14>m3", "<14>m4"}) Push(*core, m);
  ASSERT_TRUE(Eventually([&] { return core->syslog_cached == 3; }));
  // Stored as built: without the separator the transmissions carry.
  const std::string header("\0\0\0\0CVSC\x10\0\0\0\x03\0\0\0", 16);
  const std::string records("\x06\0\0\0<14>m2\x06\0\0\0<14>m3\x06\0\0\0<14>m4", 30);
  EXPECT_EQ(ReadAll(CacheFile()), header + records);

  rsyslog.Start();
  ASSERT_EQ(rsyslog.WaitReady(), fixed) << rsyslog.Diagnostics();
  Push(*core, "<14>m5");
  const std::string all = "<14>m1\n<14>m2\n<14>m3\n<14>m4\n<14>m5\n";
  EXPECT_EQ(rsyslog.WaitForOutput(all), all) << rsyslog.Diagnostics();
  EXPECT_TRUE(Eventually([&] { return !fs::exists(CacheFile()); }));
  EXPECT_EQ(core->syslog_cached, 0u);
  core->ThreadStopEvent(CoreThread::kSyslog)->Set();
  ASSERT_TRUE(thread.Join(10000));
  EXPECT_EQ(core->syslog_sent, 5);
}

// With the default check, a receiver whose certificate the system's roots do
// not vouch for gets nothing: the messages wait in the cache, the reason is
// given in words, and once its CA is trusted they all arrive.
TEST_F(RsyslogForwarderTest, UntrustedReceiverGetsNothingUntilItsCaIsTrusted) {
  cvn::testing::TempDir dir;
  Rsyslog rsyslog(dir.path(), Input::kTls, 0);
  const uint16_t port = rsyslog.WaitReady();
  ASSERT_NE(port, 0) << rsyslog.Diagnostics();
  const auto run = [&](bool trusted, const std::string& message) {
    auto core = NewCore();
    Configure(core->Settings(), port, false, 2, true);
    TrustTestCa(core->Settings(), dir.path());
    if (!trusted) core->Settings().Syslog_TlsCaFile.value.clear();
    EXPECT_EQ(core->InitCore(), 0u);
    platform::Thread thread;
    EXPECT_TRUE(thread.Start([&] { return SyslogForwarderThread(*core); }));
    Push(*core, message);
    if (trusted) {
      EXPECT_TRUE(Eventually([&] { return core->syslog_sent == 2; }));
    } else {
      EXPECT_TRUE(Eventually([&] { return core->syslog_cached == 1; }));
      EXPECT_NE(Utf16ToUtf8(core->syslog_last_error).find("certificate verify failed"),
                std::string::npos)
          << Utf16ToUtf8(core->syslog_last_error);
    }
    core->ThreadStopEvent(CoreThread::kSyslog)->Set();
    EXPECT_TRUE(thread.Join(10000));
  };
  run(false, "<14>refused");
  run(true, "<14>trusted");
  const std::string both = "<14>refused\n<14>trusted\n";
  EXPECT_EQ(rsyslog.WaitForOutput(both), both) << rsyslog.Diagnostics();
}

// Records whose messages could be neither sent (the receiver is down) nor
// cached (the cache folder cannot be created) are not durable at the stop:
// the bookmark stays before them, and the next start reads them again and
// delivers each once, in order.
TEST_F(RsyslogForwarderTest, RecordsNotDurableAtTheStopAreReadAgainAfterTheRestart) {
  constexpr std::u16string_view kLog = u"CvnSyslogAgain";
  ASSERT_EQ(platform::CreateEventLog(kLog), 0u);
  platform::EventSource source;
  ASSERT_EQ(source.Register(kLog), 0u);
  cvn::testing::TempDir dir;
  const uint16_t fixed = syslog_test::FreePort();
  CCVNSettings settings;
  Configure(settings, fixed, true, 2, false);
  settings.Syslog_Forward.value = true;
  const std::string blocker = (dir.path() / "not-a-folder").string();
  std::ofstream(blocker) << "x";
  settings.General_CacheFolder.value = Utf8ToUtf16(blocker + "/cache");
  const std::u16string settings_path = CCVNCore::GetSettingsFilePath();
  platform::CreateFolderTree(
      settings_path.substr(0, settings_path.rfind(platform::kPathSeparator)));
  ASSERT_EQ(settings.SaveFile(settings_path), 0);
  const auto start = [&] {
    auto core = NewCore();
    core->SetThreadBody(CoreThread::kPrimary, PrimaryServerThread);
    syslog::InstallSyslogChannel(*core);
    EXPECT_EQ(core->InitCore(), 0u);
    EXPECT_EQ(core->StartServer(), 0u);
    EXPECT_TRUE(core->TableReadyEvent()->Wait(10000));
    return core;
  };

  auto core = start();
  for (const char16_t* text : {u"r1", u"r2", u"r3"}) {
    const std::vector<std::u16string> strings = {text};
    ASSERT_EQ(source.Report(platform::kEventTypeInformation, 0, 1, {}, strings, {}), 0u);
  }
  ASSERT_TRUE(Eventually([&] { return core->syslog_failed >= 3; }));
  core->StopServer();
  core->ReleaseCore();
  EXPECT_NE(syslog_test::ServiceLogs().find("The syslog cache file cannot be created"),
            std::string::npos);

  settings.General_CacheFolder.value = u"";
  ASSERT_EQ(settings.SaveFile(settings_path), 0);
  Rsyslog rsyslog(dir.path() / "rsyslog", Input::kTcp, fixed);
  ASSERT_EQ(rsyslog.WaitReady(), fixed) << rsyslog.Diagnostics();
  core = start();
  std::string out;
  const auto lines = [&] {
    out = ReadAll(dir.path() / "rsyslog" / "out.log");
    return std::count(out.begin(), out.end(), '\n');
  };
  EXPECT_TRUE(Eventually([&] { return lines() >= 3; })) << syslog_test::ServiceLogs();
  platform::SleepMs(300);  // nothing more follows
  ASSERT_EQ(lines(), 3) << out;
  const size_t r1 = out.find("r1"), r2 = out.find("r2"), r3 = out.find("r3");
  EXPECT_TRUE(r1 < r2 && r2 < r3 && r3 != std::string::npos) << out;
  core->StopServer();
  core->ReleaseCore();
}

// End to end through the core: a record written to a watched log is built
// into a syslog message by the channel that InstallSyslogChannel registers,
// and arrives at rsyslog.
TEST_F(RsyslogForwarderTest, RecordWrittenToAWatchedLogArrives) {
  constexpr std::u16string_view kLog = u"CvnSyslogLog";
  constexpr std::u16string_view kSource = u"CvnSyslogSource";
  ASSERT_EQ(platform::CreateEventLog(kLog), 0u);
  ASSERT_EQ(platform::AddEventSource(kLog, kSource, {}), 0u);
  platform::EventSource source;
  ASSERT_EQ(source.Register(kSource), 0u);
  const std::vector<std::u16string> older = {u"older"};
  ASSERT_EQ(source.Report(platform::kEventTypeInformation, 0, 1, {}, older, {}), 0u);

  cvn::testing::TempDir dir;
  Rsyslog rsyslog(dir.path(), Input::kTcp, 0);
  const uint16_t port = rsyslog.WaitReady();
  ASSERT_NE(port, 0) << rsyslog.Diagnostics();
  CCVNSettings settings;
  Configure(settings, port, true, 2, false);
  settings.Syslog_Forward.value = true;
  auto core = StartService(settings);
  const std::vector<std::u16string> strings = {u"written for syslog"};
  ASSERT_EQ(source.Report(platform::kEventTypeWarning, 0, 4242, {}, strings, {}), 0u);

  std::string out;
  EXPECT_TRUE(Eventually([&] {
    out = ReadAll(dir.path() / "out.log");
    return out.find("written for syslog") != std::string::npos;
  })) << out
      << syslog_test::ServiceLogs();
  // Facility 16, a warning: PRI 132; then the default template.
  EXPECT_EQ(out.rfind("<132>", 0), 0u) << out;
  EXPECT_NE(out.find(" CvnSyslogLog CvnSyslogSource: [4242] "), std::string::npos) << out;
  EXPECT_EQ(out.find("older"), std::string::npos) << out;
  core->StopServer();
  core->ReleaseCore();
}

// rsyslog takes the computer's name as the host name with either header that
// carries one; with version 1 headers it also reads the version, the event
// id as the message id and the record's fields as structured data.
TEST_F(RsyslogForwarderTest, ReceiverReadsTheHostNameAndTheStructuredData) {
  const std::string host = Utf16ToUtf8(platform::LocalComputerName());
  ASSERT_FALSE(host.empty());
  const struct {
    int header;
    const char16_t* log;
    const char16_t* source;
    std::string parsed;  // up to the structured data
  } cases[] = {
      {1, u"CvnHeaderLog1", u"CvnHeaderSource1",
       "0|" + host + "|CvnHeaderSource1|CvnHeaderSource1|-|-| [4242] "},
      {2, u"CvnHeaderLog2", u"CvnHeaderSource2",
       "1|" + host +
           "|CvnHeaderSource2|CvnHeaderSource2|4242|[event@32473 log=\"CvnHeaderLog2\" "
           "source=\"CvnHeaderSource2\" eventId=\"4242\" type=\"Warning\" recordNumber=\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    ASSERT_EQ(platform::CreateEventLog(c.log), 0u);
    ASSERT_EQ(platform::AddEventSource(c.log, c.source, {}), 0u);
    platform::EventSource source;
    ASSERT_EQ(source.Register(c.source), 0u);
    cvn::testing::TempDir dir;
    Rsyslog rsyslog(dir.path(), Input::kTcp, 0, kParsedFields);
    const uint16_t port = rsyslog.WaitReady();
    ASSERT_NE(port, 0) << rsyslog.Diagnostics();
    CCVNSettings settings;
    Configure(settings, port, true, 4, false);
    settings.Syslog_Forward.value = true;
    settings.Syslog_Header.value = c.header;
    // The tag of a traditional header is the first word after the host name.
    settings.Syslog_Format.value = u"%SOURCE%: [%EVENT_ID%] %DESCRIPTION%";
    auto core = StartService(settings);
    const std::vector<std::u16string> strings = {u"two\nlines"};
    ASSERT_EQ(source.Report(platform::kEventTypeWarning, 0, 4242, {}, strings, {}), 0u);

    std::string out;
    EXPECT_TRUE(Eventually([&] {
      out = ReadAll(dir.path() / "out.log");
      return out.find("two") != std::string::npos;
    })) << out
        << syslog_test::ServiceLogs();
    EXPECT_EQ(out.substr(0, c.parsed.size()), c.parsed) << out;
    if (c.header == 2) {
      // The text is marked as UTF-8.
      EXPECT_NE(out.find(" computer=\"" + host +
                         "\"]|\xEF\xBB\xBF"
                         "CvnHeaderSource2: [4242] "),
                std::string::npos)
          << out;
    }
    EXPECT_TRUE(out.ends_with("two.lines\n")) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    core->StopServer();
    core->ReleaseCore();
  }
}

}  // namespace
}  // namespace cvn
