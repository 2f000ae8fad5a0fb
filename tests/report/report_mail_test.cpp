// Scheduled reports mailed to a real SMTP server (aiosmtpd on 127.0.0.1,
// started per test by the e-mail tests' smtp_peer.py).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/text.h"
#include "core/core_test_util.h"
#include "platform/clock.h"
#include "platform/environment.h"
#include "report/report_schedule.h"
#include "report/report_test_util.h"

namespace cvn::report_test {
namespace {

namespace fs = std::filesystem;

bool Eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 1500 && !done(); ++i) platform::SleepMs(10);
  return done();
}

// One aiosmtpd process; messages land in its folder as msgNNN.* files.
class SmtpPeer {
 public:
  SmtpPeer(const fs::path& dir, std::vector<std::string> flags) : dir_(dir) {
    fs::create_directories(dir);
    pid_ = fork();
    if (pid_ == 0) {
      const std::string out = (dir / "stdout").string();
      if (!freopen(out.c_str(), "a", stdout) || !freopen(out.c_str(), "a", stderr)) _exit(126);
      std::vector<std::string> args = {"/usr/bin/python3", SMTP_PEER_SCRIPT, dir.string()};
      args.insert(args.end(), flags.begin(), flags.end());
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
  }
  ~SmtpPeer() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  uint16_t WaitReady() const {
    std::string text;
    Eventually([&] { return !(text = testing::ReadFileBytes(dir_ / "port")).empty(); });
    return text.empty() ? 0 : static_cast<uint16_t>(std::stoi(text));
  }
  std::string Read(const char* what) const {
    const fs::path facts = dir_ / "msg001.json";
    Eventually([&] { return fs::exists(facts); });
    return testing::ReadFileBytes(dir_ / (std::string("msg001.") + what));
  }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
};

bool Holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class ReportMailTest : public core_test::CoreTest {
 protected:
  void SetUp() override {
    if (std::system("/usr/bin/python3 -c 'import aiosmtpd' >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "python3-aiosmtpd is not installed";
    CoreTest::SetUp();
    const uint32_t now = static_cast<uint32_t>(platform::NowSeconds());
    ASSERT_TRUE(WriteLog(u"RepMail", {TestRecord{now - 120, 1, u"Mailer", u"mailed row", 77}}));
    folder_ = root_.dir().path() / "reports";
    // A scheduled report is due at once: its period began three hours ago.
    core_test::SetStateValue(CCVNCore::kReportPeriodFromValue, now - 3 * 3600);
    settings_.Report_GeneratePeriodically.value = true;  // hourly, the default schedule
    settings_.Report_FolderPath.value = Utf8ToUtf16(folder_.string());
    settings_.Report_SendToEmail.value = true;
    settings_.Report_EmailFromAddress.value = u"corvane@example.test";
    settings_.Report_EmailToAddress.value = u"ops@example.test";
    settings_.Email_Server.value = u"127.0.0.1";
  }

  // Starts the service's core; waits for the catch-up report to be done.
  void RunReport() {
    WriteSettings(settings_);
    report::InstallReports(*core_);
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
    ASSERT_TRUE(Eventually([&] { return core_->next_report_time != 0; }));
  }

  fs::path folder_;
  CCVNSettings settings_;
};

TEST_F(ReportMailTest, DueReportIsSavedAndMailedOverStartTlsWithLogin) {
  SmtpPeer peer(root_.dir().path() / "smtp",
                {"--starttls", "--require-starttls", "--auth", "reporter:s3cret"});
  settings_.Email_Port.value = peer.WaitReady();
  ASSERT_NE(settings_.Email_Port.value, 0);
  settings_.Email_SecureConnection.value = 2;  // STARTTLS
  settings_.Email_TlsCaFile.value = Utf8ToUtf16((root_.dir().path() / "smtp" / "ca.pem").string());
  settings_.Email_AuthType.value = 3;  // LOGIN
  settings_.Email_Username.value = u"reporter";
  settings_.Email_Password.value = u"s3cret";
  RunReport();

  const std::string facts = peer.Read("json");
  EXPECT_TRUE(Holds(facts, "\"tls\": true")) << facts;
  EXPECT_TRUE(Holds(facts, "\"auth_login\": \"reporter\"")) << facts;
  EXPECT_TRUE(Holds(facts, "\"content_type\": \"text/html\"")) << facts;
  EXPECT_TRUE(Holds(facts, "ops@example.test")) << facts;
  EXPECT_TRUE(Holds(peer.Read("subject"),
                    "(" + Utf16ToUtf8(platform::LocalComputerName()) + ") System Events Report: "));
  const std::string body = peer.Read("body");
  EXPECT_TRUE(Holds(body, "EventLog: RepMail (1)")) << body.substr(0, 400);
  EXPECT_TRUE(Holds(body, "mailed row"));
  ASSERT_TRUE(Eventually([&] { return core_->reports_mailed == 1; }));
  EXPECT_EQ(core_->reports_saved, 1);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
  EXPECT_TRUE(Holds(Logs(), "Report sent to email. [ops@example.test]"));
}

TEST_F(ReportMailTest, UnreachableServerStillSavesTheFile) {
  settings_.Email_Port.value = 1;  // nothing listens there
  RunReport();
  ASSERT_TRUE(Eventually([&] { return core_->report_mail_failed == 1; }));
  EXPECT_EQ(core_->reports_saved, 1);
  EXPECT_TRUE(Holds(Logs(),
                    "Failed to send report. [ops@example.test, server: 127.0.0.1] "
                    "Reason: Failed to connect to the e-mail server: error 10061"));
}

// A listening socket that never accepts: a client connects and waits for a
// greeting that does not come.
class SilentServer {
 public:
  SilentServer() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(fd_, 4) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port_ = ntohs(address.sin_port);
    }
  }
  ~SilentServer() { close(fd_); }
  uint16_t port() const { return port_; }

 private:
  int fd_;
  uint16_t port_ = 0;
};

TEST_F(ReportMailTest, MailCutShortByAStopIsSentAtTheNextStartWithoutANewReport) {
  // Due once a day, an hour ago: the period begun three hours ago is due
  // now, the next one only tomorrow.
  const auto now = static_cast<uint32_t>(platform::NowSeconds());
  std::tm hour_ago{};
  ASSERT_TRUE(platform::LocalCalendarTime(now - 3600, hour_ago));
  settings_.Report_ScheduleType.value = report::kScheduleWeekly;
  settings_.Report_ScheduleParameter.value =
      (hour_ago.tm_hour << 6 | hour_ago.tm_min) | 0x7F << 11;  // every day
  SilentServer silent;
  ASSERT_NE(silent.port(), 0);
  settings_.Email_Port.value = silent.port();
  WriteSettings(settings_);
  report::InstallReports(*core_);
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  ASSERT_TRUE(Eventually([&] { return core_->reports_saved == 1; }));
  platform::SleepMs(300);  // the mail waits for the greeting
  core_->StopServer();
  EXPECT_EQ(core_->report_mail_failed, 0);
  const uint32_t end = core_->last_report;
  ASSERT_NE(end, 0u);
  EXPECT_EQ(core_test::GetStateValue(report::kReportMailPendingValue), end);
  EXPECT_EQ(core_test::GetStateValue(CCVNCore::kReportPeriodFromValue), end);  // closed

  SmtpPeer peer(root_.dir().path() / "smtp", {});
  settings_.Email_Port.value = peer.WaitReady();
  ASSERT_NE(settings_.Email_Port.value, 0);
  core_ = std::make_unique<CCVNCore>();
  core_->SetPipeNames(server_pipe_, console_pipe_);
  RunReport();
  EXPECT_TRUE(Holds(peer.Read("body"), "mailed row"));
  ASSERT_TRUE(Eventually([&] { return core_->reports_mailed == 1; }));
  EXPECT_EQ(core_->reports_saved, 0);
  EXPECT_EQ(core_->report_mail_failed, 0);
  EXPECT_EQ(core_test::GetStateValue(report::kReportMailPendingValue), 0u);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 1);
}

}  // namespace
}  // namespace cvn::report_test
