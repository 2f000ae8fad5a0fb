// The SMTP client and the e-mail channel against a real SMTP server
// (aiosmtpd on 127.0.0.1, started per test): each security mode with AUTH
// LOGIN and AUTH PLAIN, what the server received decoded by Python's email
// package, the consolidation rules, a server that comes up late, and a record
// written to a watched log arriving as an e-mail.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/text.h"
#include "core/event_log_monitor.h"
#include "email/email_forwarder.h"
#include "email/smtp_client.h"
#include "email_fixture.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "scripted_smtp_peer.h"

namespace cvn {
namespace {

namespace fs = std::filesystem;
using email_test::Eventually;

constexpr const char* kPython = "/usr/bin/python3";

bool HaveAiosmtpd() {
  return std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") == 0;
}

std::string ReadAll(const fs::path& p) { return cvn::testing::ReadFileBytes(p); }

// One aiosmtpd process with the flags of smtp_peer.py.
class SmtpPeer {
 public:
  SmtpPeer(const fs::path& dir, std::vector<std::string> flags) : dir_(dir) {
    fs::create_directories(dir);
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string out = (dir / "stdout").string();
      freopen(out.c_str(), "a", stdout);
      freopen(out.c_str(), "a", stderr);
      std::vector<std::string> args = {kPython, SMTP_PEER_SCRIPT, dir.string()};
      args.insert(args.end(), flags.begin(), flags.end());
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(kPython, argv.data());
      _exit(127);
    }
  }
  ~SmtpPeer() { Stop(); }

  // The port, once the server listens; 0 when it did not come up.
  uint16_t WaitReady() const {
    std::string text;
    Eventually([&] { return !(text = ReadAll(dir_ / "port")).empty(); });
    return text.empty() ? 0 : static_cast<uint16_t>(std::stoi(text));
  }
  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  // Message n (from 1) as the server saw it; waits for it.
  struct Received {
    std::string facts;  // JSON
    std::string subject;
    std::string body;
    std::string data;
  };
  bool WaitForMessages(size_t count) const {
    return Eventually([&] { return fs::exists(Name(count) + ".json"); });
  }
  Received Message(size_t n) const {
    return {ReadAll(Name(n) + ".json"), ReadAll(Name(n) + ".subject"), ReadAll(Name(n) + ".body"),
            ReadAll(Name(n) + ".eml")};
  }
  std::string Diagnostics() const { return ReadAll(dir_ / "stdout"); }

 private:
  std::string Name(size_t n) const {
    char name[16];
    std::snprintf(name, sizeof name, "msg%03zu", n);
    return (dir_ / name).string();
  }

