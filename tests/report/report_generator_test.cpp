// The generator over real (emulated) event logs, scheduled reports with their
// files, pruning, mail failures and catch-up, and custom reports asked for by
// a console on the real pipes.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "base/text.h"
#include "control/ctrl_protocol.h"
#include "core/core_test_util.h"
#include "platform/clock.h"
#include "platform/file.h"
#include "report/report_schedule.h"
#include "report/report_test_util.h"
#include "tools/cvnconsole/console_session.h"

namespace cvn::report_test {
namespace {

namespace fs = std::filesystem;
using core_test::kWaitMs;

const uint32_t kDec7 = 1481068800;  // 2016-12-07 00:00 UTC
const uint32_t kDec8 = kDec7 + 86400;

class ReportTest : public core_test::CoreTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(UseTimeZone("UTC0"));
    CoreTest::SetUp();
    if (!WriteLog(u"RepProbe", {TestRecord{kDec7, 4, u"Probe", u"probe", 1}})) {
      GTEST_SKIP() << "records with chosen times cannot be written: this system only stubs "
                      "the classic event log (Wine); the posix store carries these tests";
    }
    report::InstallReports(*core_);
    core_->SetThreadBody(CoreThread::kPrimary, nullptr);  // the tests set what it keeps
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
    core_->TableReadyEvent()->Set();
    folder_ = root_.dir().path() / "reports";
    settings().Report_FolderPath.value = Utf8ToUtf16(folder_.string());
    settings().General_DateFormat.value = 9;
    settings().General_TimeFormat.value = 2;
  }

  CCVNSettings& settings() { return core_->Settings(); }

  std::string Generate(const std::vector<std::u16string>* logs, uint32_t from = kDec7,
                       uint32_t to = kDec8 + 86400) {
    std::u16string document;
    std::string period;
    core_->GenerateReport(from, to, logs, document, period);
    return Utf16ToUtf8(document);
  }

