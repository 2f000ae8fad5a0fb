// The database channel through the core: a record written to a watched log
// becomes a row, with a description that looks like SQL stored as text; its
// position kept in the database and handed back after a restart; the bound
// that answers full, the console's purge and the channel's status while the
// database is away.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "core/cvn_core.h"
#include "core/event_log_monitor.h"
#include "db/db_channel.h"
#include "db/db_peers.h"
#include "db/db_schema.h"
#include "db/export_rig.h"
#include "platform/environment.h"
#include "platform/event_log.h"
#include "platform/file.h"
#include "support/temp_dir.h"

namespace cvn::db_test {
namespace {

namespace fs = std::filesystem;

constexpr std::u16string_view kLog = u"CvnDbLog";
constexpr std::u16string_view kSource = u"CvnDbSource";

class DbChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSqliteDriver()) {
      GTEST_SKIP() << "the SQLite3 ODBC driver or the sqlite3 shell is not installed (Debian "
                      "packages libsqliteodbc, sqlite3); skipping";
    }
    ASSERT_EQ(platform::CreateEventLog(kLog), 0u);
    ASSERT_EQ(platform::AddEventSource(kLog, kSource, {}), 0u);
    ASSERT_EQ(source_.Register(kSource), 0u);
  }
  void TearDown() override {
    if (core_) {
      core_->StopServer();
      core_->ReleaseCore();
    }
  }

  void StartCore(const fs::path& database,
                 const std::function<void(CCVNSettings&)>& configure = nullptr) {
    CCVNSettings settings;
    settings.DB_Forward.value = true;
    settings.DB_ConnString.value = Utf8ToUtf16("ODBC;" + SqliteConnection(database));
    if (configure) configure(settings);
    const std::u16string path = CCVNCore::GetSettingsFilePath();
    platform::CreateFolderTree(path.substr(0, path.rfind(platform::kPathSeparator)));
    ASSERT_EQ(settings.SaveFile(path), 0);
    core_ = std::make_unique<CCVNCore>();
    static int n = 0;
    const std::string id = std::to_string(getpid()) + "-" + std::to_string(++n);
    core_->SetPipeNames(Utf8ToUtf16("\\\\.\\pipe\\cvn-db-s-" + id),
                        Utf8ToUtf16("\\\\.\\pipe\\cvn-db-c-" + id));
    core_->SetThreadBody(CoreThread::kPrimary, PrimaryServerThread);
    db::InstallDbChannel(*core_);
    ASSERT_EQ(core_->InitCore(), 0u);
    ASSERT_EQ(core_->StartServer(), 0u);
    ASSERT_TRUE(core_->TableReadyEvent()->Wait(10000));
  }
  void Write(const std::u16string& text) {
    const std::vector<std::u16string> strings = {text};
    ASSERT_EQ(source_.Report(platform::kEventTypeWarning, 0, 4242, {}, strings, {}), 0u);
  }

  cvn::testing::ScopedMachineRoot root_;
  platform::EventSource source_;
  std::unique_ptr<CCVNCore> core_;
};

TEST_F(DbChannelTest, ARecordBecomesARowAndItsValuesNeverChangeTheStatement) {
  const fs::path database = root_.dir().path() / "events.db";
  // The table cvndb creates, written by the default statement template.
  ASSERT_EQ(SqliteQuery(database, Utf16ToUtf8(*db::CreateEventLogTable(u"SQLite"))), "");
  StartCore(database);
  EXPECT_EQ(core_->db_status, 0);
  const std::u16string tricky = u"it's; DELETE FROM EventLog; -- {fn UCASE('x')} ? é";
  Write(tricky);
  ASSERT_TRUE(Eventually([&] { return core_->db_exported == 1; }));
  // No message file: the description is a notice followed by the string.
  const std::string row =
      SqliteQuery(database, "SELECT Type, EventId, Log, Source, Description FROM EventLog");
  EXPECT_EQ(row.rfind("2|4242|CvnDbLog|CvnDbSource|", 0), 0u) << row;
  EXPECT_TRUE(row.ends_with(": " + Utf16ToUtf8(tricky) + "\n")) << row;
  EXPECT_EQ(core_->db_progress.Acknowledged(), core_->db_progress.Issued());
}