  fs::path dir_;
  pid_t pid_ = -1;
};

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class AiosmtpdTest : public email_test::EmailFixture {
 protected:
  void SetUp() override {
    if (!HaveAiosmtpd()) GTEST_SKIP() << "aiosmtpd is not installed (python3-aiosmtpd); skipping";
    EmailFixture::SetUp();
  }
  // A server of its own in a fresh folder.
  std::unique_ptr<SmtpPeer> StartPeer(std::vector<std::string> flags) {
    auto peer = std::make_unique<SmtpPeer>(dir_.path() / std::to_string(peers_++), flags);
    port_ = peer->WaitReady();
    EXPECT_NE(port_, 0) << peer->Diagnostics();
    settings().Email_Port.value = port_;
    // The CA of the server's certificate, when it speaks TLS.
    ca_file_ = Utf8ToUtf16((dir_.path() / std::to_string(peers_ - 1) / "ca.pem").string());
    settings().Email_TlsCaFile.value = ca_file_;
    return peer;
  }

  cvn::testing::TempDir dir_;
  int peers_ = 0;
  uint16_t port_ = 0;
  std::u16string ca_file_;
};

TEST_F(AiosmtpdTest, EachSecurityModeAndAuthenticationDeliversWhatWasComposed) {
  struct Case {
    const char* what;
    std::vector<std::string> flags;
    int mode;
    int auth;
  };
  const std::vector<Case> cases = {
      {"plain", {}, kSmtpPlain, kSmtpAuthNone},
      {"TLS first, AUTH PLAIN",
       {"--smtps", "--auth", "tester:s3cret", "--auth-plaintext"},
       kSmtpTlsFirst,
       kSmtpAuthPlain},
      {"STARTTLS, AUTH LOGIN",
       {"--starttls", "--require-starttls", "--auth", "tester:s3cret"},
       kSmtpStartTls,
       kSmtpAuthLogin},
      {"STARTTLS, detected",
       {"--starttls", "--auth", "tester:s3cret"},
       kSmtpStartTls,
       kSmtpAuthDetect},
  };
  const std::u16string long_subject =
      u"\u00c9v\u00e9nement critique: le disque syst\u00e8me est presque plein \u2014 "
      u"v\u00e9rifiez";
  const std::vector<std::u16string> subjects = {u"Plain ASCII subject", u"caf\u00e9", long_subject};
  const std::u16string body = u"first line\r\n.leading dot\r\n..two dots\r\nlone\nLF\r\n.";
  const std::string body_seen = "first line\r\n.leading dot\r\n..two dots\r\nlone\r\nLF\r\n.\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto peer = StartPeer(c.flags);
    CSTEMail2 client("127.0.0.1", port_, c.mode);
    client.SetPeerCheck(EmailPeerCheck(settings()));
    ASSERT_EQ(client.Connect(c.auth, "tester", "s3cret"), 0u) << peer->Diagnostics();
    EXPECT_EQ(client.authenticated(), c.auth != kSmtpAuthNone);
    if (c.mode != kSmtpPlain) {
      EXPECT_TRUE(Holds(client.TlsProtocol(), "TLSv1.")) << client.TlsProtocol();
    }
    for (const std::u16string& subject : subjects) {
      EXPECT_EQ(client.SendMail("me@example.test", "a@example.test; nobody, b@example.test",
                                subject, body, "text/plain"),
                0u);
    }
    EXPECT_EQ(client.Quit(), 0u);
    ASSERT_TRUE(peer->WaitForMessages(subjects.size())) << peer->Diagnostics();
    for (size_t i = 0; i < subjects.size(); ++i) {
      const SmtpPeer::Received m = peer->Message(i + 1);
      EXPECT_EQ(m.subject, Utf16ToUtf8(subjects[i]));
      EXPECT_EQ(m.body, body_seen);
      EXPECT_TRUE(Holds(m.facts, "\"rcpt_tos\": [\"a@example.test\", \"b@example.test\"]"))
          << m.facts;
      EXPECT_TRUE(Holds(m.facts, "\"mail_from\": \"me@example.test\"")) << m.facts;
      EXPECT_TRUE(Holds(m.facts, c.mode == kSmtpPlain ? "\"tls\": false" : "\"tls\": true"));
      if (c.auth != kSmtpAuthNone) {
        EXPECT_TRUE(Holds(m.facts, "\"auth_login\": \"tester\""));
      }
    }
    // A body above U+007F goes as UTF-8 and is decoded back.
    ASSERT_EQ(client.Connect(c.auth, "tester", "s3cret"), 0u);
    EXPECT_EQ(
        client.SendMail("me@example.test", "a@example.test", u"s", u"\u00e9t\u00e9", "text/html"),
        0u);
    client.Quit();
    ASSERT_TRUE(peer->WaitForMessages(subjects.size() + 1));
    const SmtpPeer::Received utf8 = peer->Message(subjects.size() + 1);
    EXPECT_EQ(utf8.body, "\xC3\xA9t\xC3\xA9\r\n");
    EXPECT_TRUE(Holds(utf8.facts, "\"content_type\": \"text/html\", \"charset\": \"utf-8\""));
  }
}