  std::vector<std::string> ReportFiles() {
    std::vector<std::string> names;
    if (!fs::exists(folder_)) return names;
    for (const auto& e : fs::directory_iterator(folder_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path folder_;
};

// Positions of texts that must come in this order.
void ExpectInOrder(const std::string& doc, const std::vector<std::string>& texts) {
  size_t at = 0;
  for (const std::string& t : texts) {
    const size_t found = doc.find(t, at);
    ASSERT_NE(found, std::string::npos) << "missing after " << at << ": " << t;
    at = found + t.size();
  }
}

TEST_F(ReportTest, SectionsDayGroupsAndRowsInDocumentOrder) {
  ASSERT_TRUE(WriteLog(u"RepA", {{kDec7 + 3600, 1, u"Disk", u"first"},
                                 {kDec7 + 7200, 2, u"Disk", u"second"},
                                 {kDec8 + 60, 16, u"Auth", u"third"},
                                 {kDec8 + 120, 8, u"Auth", u"fourth"},
                                 {kDec8 + 86400 + 5, 4, u"Disk", u"after the period"}}));
  ASSERT_TRUE(WriteLog(u"RepB", {{kDec8 + 30, 0, u"Other", u"only"}}));
  ASSERT_TRUE(WriteLog(u"RepEmpty", {{kDec7 - 10, 4, u"Old", u"before the period"}}));
  const std::vector<std::u16string> logs = {u"RepA", u"RepEmpty", u"RepB"};
  const std::string doc = Generate(&logs);

  ExpectInOrder(
      doc,
      {"<title>Syslog Report</title>", "<h5>Friday, December 09, 2016 00:00:00</h5>",
       "Period: <strong>2 days </strong> (2016-12-07 00:00:00 &ndash; "
       "2016-12-08 23:59:59)",
       "<strong>3</strong> total analyzed (<strong>2</strong> have records",
       "Events within the period: <strong>5</strong>", "<td>Errors: <strong>1</strong></td>",
       "<td>Warnings: <strong>1</strong>", "<td>Information: <strong>1</strong>",
       "<td>Audit Fail: <strong>1</strong>", "<td>Audit Success: <strong>1</strong>",
       // The last log of the list comes first.
       "<h2 id=\"log3\">", "EventLog: RepB (1)</h2>", "<h2 id=\"log2\">",
       "EventLog: RepEmpty (0)</h2>\r\n<div class=\"log_sources\">"
       "\r\n\r\n</div>\r\n<table class=\"log_summary\">\r\n</table>\r\n<h2 id=\"log1\">",
       "EventLog: RepA (4)</h2>", "Disk(<strong>2</strong>),&nbsp;&nbsp;Auth(<strong>2</strong>)",
       "ShowHideEvents(1,'err_ev',checked);\" />Errors:", "<table class=\"eventlog_table\">",
       "<strong>Wednesday, December 07, 2016</strong>",
       "<tr class=\"err_ev\"><td>2016-12-07</td><td>01:00:00</td><td>Err</td>"
       "<td>Disk</td><td>1000</td><td></td>\r\n<td>",
       "first", "<tr class=\"warn_ev\">", "second", "<strong>Thursday, December 08, 2016</strong>",
       "<tr class=\"afail_ev\">", "third", "<tr class=\"asucc_ev\">", "fourth", "</table>\r\n",
       "<div id=\"footer\">", "</html>\r\n"});
  EXPECT_EQ(doc.find("after the period"), std::string::npos);
  EXPECT_EQ(doc.find("before the period"), std::string::npos);
}

TEST_F(ReportTest, OmittedEmptyLogStillCountsInTheNumbers) {
  ASSERT_TRUE(WriteLog(u"RepEmpty", {}));
  ASSERT_TRUE(WriteLog(u"RepB", {{kDec8, 4, u"Other", u"only"}}));
  settings().Report_OmitEmptyLogs.value = true;
  const std::vector<std::u16string> logs = {u"RepEmpty", u"RepB", u"RepMissing"};
  const std::string doc = Generate(&logs);
  EXPECT_EQ(doc.find("RepEmpty"), std::string::npos);
  // Cannot be opened: not analysed, and named as ignored.
  EXPECT_NE(doc.find("EventLogs ignored (repeated, too many or not found): <strong>RepMissing"),
            std::string::npos);
  EXPECT_NE(doc.find("<h2 id=\"log2\"><span class=\"logctrl\" onclick=\"ShowHideLog(2);\">"
                     "&lt;&lt;</span> EventLog: RepB (1)</h2>"),
            std::string::npos);
  EXPECT_NE(doc.find("<strong>2</strong> total analyzed"), std::string::npos);
}

TEST_F(ReportTest, MarkupFromEventsIsShownAsText) {
  ASSERT_TRUE(WriteLog(u"RepA", {{kDec8, 4, u"<script>alert(1)</script>", u"<b>bold</b> & co"}}));
  const std::vector<std::u16string> logs = {u"RepA"};
  const std::string doc = Generate(&logs);
  EXPECT_EQ(doc.find("<script>alert"), std::string::npos);
  EXPECT_NE(doc.find("<td>&lt;script&gt;alert(1)&lt;/script&gt;</td>"), std::string::npos);
  EXPECT_NE(doc.find("&lt;b&gt;bold&lt;/b&gt; &amp; co"), std::string::npos);
}

TEST_F(ReportTest, FilterAppliesToWatchedLogsOnly) {
  ASSERT_TRUE(WriteLog(
      u"RepA",
      {{kDec8, 4, u"Keep", u"a"}, {kDec8 + 1, 4, u"Drop", u"b"}, {kDec8 + 2, 4, u"Drop", u"c"}}));
  FilterRule deny;
  deny.Active = true;
  deny.Source = {true, 0, u"Drop"};
  settings().Report_DenyFilterList.rules = {deny};
  settings().Report_FilterEvents.value = true;
  core_->inspected_names = {u"RepA"};
  const std::string watched = Generate(nullptr);
  EXPECT_NE(watched.find("EventLog: RepA (1)</h2>\r\n<p class=\"filtered\">2 events were ignored"),
            std::string::npos);
  const std::vector<std::u16string> logs = {u"RepA"};
  EXPECT_NE(Generate(&logs).find("EventLog: RepA (3)</h2>\r\n<div"), std::string::npos);
}

TEST_F(ReportTest, EmptyLogListLeavesTheOutputs) {
  std::u16string document = u"kept";
  std::string period = "kept";
  const std::vector<std::u16string> none;
  core_->GenerateReport(kDec7, kDec8, &none, document, period);
  core_->GenerateReport(kDec7, kDec8, nullptr, document, period);
  EXPECT_EQ(document, u"kept");
  EXPECT_EQ(period, "kept");
}

// A merge of the shared file on its own thread replaces the report filter
// while reports run: each report still reads one configuration throughout.
TEST_F(ReportTest, ReportReadsOneConfigurationWhileTheSharedFileIsMerged) {
  std::vector<TestRecord> records(2000, TestRecord{kDec8, 4, u"Src", u"r"});
  ASSERT_TRUE(WriteLog(u"RepA", records));
  core_->inspected_names = {u"RepA"};
  const std::u16string shared = Utf8ToUtf16((root_.dir().path() / "shared.cvncfg").string());
  settings().Settings_SharedFilePath.value = shared;
  // Both filter: one denies every record, the other none.
  CCVNSettings deny_all(settings());
  deny_all.Report_FilterEvents.value = true;
  FilterRule rule;
  rule.Active = true;
  rule.Source = {true, 0, u"Src"};
  deny_all.Report_DenyFilterList.rules = {rule};
  CCVNSettings deny_none(deny_all);
  deny_none.Report_DenyFilterList.rules.clear();

  std::atomic<bool> done{false};
  std::thread merger([&] {
    for (int i = 0; !done; ++i) {
      (i % 2 ? deny_all : deny_none).SaveFile(shared);
      core_->MergeSharedConfig();
    }
  });
  for (int i = 0; i < 30; ++i) {
    const std::string doc = Generate(nullptr);
    const bool all_shown = doc.find("EventLog: RepA (2000)</h2>\r\n<div") != std::string::npos;
    const bool all_denied =
        doc.find("EventLog: RepA (0)</h2>\r\n<p class=\"filtered\">2000 events") !=
        std::string::npos;
    EXPECT_TRUE(all_shown || all_denied) << "report " << i << " mixes two configurations";
  }
  done = true;
  merger.join();
}

TEST_F(ReportTest, ScheduledReportIsSavedThenOldOnesPrunedAndTheMailFailureCounted) {
  ASSERT_TRUE(WriteLog(u"RepA", {{kDec8, 4, u"Src", u"a"}}));
  core_->inspected_names = {u"RepA"};
  fs::create_directories(folder_);
  for (int i = 1; i <= 5; ++i) {
    testing::WriteFileBytes(folder_ / ("EventsReport(16120" + std::to_string(i) + "-000000).html"),
                            "old");
  }
  testing::WriteFileBytes(folder_ / "EventsReport(other).html", "not a report name");
  settings().Report_MaxNumberOfReports.value = 3;
  settings().Report_SendToEmail.value = true;
  settings().Report_EmailToAddress.value = u"ops@example.test";
  settings().Email_Server.value = u"127.0.0.1";
  core_->GenerateReportEx(kDec7, kDec8 + 3600);

  EXPECT_EQ(ReportFiles(),
            (std::vector<std::string>{
                "EventsReport(161204-000000).html", "EventsReport(161205-000000).html",
                "EventsReport(161208-010000).html", "EventsReport(other).html"}));
  const std::string saved = testing::ReadFileBytes(folder_ / "EventsReport(161208-010000).html");
  EXPECT_EQ(saved.substr(0, 9), "<!DOCTYPE");  // UTF-8 without a byte-order mark
  EXPECT_EQ(core_->reports_saved, 1);
  EXPECT_EQ(core_->report_mail_failed, 1);
  EXPECT_EQ(core_->last_report, kDec8 + 3600);
  EXPECT_EQ(core_test::GetStateValue(CCVNCore::kLastReportValue), kDec8 + 3600);
  const std::string logs = Logs();
  EXPECT_NE(logs.find("Scheduled report generated. [2016-12-07 00:00:00 - 2016-12-08 00:59:59]"),
            std::string::npos);
  EXPECT_NE(logs.find("Out-of-date report file deleted. [EventsReport(161201-000000).html]"),
            std::string::npos);
  EXPECT_NE(logs.find(",E,"), std::string::npos);
  EXPECT_NE(logs.find("Failed to send report. [ops@example.test, server: 127.0.0.1] Reason: "),
            std::string::npos);
}

TEST_F(ReportTest, SaveFailureAndEmptyDocumentAreCountedAndLogged) {
  core_->inspected_names = {u"RepA"};
  ASSERT_TRUE(WriteLog(u"RepA", {{kDec8, 4, u"Src", u"a"}}));
  testing::WriteFileBytes(root_.dir().path() / "afile", "x");
  settings().Report_FolderPath.value = Utf8ToUtf16((root_.dir().path() / "afile").string());
  core_->GenerateReportEx(kDec7, kDec8 + 60);
  EXPECT_EQ(core_->report_save_failed, 1);
  EXPECT_NE(Logs().find("Failed to save report. ["), std::string::npos);

  core_->inspected_names.clear();
  core_->GenerateReportEx(kDec7, kDec8 + 120);
  EXPECT_EQ(core_->report_save_failed, 2);
  EXPECT_NE(Logs().find(",A,"), std::string::npos);
  EXPECT_NE(Logs().find("Reason: Unknown error. Please contact support service."),
            std::string::npos);
  platform::LockGuard guard(core_->status_lock);
  EXPECT_EQ(core_->report_last_error, u"Unknown error. Please contact support service.");
}

TEST_F(ReportTest, UnsavedPeriodIsMadeAgainAtTheNextReportTimeThenGivenUp) {
  ASSERT_TRUE(WriteLog(u"RepA", {{kDec7 + 60, 4, u"Src", u"early row"}}));
  core_->inspected_names = {u"RepA"};
  settings().Report_SendToEmail.value = true;
  settings().Email_Server.value = u"127.0.0.1";
  settings().Email_Port.value = 1;  // nothing listens: each mail fails at once
  const std::u16string writable = settings().Report_FolderPath.value;
  testing::WriteFileBytes(root_.dir().path() / "afile", "x");
  const std::u16string blocked = Utf8ToUtf16((root_.dir().path() / "afile" / "sub").string());
  core_->report_period_from = kDec7;
  int tries = 0;

  // Not saved: the period stays open and nothing is mailed.
  settings().Report_FolderPath.value = blocked;
  report::RunDueReport(*core_, kDec8, tries);
  EXPECT_EQ(core_->report_period_from, kDec7);
  EXPECT_EQ(tries, 1);
  EXPECT_EQ(core_->report_mail_failed, 0);
  EXPECT_NE(Logs().find("is made again at the next report time (try 1 of 3)"), std::string::npos);

  // Saved at the next report time: one report of the whole period, mailed once.
  settings().Report_FolderPath.value = writable;
  report::RunDueReport(*core_, kDec8 + 3600, tries);
  EXPECT_EQ(ReportFiles(), std::vector<std::string>{"EventsReport(161208-010000).html"});
  EXPECT_NE(testing::ReadFileBytes(folder_ / ReportFiles()[0]).find("early row"),
            std::string::npos);
  EXPECT_EQ(core_->report_period_from, kDec8 + 3600);
  EXPECT_EQ(tries, 0);
  EXPECT_EQ(core_->report_mail_failed, 1);

  // Never saved: given up after the last try, which is still mailed.
  settings().Report_FolderPath.value = blocked;
  for (uint32_t hour = 2; hour <= 4; ++hour)
    report::RunDueReport(*core_, kDec8 + hour * 3600, tries);
  EXPECT_EQ(core_->report_period_from, kDec8 + 4 * 3600);
  EXPECT_EQ(core_test::GetStateValue(CCVNCore::kReportPeriodFromValue), kDec8 + 4 * 3600);
  EXPECT_EQ(core_->report_save_failed, 4);
  EXPECT_EQ(core_->report_mail_failed, 2);
  EXPECT_NE(Logs().find("was not saved in 3 tries; the period is given up."), std::string::npos);
}

TEST_F(ReportTest, ReportDueWhileStoppedIsMadeAtStart) {
  core_->StopServer();
  ASSERT_TRUE(
      WriteLog(u"RepA", {{static_cast<uint32_t>(platform::NowSeconds()) - 60, 4, u"S", u"a"}}));
  const uint32_t from = static_cast<uint32_t>(platform::NowSeconds()) - 3 * 3600;
  core_test::SetStateValue(CCVNCore::kReportPeriodFromValue, from);
  CCVNSettings file_settings;
  file_settings.Report_GeneratePeriodically.value = true;
  file_settings.Report_FolderPath.value = Utf8ToUtf16(folder_.string());
  WriteSettings(file_settings);
  core_ = std::make_unique<CCVNCore>();
  core_->SetPipeNames(server_pipe_, console_pipe_);
  report::InstallReports(*core_);
  ASSERT_EQ(core_->InitCore(), 0u);
  ASSERT_EQ(core_->StartServer(), 0u);
  for (int i = 0; i < 100 && ReportFiles().empty(); ++i) platform::SleepMs(100);
  ASSERT_EQ(ReportFiles().size(), 1u);
  for (int i = 0; i < 100 && core_->next_report_time == 0; ++i) platform::SleepMs(100);
  EXPECT_GT(core_->report_period_from, from);
  EXPECT_EQ(core_test::GetStateValue(CCVNCore::kReportPeriodFromValue), core_->report_period_from);
  EXPECT_GT(core_->next_report_time, core_->report_period_from);
  EXPECT_EQ(core_->ShownThreadStatus(CoreThread::kReport), 0);
  EXPECT_NE(testing::ReadFileBytes(folder_ / ReportFiles()[0]).find("EventLog: "),
            std::string::npos);
}

TEST_F(ReportTest, InvalidScheduleEndsTheThread) {
  core_->StopServer();
  core_test::SetStateValue(CCVNCore::kReportPeriodFromValue, 12345);
  CCVNSettings file_settings;
  file_settings.Report_GeneratePeriodically.value = true;
  file_settings.Report_ScheduleParameter.value = 0;  // no interval
  WriteSettings(file_settings);
  ASSERT_EQ(core_->StartServer(), 0u);
  for (int i = 0; i < 100 && core_->ShownThreadStatus(CoreThread::kReport) == 0; ++i)
    platform::SleepMs(50);
  EXPECT_EQ(core_->ShownThreadStatus(CoreThread::kReport), report::kStatusInvalidSchedule);
  EXPECT_EQ(core_test::GetStateValue(CCVNCore::kReportPeriodFromValue), 0u);
}

class CustomReportTest : public ReportTest {
 protected:
  void SetUp() override {
    ReportTest::SetUp();
    if (IsSkipped()) return;
    console_ = std::make_unique<console::ConsoleSession>(
        server_pipe_, console_pipe_, [](const std::string&) {},
        [](const control::CSTCtrlMessage&) {});
    ASSERT_EQ(console_->Open(kWaitMs), console::kExitOk) << console_->Error();
  }
  void TearDown() override {
    console_.reset();
    ReportTest::TearDown();
  }

  int32_t Ask(const std::u16string& path, std::vector<std::u16string> logs, int32_t tag = 32) {
    control::CSTCtrlMessage request;
    request.ValueToStack(int32_t{0});
    request.ValueToStack(int32_t{logs.empty() ? 1 : 0});
    request.ValueToStack(logs);
    request.ValueToStack(std::u16string_view(path));
    request.ValueToStack(static_cast<int32_t>(kDec7));
    request.ValueToStack(static_cast<int32_t>(kDec8 + 86400));
    request.ValueToStack(tag);
    request.ValueToStack(static_cast<uint8_t>(control::kPropCustomReport));
    request.ValueToStack(static_cast<uint8_t>(control::kKindPropertySet));
    control::CSTCtrlMessage reply;
    EXPECT_TRUE(console_->Exchange(request, reply, kWaitMs)) << console_->Error();
    return core_->custom_report_state;
  }

  std::unique_ptr<console::ConsoleSession> console_;
};

TEST_F(CustomReportTest, WrittenForTheConsoleOrRefused) {
  ASSERT_TRUE(WriteLog(u"RepA", {{kDec8, 4, u"Src", u"custom"}}));
  const fs::path file = root_.dir().path() / "custom.html";
  EXPECT_EQ(Ask(Utf8ToUtf16(file.string()), {u"RepA"}), kCustomReportSaved);
  EXPECT_NE(testing::ReadFileBytes(file).find("custom"), std::string::npos);
  // A log named twice is read once and named as ignored.
  EXPECT_EQ(Ask(Utf8ToUtf16(file.string()), {u"RepA", u"RepA"}), kCustomReportSaved);
  EXPECT_NE(testing::ReadFileBytes(file).find("too many or not found): <strong>RepA</strong>"),
            std::string::npos);
  EXPECT_EQ(Ask(u"", {u"RepA"}), kCustomReportFailed);
  EXPECT_EQ(Ask(u"relative.html", {u"RepA"}), kCustomReportFailed);
  EXPECT_EQ(Ask(Utf8ToUtf16(file.string()), {u"RepA"}, 31), kCustomReportFailed);
  EXPECT_EQ(Ask(Utf8ToUtf16((root_.dir().path() / "no" / "such.html").string()), {u"RepA"}),
            kCustomReportFailed);
  const std::string logs = Logs();
  EXPECT_NE(logs.find("Custom report generated. [2016-12-07 00:00:00 - 2016-12-08 23:59:59]"),
            std::string::npos);
  EXPECT_NE(logs.find("Failed to save report. [relative.html] Reason: The path is not absolute."),
            std::string::npos);
  EXPECT_EQ(core_->reports_saved, 0);  // custom reports change no counter
  // The console reads why the last one failed.
  platform::LockGuard guard(core_->status_lock);
  EXPECT_NE(core_->report_last_error.find(u"(Error code: 3)"), std::u16string::npos)
      << Utf16ToUtf8(core_->report_last_error);
}

}  // namespace
}  // namespace cvn::report_test