TEST_F(DbChannelTest, APositionIsCommittedWithItsRowAndHandedBackAfterARestart) {
  const fs::path database = root_.dir().path() / "events.db";
  ASSERT_EQ(SqliteQuery(database, Utf16ToUtf8(*db::CreateEventLogTable(u"SQLite"))), "");
  const auto configure = [](CCVNSettings& s) {
    s.DB_UseTrans.value = true;
    s.DB_PositionTable.value = u"CvnPositions";
  };
  StartCore(database, configure);
  Write(u"one");
  Write(u"two");
  ASSERT_TRUE(Eventually([&] { return core_->db_exported == 2; }));
  // A fresh log numbers its records from 1.
  const std::string rows = SqliteQuery(
      database, "SELECT Computer, LogName, RecordNumber, TimeGenerated FROM CvnPositions");
  const std::string prefix =
      Utf16ToUtf8(platform::LocalComputerName()) + "|" + Utf16ToUtf8(kLog) + "|2|";
  ASSERT_EQ(rows.rfind(prefix, 0), 0u) << rows;

  core_->StopServer();
  core_->ReleaseCore();
  StartCore(database, configure);
  uint32_t record = 0, time = 0;
  ASSERT_TRUE(core_->DbChannel()->StoredPosition(kLog, record, time));
  EXPECT_EQ(record, 2u);
  EXPECT_EQ(rows, prefix + std::to_string(time) + "\n");
  EXPECT_FALSE(core_->DbChannel()->StoredPosition(u"Security", record, time));
}

// A template whose values cannot all be bound is filled as text, which the
// start says once; on SQLite, which reads no backslash escapes, a value
// with quotes and backslashes is stored as it is.
TEST_F(DbChannelTest, ATemplateThatCannotBindIsFilledAsTextAndTheStartSaysSo) {
  const fs::path database = root_.dir().path() / "events.db";
  ASSERT_EQ(SqliteQuery(database, Utf16ToUtf8(*db::CreateEventLogTable(u"SQLite"))), "");
  const std::u16string command =
      u"INSERT INTO EventLog (Generated, Type, EventId, Log, Source, Description) VALUES "
      u"('%DATE_TIME%', %EVENT_TYPE_NUM%, %EVENT_ID%, 'Log %EVENTLOG%', '%SOURCE%', "
      u"'%DESCRIPTION%')";
  StartCore(database, [&](CCVNSettings& s) { s.DB_Command.value = command; });
  const std::u16string tricky = u"C:\\dir\\'); DELETE FROM EventLog; --";
  Write(tricky);
  ASSERT_TRUE(Eventually([&] { return core_->db_exported == 1; }));
  const std::string row = SqliteQuery(database, "SELECT Log, Description FROM EventLog");
  EXPECT_EQ(row.rfind("Log CvnDbLog|", 0), 0u) << row;
  EXPECT_TRUE(row.ends_with(": " + Utf16ToUtf8(tricky) + "\n")) << row;

  std::string logs;
  const std::u16string folder = platform::WithTrailingSeparator(CCVNCore::GetLogsFolder());
  for (const std::u16string& name : platform::FindFiles(folder, u"CVN*.log")) {
    logs += cvn::testing::ReadFileBytes(fs::path(folder + name));
  }
  const std::string line =
      "DB/Command is filled in as text, not with bound values: %EVENTLOG% does not stand alone "
      "in its quoted literal (at character " +
      std::to_string(command.find(u"'Log") + 1) + ").";
  EXPECT_NE(logs.find(line), std::string::npos) << logs;
  EXPECT_EQ(logs.find(line), logs.rfind(line)) << logs;
}

// The bound answers full and numbers nothing; below half of it the channel
// has room again.
TEST_F(DbChannelTest, WhileTheDatabaseIsAwayRecordsWaitWithinTheBoundAndThePurgeDropsThem) {
  StartCore(root_.dir().path() / "missing" / "events.db",
            [](CCVNSettings& s) { s.DB_MaxQueue.value = 2; });
  EXPECT_NE(core_->db_status, 0);
  ASSERT_NE(core_->DbChannel(), nullptr);
  EXPECT_TRUE(core_->DbChannel()->WorkerRunning());
  EXPECT_TRUE(core_->ChannelHasRoom(Channel::kDb));
  Write(u"one");
  Write(u"two");
  ASSERT_TRUE(Eventually([&] { return core_->DbChannel()->QueueLength() == 2; }));
  EXPECT_FALSE(core_->ChannelHasRoom(Channel::kDb));
  SEventRecord third;
  third.logName = kLog;
  third.recordNumber = 3;
  EXPECT_EQ(core_->ProcessRecordForDb(third), Offer::kFull);
  EXPECT_EQ(core_->DbChannel()->QueueLength(), 2u);
  EXPECT_EQ(core_->db_progress.Issued(), 2u);
  EXPECT_LT(core_->db_progress.Acknowledged(), core_->db_progress.Issued());
  {
    platform::LockGuard guard(core_->status_lock);
    EXPECT_FALSE(core_->db_last_error.empty());
  }
  EXPECT_EQ(core_->OnNotify(5), 0);
  EXPECT_EQ(core_->DbChannel()->QueueLength(), 0u);
  EXPECT_TRUE(core_->ChannelHasRoom(Channel::kDb));
  EXPECT_EQ(core_->db_progress.Acknowledged(), core_->db_progress.Issued());
}

}  // namespace
}  // namespace cvn::db_test