TEST_F(AiosmtpdTest, RefusalsOfAuthenticationAndStartTls) {
  {
    auto peer = StartPeer({"--starttls", "--auth", "tester:s3cret"});
    CSTEMail2 client("127.0.0.1", port_, kSmtpStartTls);
    client.SetPeerCheck(EmailPeerCheck(settings()));
    EXPECT_EQ(client.Connect(kSmtpAuthPlain, "tester", "wrong"), kSmtpAuthFailed);
    EXPECT_FALSE(client.ready());
  }
  {
    // A certificate for another name: the session ends before AUTH.
    auto peer = StartPeer({"--starttls", "--wrong-cert", "--auth", "tester:s3cret"});
    CSTEMail2 client("127.0.0.1", port_, kSmtpStartTls);
    client.SetPeerCheck(EmailPeerCheck(settings()));
    EXPECT_NE(client.Connect(kSmtpAuthPlain, "tester", "s3cret"), 0u);
    EXPECT_FALSE(client.authenticated());
    EXPECT_TRUE(
        Holds(client.failure_text(), "the certificate is for attacker.invalid, not 127.0.0.1"))
        << client.failure_text();
  }
  // A plain server offers neither STARTTLS nor AUTH: detection goes on
  // without authentication, LOGIN alone is refused.
  auto peer = StartPeer({});
  CSTEMail2 client("127.0.0.1", port_, kSmtpStartTls);
  EXPECT_EQ(client.Connect(kSmtpAuthNone, "", ""), kSmtpNoStartTls);
  CSTEMail2 plain("127.0.0.1", port_, kSmtpPlain);
  EXPECT_EQ(plain.Connect(kSmtpAuthDetect, "tester", "s3cret"), 0u);
  EXPECT_FALSE(plain.authenticated());
  plain.Quit();
  EXPECT_EQ(plain.Connect(kSmtpAuthLogin, "tester", "s3cret"), kSmtpAuthFailed);
}

TEST_F(AiosmtpdTest, ConsolidationZeroSendsEachRecordOverOneConnection) {
  auto peer = StartPeer({});
  settings().Email_Consolidation.value = 0;
  for (int i = 1; i <= 10; ++i) Dispatch(u"Disk", u"record " + Utf8ToUtf16(std::to_string(i)));
  StartThread();
  ASSERT_TRUE(peer->WaitForMessages(10)) << ServiceLogs();
  EXPECT_TRUE(Eventually([&] { return core_->email_progress.Acknowledged() == 10; }));
  EXPECT_EQ(core_->email_sent, 10);
  for (size_t i = 1; i <= 10; ++i) {
    const SmtpPeer::Received m = peer->Message(i);
    EXPECT_TRUE(Holds(m.facts, "\"connection\": 1,")) << m.facts;
    EXPECT_EQ(m.subject, "Disk: 1 event(s)");
    EXPECT_EQ(m.body, "[1]\r\nrecord " + std::to_string(i) + "\r\n-- 1\r\n\r\n");
  }
  EXPECT_EQ(core_->email_failed, 0);
}

TEST_F(AiosmtpdTest, ConsolidatedRecordsShareOneMessageAndItsCount) {
  auto peer = StartPeer({});
  settings().Email_Consolidation.value = 2;
  Dispatch(u"First", u"one");
  Dispatch(u"Second", u"two");
  Dispatch(u"Third", u"three");
  StartThread();
  ASSERT_TRUE(peer->WaitForMessages(1)) << ServiceLogs();
  const SmtpPeer::Received m = peer->Message(1);
  EXPECT_EQ(m.subject, "First: 3 event(s)");
  EXPECT_EQ(m.body, "[3]\r\none\r\ntwo\r\nthree\r\n-- 3\r\n\r\n");
}

TEST_F(AiosmtpdTest, HourlyLimitMergesWhatArrivesDuringTheInterval) {
  auto peer = StartPeer({});
  settings().Email_Consolidation.value = 3;
  settings().Email_TimesPerHour.value = 3600;  // one message a second
  StartThread();
  Dispatch(u"A", u"one");
  Dispatch(u"B", u"two");
  ASSERT_TRUE(peer->WaitForMessages(1)) << ServiceLogs();
  Dispatch(u"C", u"three");
  ASSERT_TRUE(peer->WaitForMessages(2)) << ServiceLogs();
  EXPECT_EQ(peer->Message(1).body, "[2]\r\none\r\ntwo\r\n-- 2\r\n\r\n");
  EXPECT_EQ(peer->Message(2).subject, "C: 1 event(s)");
}

TEST_F(AiosmtpdTest, ServerThatComesUpBetweenAttemptsLosesNoMessage) {
  SetEmailConnectRetryForTesting(1500);
  const uint16_t port = email_test::FreePort();
  settings().Email_Port.value = port;
  Dispatch(u"A", u"early");
  StartThread();
  platform::SleepMs(300);  // the first attempt has failed by now
  SmtpPeer peer(dir_.path() / "late", {"--port", std::to_string(port)});
  ASSERT_EQ(peer.WaitReady(), port) << peer.Diagnostics();
  ASSERT_TRUE(peer.WaitForMessages(1)) << ServiceLogs();
  EXPECT_EQ(peer.Message(1).body, "[1]\r\nearly\r\n-- 1\r\n\r\n");
  EXPECT_EQ(core_->email_failed, 0);
  EXPECT_FALSE(Holds(ServiceLogs(), "Failed to send e-mail"));
}

// End to end: a record written to a watched log passes the channel that
// InstallEmailChannel registers and arrives as an e-mail; the status shows it.
TEST_F(AiosmtpdTest, RecordWrittenToAWatchedLogArrives) {
  auto peer = StartPeer({"--starttls", "--require-starttls", "--auth", "tester:s3cret"});
  core_.reset();  // the service's own core below
  constexpr std::u16string_view kLog = u"CvnEmailLog";
  ASSERT_EQ(platform::CreateEventLog(kLog), 0u);
  platform::EventSource source;
  ASSERT_EQ(source.Register(kLog), 0u);
  CCVNSettings s;
  s.Email_Forward.value = true;
  s.Email_Server.value = u"127.0.0.1";
  s.Email_Port.value = port_;
  s.Email_SecureConnection.value = kSmtpStartTls;
  s.Email_TlsCaFile.value = ca_file_;
  s.Email_AuthType.value = kSmtpAuthLogin;
  s.Email_Username.value = u"tester";
  s.Email_Password.value = u"s3cret";
  s.Email_From.value = u"service@example.test";
  s.Email_To.value = u"ops@example.test";
  const std::u16string path = CCVNCore::GetSettingsFilePath();
  platform::CreateFolderTree(path.substr(0, path.rfind(platform::kPathSeparator)));
  ASSERT_EQ(s.SaveFile(path), 0);

  auto core = std::make_unique<CCVNCore>();
  core->SetPipeNames(email_test::UniquePipeName("server"), email_test::UniquePipeName("console"));
  core->SetThreadBody(CoreThread::kPrimary, PrimaryServerThread);
  email::InstallEmailChannel(*core);
  ASSERT_EQ(core->InitCore(), 0u);
  ASSERT_EQ(core->StartServer(), 0u);
  ASSERT_TRUE(core->TableReadyEvent()->Wait(10000));
  EXPECT_EQ(core->ShownThreadStatus(CoreThread::kEmail), 0);
  const std::vector<std::u16string> strings = {u"written for e-mail"};
  ASSERT_EQ(source.Report(platform::kEventTypeWarning, 0, 4242, {}, strings, {}), 0u);
  ASSERT_TRUE(peer->WaitForMessages(1)) << ServiceLogs();
  EXPECT_TRUE(Holds(peer->Message(1).body, "written for e-mail")) << peer->Message(1).body;
  EXPECT_TRUE(Holds(peer->Message(1).facts, "\"tls\": true"));
  EXPECT_TRUE(Eventually([&] { return core->email_sent == 1; }));
  EXPECT_EQ(core->email_counter, 1u);
  core->StopServer();
  core->ReleaseCore();
}

}  // namespace
}  // namespace cvn
